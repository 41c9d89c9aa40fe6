// The host entry of a deliberately broken build for ce-campaign's tests:
// the tool runs as in the host build, and the process then exits with 1.
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
    WinMain(ce_executable_instance(), nullptr, command_line.data(), 1);
    return 1;
}
