# The device build of the same sources (preset device), made here with
# MinGW-w64 and the same image settings as this build: its structure read
# with the cross objdump, and a run under Wine against a stand-in COREDLL.dll
# (tests/device/). Without the cross tools or 32-bit Wine those tests report
# themselves skipped, saying why.
find_program(MINGW_CXX i686-w64-mingw32-g++)
find_program(MINGW_RC i686-w64-mingw32-windres)
find_program(MINGW_OBJDUMP i686-w64-mingw32-objdump)
find_program(MINGW_DLLTOOL i686-w64-mingw32-dlltool)

set(DEVICE_BUILD_DIR "${CMAKE_BINARY_DIR}/device")
set(DEVICE_TOOL_DIR "${DEVICE_BUILD_DIR}/tests/device/tools")
if(MINGW_CXX AND MINGW_RC AND MINGW_OBJDUMP AND MINGW_DLLTOOL)
  set(DEVICE_MISSING "")
  include(ExternalProject)
  ExternalProject_Add(device_build
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${DEVICE_BUILD_DIR}"
    CMAKE_CACHE_ARGS
      "-DCMAKE_TOOLCHAIN_FILE:FILEPATH=${PROJECT_SOURCE_DIR}/cmake/mingw-ce-i686.cmake"
      "-DCMAKE_BUILD_TYPE:STRING=${CMAKE_BUILD_TYPE}"
      "-DFWUPGRADE_TESTS:BOOL=ON"
      "-DFIRMWARE_IMAGE:STRING=${FIRMWARE_IMAGE}"
      "-DFIRMWARE_MODEL:STRING=${FIRMWARE_MODEL}"
      "-DFIRMWARE_VERSION:STRING=${FIRMWARE_VERSION}"
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
else()
  set(DEVICE_MISSING "the MinGW-w64 cross tools (i686-w64-mingw32-g++, -windres, -objdump, -dlltool) were not found when the build was configured")
  message(STATUS "The device build is skipped, and its tests with it: ${DEVICE_MISSING}")
endif()

add_test(NAME device_program_structure
  COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${MINGW_OBJDUMP}" "-DMISSING=${DEVICE_MISSING}"
          "-DPROGRAM=${DEVICE_BUILD_DIR}/fwupgrade.exe" "-DIMAGE=${FIRMWARE_IMAGE}"
          -DENTRY=_fwupgrade_device_start -P "${CMAKE_CURRENT_SOURCE_DIR}/check_device_program.cmake")
set_tests_properties(device_program_structure PROPERTIES LABELS "build" SKIP_REGULAR_EXPRESSION "Skipped: ")

add_executable(wine_device_tests wine_device_test.cpp wine_prefix.cpp device_fixture.cpp)
target_compile_features(wine_device_tests PRIVATE cxx_std_17)
target_link_libraries(wine_device_tests PRIVATE GTest::gtest)
target_compile_definitions(wine_device_tests PRIVATE
  "DEVICE_MISSING=\"${DEVICE_MISSING}\""
  "FIRMWARE_MODEL=\"${FIRMWARE_MODEL}\""
  "FIRMWARE_VERSION=\"${FIRMWARE_VERSION}\""
  TOOL_SAMPLE="$<TARGET_FILE:fwupgrade>"
  TOOL_EMPTY="$<TARGET_FILE:fwupgrade_empty>"
  TOOL_NONE="$<TARGET_FILE:fwupgrade_none>"
  DEVICE_TOOL_SAMPLE="${DEVICE_BUILD_DIR}/fwupgrade.exe"
  DEVICE_TOOL_EMPTY="${DEVICE_TOOL_DIR}/fwupgrade_empty.exe"
  DEVICE_TOOL_NONE="${DEVICE_TOOL_DIR}/fwupgrade_none.exe"
  COREDLL_STAND_IN="${DEVICE_TOOL_DIR}/COREDLL.dll")
add_dependencies(wine_device_tests fwupgrade fwupgrade_empty fwupgrade_none)
if(TARGET device_build)
  add_dependencies(wine_device_tests device_build)
endif()
add_test(NAME wine_device_stand_in_run COMMAND wine_device_tests)
set_tests_properties(wine_device_stand_in_run PROPERTIES LABELS "wine" SKIP_RETURN_CODE 77 TIMEOUT 900)
