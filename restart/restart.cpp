#include "restart.h"

#include <stdio.h>

#include "../procedure/procedure.h"

void restart_device()
{
    // Zeroed first: after a failed start the look below fails on a null
    // handle instead of asking about whatever the stack held.
    PROCESS_INFORMATION process = {NULL, NULL, 0, 0};
    WCHAR command_line[] = TEXT("1");
#ifdef FWUPGRADE_DESKTOP_WINDOWS
    // Desktop Windows reads a start-up information structure on every start;
    // the device takes none.
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    LPSTARTUPINFOW startup_info = &startup;
#else
    LPSTARTUPINFOW startup_info = NULL;
#endif
    CreateProcessW(TEXT("\\windows\\reboot.exe"), command_line, NULL, NULL, FALSE, CREATE_NEW_CONSOLE, NULL,
                   NULL, startup_info, &process);

    DWORD exit_code;
    do {
        // A look that cannot read the code ends the wait after its pause.
        exit_code = 0;
        GetExitCodeProcess(process.hProcess, &exit_code);
        Sleep(RESTART_POLL_MS);
    } while (exit_code == STILL_ACTIVE);
    // The process and thread handles stay open until the process ends.
}

void run_restart_phase(bool unattended)
{
    printf("Reboot now? (Y/N)");
    if (unattended) {
        return;
    }
    // At the end of input the answer is the unattended one: no restart.
    if (read_yes_no(false)) {
        restart_device();
    }
}
