/* MinGW's <windows.h> with the device's WinMain, which CE's start-up hands
   the command line as wide text; MinGW declares the desktop's 8-bit one. */
#ifndef FWUPGRADE_DEVICE_WINDOWS_H
#define FWUPGRADE_DEVICE_WINDOWS_H

#define WinMain fwupgrade_desktop_WinMain
#include_next <windows.h>
#undef WinMain

#ifdef __cplusplus
extern "C"
#endif
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line, int show_state);

#endif
