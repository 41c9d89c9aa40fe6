# The emulated device: the platform the tool calls, on the host
# (emulator/CMakeLists.txt), with the device build run on an emulated CPU
# against the same emulation (ce-run/), and the host's test suite.
enable_language(ASM)
# The image's reader first: the image check and ce-run use it.
# Its folder in the build is not named ce-image: the program is, beside ce-registry.
add_subdirectory(ce-image ce-image-build)
add_subdirectory(emulator)
add_subdirectory(ce-run)
# Its folder in the build is not named ce-campaign: the program is, beside ce-registry.
add_subdirectory(ce-campaign ce-campaign-build)
add_library(fwupgrade_platform ALIAS fwupgrade_host_platform)
set(FWUPGRADE_PLATFORM_ENTRY "${PROJECT_SOURCE_DIR}/emulator/host_main.cpp")
set(FWUPGRADE_PLATFORM_TESTS tests)
if(FWUPGRADE_TESTS)
  enable_testing()
endif()
