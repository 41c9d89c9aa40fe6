# The device itself: CE's API and run-time, all from COREDLL.dll
# (device/CMakeLists.txt), and the stand-in run-time and device builds that
# the host's tests check.
include("${CMAKE_CURRENT_LIST_DIR}/windows_resources.cmake")
add_subdirectory(device)
add_library(fwupgrade_platform ALIAS fwupgrade_device_platform)
set(FWUPGRADE_PLATFORM_ENTRY "${PROJECT_SOURCE_DIR}/device/start.cpp")
set(FWUPGRADE_PLATFORM_TESTS tests/device)
