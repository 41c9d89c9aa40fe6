#ifndef FWUPGRADE_PROCEDURE_H
#define FWUPGRADE_PROCEDURE_H

#include <windows.h>

// True exactly when the command line is "-s".
bool is_unattended(LPCWSTR command_line);

// One wide character from the console: yes for "Y" or "y", no for anything
// else, the end of input included.
bool read_first_answer();

// Skips characters until "Y", "y", "N" or "n". At the end of input it gives
// at_end_of_input, the answer an unattended run would take, rather than
// waiting for a key that can never come.
bool read_yes_no(bool at_end_of_input);

int run_upgrade_procedure(HINSTANCE instance, LPCWSTR command_line);

#endif
