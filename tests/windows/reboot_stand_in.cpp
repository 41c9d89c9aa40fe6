// Stands in for the device's restart program \windows\reboot.exe: records
// the command line it was given, runs a while, marks its end with a file
// and exits with a code of its own.
#include <stdio.h>
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line, int show_state)
{
    (void)instance;
    (void)previous_instance;
    (void)command_line;
    (void)show_state;
    FILE* started = _wfopen(L"\\reboot-started", L"w");
    if (started != NULL) {
        fwprintf(started, L"%s\n", GetCommandLineW());
        fclose(started);
    }
    Sleep(300);
    FILE* ended = _wfopen(L"\\reboot-ended", L"w");
    if (ended != NULL) {
        fclose(ended);
    }
    return 3;
}
