// The program's entry on the device. CE's loader calls it as cdecl with
// WinMain's four arguments and ends the process with what it returns; the
// run-time sets itself up on first use, so only the static constructors and
// the last flush of the console are left to do here.
#include <windows.h>
#include <stdio.h>

// GNU ld's list of static constructors: -1, the constructors, then 0.
typedef void (*StaticConstructor)();
extern "C" StaticConstructor __CTOR_LIST__[];

static void run_static_constructors()
{
    int count = 0;
    while (__CTOR_LIST__[count + 1] != 0) {
        ++count;
    }
    // Last to first, as GCC's own start-up runs them.
    for (int i = count; i >= 1; --i) {
        __CTOR_LIST__[i]();
    }
}

extern "C" int fwupgrade_device_start(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line,
                                      int show_state)
{
    run_static_constructors();
    int status = WinMain(instance, previous_instance, command_line, show_state);
    fflush(stdout);
    return status;
}
