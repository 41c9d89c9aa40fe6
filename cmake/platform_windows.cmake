# Desktop Windows: what every Windows target that compiles the tool's code is
# built with: the device's old C++, wide Win32 names, and the run-time's own
# wide formats, where "%s" takes a wide string as on the device. MinGW keeps
# those only while __USE_MINGW_ANSI_STDIO is 0, and any C++ header
# (<windows.h> pulls one in) sets it back to 1; so <stdio.h>, which declares
# both the 8-bit and the wide formatted output, is read first. A program is
# a console program whose entry is wWinMain, linked so that it needs no DLL
# beyond the system's own. Its tests are the programs that the host's tests
# run under Wine.
include("${CMAKE_CURRENT_LIST_DIR}/windows_resources.cmake")
add_library(fwupgrade_windows_platform INTERFACE)
target_compile_definitions(fwupgrade_windows_platform INTERFACE
  UNICODE _UNICODE FWUPGRADE_DESKTOP_WINDOWS __USE_MINGW_ANSI_STDIO=0)
target_compile_options(fwupgrade_windows_platform INTERFACE
  "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include stdio.h>"
  $<$<COMPILE_LANGUAGE:CXX>:-std=c++98 -pedantic -Wall -Wextra -Werror>)
target_link_options(fwupgrade_windows_platform INTERFACE -municode -static -static-libgcc -static-libstdc++)
add_library(fwupgrade_platform ALIAS fwupgrade_windows_platform)
set(FWUPGRADE_PLATFORM_ENTRY "")
set(FWUPGRADE_PLATFORM_TESTS tests/windows)
