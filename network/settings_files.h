#ifndef FWUPGRADE_SETTINGS_FILES_H
#define FWUPGRADE_SETTINGS_FILES_H

// Asks whether to keep the current network settings on the next boot and
// writes the settings files "\lan1" to "\lan6" accordingly; unattended runs
// keep them without asking.
void run_carry_over_phase(bool unattended);
void write_kept_settings(int n);
void write_default_settings(int n);

#endif
