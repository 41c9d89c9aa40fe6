# Cross-compiling for the device, Windows CE 6.0 on x86, with MinGW-w64's
# i686 compiler; device/ holds the settings that make its output a CE program.
include("${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake")
set(CMAKE_DLLTOOL ${FWUPGRADE_MINGW_PREFIX}-dlltool)
set(FWUPGRADE_DEVICE ON)
