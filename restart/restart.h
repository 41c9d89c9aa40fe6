#ifndef FWUPGRADE_RESTART_H
#define FWUPGRADE_RESTART_H

#include <windows.h>

// The pause between two looks at the restart program.
const DWORD RESTART_POLL_MS = 100;

// Asks "Reboot now? (Y/N)"; on an interactive yes, restarts the device.
// Unattended runs print the question and read nothing.
void run_restart_phase(bool unattended);

// Starts the device's restart program and returns once it has ended.
void restart_device();

#endif
