// The tool's network steps and restart launcher on their own, for running
// against the real registry, file system and processes: the command line
// names one step.
//   report    run_report_phase()
//   kept      write_kept_settings(n) for LAN 1 to LAN 6
//   defaults  write_default_settings(n) for LAN 1 to LAN 6
//   restart   restart_device(), then whether the restart program had ended
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include "../../network/lan_settings.h"
#include "../../network/report.h"
#include "../../network/settings_files.h"
#include "../../restart/restart.h"

// The restart program's stand-in creates this file as its last act.
static const WCHAR REBOOT_ENDED[] = L"\\reboot-ended";

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line, int show_state)
{
    (void)instance;
    (void)previous_instance;
    (void)show_state;
    if (wcscmp(command_line, L"report") == 0) {
        run_report_phase();
    } else if (wcscmp(command_line, L"kept") == 0) {
        for (int n = 1; n <= LAN_COUNT; ++n) {
            write_kept_settings(n);
        }
    } else if (wcscmp(command_line, L"defaults") == 0) {
        for (int n = 1; n <= LAN_COUNT; ++n) {
            write_default_settings(n);
        }
    } else if (wcscmp(command_line, L"restart") == 0) {
        restart_device();
        bool ended = GetFileAttributesW(REBOOT_ENDED) != INVALID_FILE_ATTRIBUTES;
        printf(ended ? "restart_device returned after the restart program ended\n"
                     : "restart_device returned while the restart program was still running\n");
    } else {
        printf("usage: network_steps report|kept|defaults|restart\n");
        return 2;
    }
    return 0;
}
