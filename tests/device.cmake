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

wine_test(wine_device_stand_in_run wine_device_tests wine_device_test.cpp TREES DEVICE
  TOOLS fwupgrade fwupgrade_empty fwupgrade_none
  DEFINITIONS "DEVICE_DIR=\"${DEVICE_DIR}\"" "DEVICE_MISSING=\"${DEVICE_MISSING}\"")
