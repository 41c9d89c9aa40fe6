// The host's entry: checks the emulated device, then hands the tool its
// command line the way the device does, as one wide string.
#include <string>
#include <vector>

#include "emulator.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line, int show_state);

int main(int argc, char** argv)
{
    ce::boot_or_exit();
    std::u16string wide = ce::command_line_of(argc, argv, 1);
    std::vector<char16_t> command_line(wide.begin(), wide.end());
    command_line.push_back(0);
    return WinMain(ce_executable_instance(), nullptr, command_line.data(), 1);
}
