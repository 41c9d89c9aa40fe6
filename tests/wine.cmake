# The Windows build of the same sources, made here with MinGW-w64 and run
# under Wine by the tests labelled "wine". Without the cross compiler or
# Wine those tests report themselves skipped, saying why.
find_program(MINGW_CXX i686-w64-mingw32-g++)
find_program(MINGW_RC i686-w64-mingw32-windres)
find_program(MINGW_OBJDUMP i686-w64-mingw32-objdump)

set(WINDOWS_BUILD_DIR "${CMAKE_BINARY_DIR}/windows")
set(WINDOWS_TOOL_DIR "${WINDOWS_BUILD_DIR}/tests/windows/tools")
if(MINGW_CXX AND MINGW_RC AND MINGW_OBJDUMP)
  set(WINDOWS_MISSING "")
  include(ExternalProject)
  # The windows preset's build with the Windows test programs added, and the
  # same image settings as this build, so that both fwupgrade programs match.
  set(image_settings "${CMAKE_CURRENT_BINARY_DIR}/image-settings.cmake")
  fwupgrade_write_image_settings("${image_settings}")
  ExternalProject_Add(windows_build
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${WINDOWS_BUILD_DIR}"
    CMAKE_CACHE_ARGS
      "-DCMAKE_TOOLCHAIN_FILE:FILEPATH=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake"
      "-DCMAKE_BUILD_TYPE:STRING=${CMAKE_BUILD_TYPE}"
      "-DFWUPGRADE_TESTS:BOOL=ON"
      "-DFWUPGRADE_IMAGE_SETTINGS:FILEPATH=${image_settings}"
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
else()
  set(WINDOWS_MISSING "the MinGW-w64 cross tools (i686-w64-mingw32-g++, -windres, -objdump) were not found when the build was configured")
  message(STATUS "The Windows build is skipped, and its tests with it: ${WINDOWS_MISSING}")
endif()

# The host counterpart of the Windows build with another model and version.
fwupgrade_add_tool(fwupgrade_renamed IMAGE "${PROJECT_SOURCE_DIR}/resources/sample-image.bin"
  MODEL QL-310 VERSION V2.3b OUTPUT_DIRECTORY "${TOOL_DIR}")

add_executable(wine_tool_tests wine_tool_test.cpp wine_prefix.cpp device_fixture.cpp)
target_compile_features(wine_tool_tests PRIVATE cxx_std_17)
target_link_libraries(wine_tool_tests PRIVATE GTest::gtest)
# FIRMWARE_MODEL and FIRMWARE_VERSION as the fwupgrade program has them.
target_include_directories(wine_tool_tests PRIVATE "$<TARGET_PROPERTY:fwupgrade,FWUPGRADE_IDENTITY_DIR>")
target_compile_options(wine_tool_tests PRIVATE "SHELL:-include firmware_identity.h")
target_compile_definitions(wine_tool_tests PRIVATE
  "WINDOWS_MISSING=\"${WINDOWS_MISSING}\""
  TOOL_SAMPLE="$<TARGET_FILE:fwupgrade>"
  TOOL_RENAMED="$<TARGET_FILE:fwupgrade_renamed>"
  TOOL_EMPTY="$<TARGET_FILE:fwupgrade_empty>"
  TOOL_NONE="$<TARGET_FILE:fwupgrade_none>"
  WINDOWS_TOOL_SAMPLE="${WINDOWS_BUILD_DIR}/fwupgrade.exe"
  WINDOWS_TOOL_RENAMED="${WINDOWS_TOOL_DIR}/fwupgrade_renamed.exe"
  WINDOWS_TOOL_EMPTY="${WINDOWS_TOOL_DIR}/fwupgrade_empty.exe"
  WINDOWS_TOOL_NONE="${WINDOWS_TOOL_DIR}/fwupgrade_none.exe")
add_dependencies(wine_tool_tests fwupgrade fwupgrade_renamed fwupgrade_empty fwupgrade_none)
if(TARGET windows_build)
  add_dependencies(wine_tool_tests windows_build)
endif()
add_test(NAME wine_tool_conformance COMMAND wine_tool_tests)
set_tests_properties(wine_tool_conformance PROPERTIES
  LABELS "wine" SKIP_RETURN_CODE 77 TIMEOUT 900)

# The tool's network steps and restart launcher under Wine, against the host
# build on the same registry fixtures.
add_executable(wine_network_tests wine_network_test.cpp wine_prefix.cpp device_fixture.cpp)
target_compile_features(wine_network_tests PRIVATE cxx_std_17)
target_link_libraries(wine_network_tests PRIVATE GTest::gtest)
target_compile_definitions(wine_network_tests PRIVATE
  "WINDOWS_MISSING=\"${WINDOWS_MISSING}\""
  TOOL_1="$<TARGET_FILE:fwupgrade_1>"
  FIXTURE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fixtures"
  WINDOWS_NETWORK_STEPS="${WINDOWS_TOOL_DIR}/network_steps.exe"
  WINDOWS_REBOOT_STAND_IN="${WINDOWS_TOOL_DIR}/reboot_stand_in.exe")
add_dependencies(wine_network_tests fwupgrade_1)
if(TARGET windows_build)
  add_dependencies(wine_network_tests windows_build)
endif()
add_test(NAME wine_network_conformance COMMAND wine_network_tests)
set_tests_properties(wine_network_conformance PROPERTIES
  LABELS "wine" SKIP_RETURN_CODE 77 TIMEOUT 900)

# What the Windows programs are made of, read from their headers: a 32-bit
# console program, no DLL beyond the system's own, and the wide formats of
# the system's run-time (msvcrt's wprintf, where "%s" takes a wide string).
set(WINDOWS_PROGRAMS
  "${WINDOWS_BUILD_DIR}/fwupgrade.exe"
  "${WINDOWS_TOOL_DIR}/fwupgrade_renamed.exe"
  "${WINDOWS_TOOL_DIR}/fwupgrade_empty.exe"
  "${WINDOWS_TOOL_DIR}/fwupgrade_none.exe"
  "${WINDOWS_TOOL_DIR}/network_steps.exe")
list(JOIN WINDOWS_PROGRAMS "|" programs)
add_test(NAME windows_programs_are_self_contained_console_programs
  COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${MINGW_OBJDUMP}" "-DMISSING=${WINDOWS_MISSING}"
          "-DPROGRAMS=${programs}" -P "${CMAKE_CURRENT_SOURCE_DIR}/check_windows_programs.cmake")
set_tests_properties(windows_programs_are_self_contained_console_programs PROPERTIES
  LABELS "build" SKIP_REGULAR_EXPRESSION "Skipped: ")
