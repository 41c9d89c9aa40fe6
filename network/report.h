#ifndef FWUPGRADE_REPORT_H
#define FWUPGRADE_REPORT_H

// Prints the count line and the TCP/IP settings of LAN 1 to LAN_COUNT.
void run_report_phase();
void show_lan_settings(int n);

#endif
