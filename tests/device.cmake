# The device build of the same sources (preset device): its structure read
# with the cross objdump, and a run under 32-bit Wine beside a stand-in
# COREDLL.dll (tests/device/). Without the cross tools or 32-bit Wine those
# tests report themselves skipped, saying why.
set(DEVICE_DIR "${CMAKE_BINARY_DIR}/device")
cross_tree(DEVICE i686-w64-mingw32 mingw-ce-i686.cmake "${DEVICE_DIR}" dlltool)

add_test(NAME device_program_structure
  COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${DEVICE_OBJDUMP}" "-DMISSING=${DEVICE_MISSING}"
          "-DPROGRAM=${DEVICE_DIR}/fwupgrade.exe" "-DIMAGE=${FIRMWARE_IMAGE}"
          -DENTRY=_fwupgrade_device_start -P "${CMAKE_CURRENT_SOURCE_DIR}/check_device_program.cmake")
set_tests_properties(device_program_structure PROPERTIES LABELS "build" SKIP_REGULAR_EXPRESSION "Skipped: ")

add_executable(wine_device_tests wine_device_test.cpp wine_prefix.cpp device_fixture.cpp)
target_compile_features(wine_device_tests PRIVATE cxx_std_17)
target_link_libraries(wine_device_tests PRIVATE GTest::gtest)
# FIRMWARE_MODEL and FIRMWARE_VERSION as the fwupgrade program has them.
target_include_directories(wine_device_tests PRIVATE "$<TARGET_PROPERTY:fwupgrade,FWUPGRADE_IDENTITY_DIR>")
target_compile_options(wine_device_tests PRIVATE "SHELL:-include firmware_identity.h")
target_compile_definitions(wine_device_tests PRIVATE
  "DEVICE_DIR=\"${DEVICE_DIR}\"" "DEVICE_MISSING=\"${DEVICE_MISSING}\""
  TOOL_SAMPLE="$<TARGET_FILE:fwupgrade>"
  TOOL_EMPTY="$<TARGET_FILE:fwupgrade_empty>"
  TOOL_NONE="$<TARGET_FILE:fwupgrade_none>")
add_dependencies(wine_device_tests fwupgrade fwupgrade_empty fwupgrade_none)
depends_on_cross_trees(wine_device_tests DEVICE)
add_test(NAME wine_device_stand_in_run COMMAND wine_device_tests)
set_tests_properties(wine_device_stand_in_run PROPERTIES LABELS "wine" SKIP_RETURN_CODE 77 TIMEOUT 900)
