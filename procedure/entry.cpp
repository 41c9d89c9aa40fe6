#include "procedure.h"

// The device hands WinMain its command line as wide text; desktop Windows
// does so only through wWinMain.
#ifdef FWUPGRADE_DESKTOP_WINDOWS
#define TOOL_ENTRY_POINT wWinMain
#else
#define TOOL_ENTRY_POINT WinMain
#endif

int WINAPI TOOL_ENTRY_POINT(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line, int show_state)
{
    (void)previous_instance;
    (void)show_state;
    return run_upgrade_procedure(instance, command_line);
}
