# The device build of the same sources (preset device): its structure read
# with the cross objdump, and a run under 32-bit Wine beside a stand-in
# COREDLL.dll (tests/device/). Without the cross tools or 32-bit Wine those
# tests report themselves skipped, saying why.
set(DEVICE_DIR "${CMAKE_BINARY_DIR}/device")
cross_tree(DEVICE i686-w64-mingw32 mingw-ce-i686.cmake "${DEVICE_DIR}" dlltool)

fwupgrade_coredll_table(rows TOOL_IMPORTS tool_imports)
list(JOIN tool_imports "," tool_imports)
add_test(NAME device_program_structure
  COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${DEVICE_OBJDUMP}" "-DMISSING=${DEVICE_MISSING}" "-DTOOL_IMPORTS=${tool_imports}"
          "-DPROGRAM=${DEVICE_DIR}/fwupgrade.exe" "-DIMAGE=${FIRMWARE_IMAGE}"
          -DENTRY=_fwupgrade_device_start -P "${CMAKE_CURRENT_SOURCE_DIR}/check_device_program.cmake")
set_tests_properties(device_program_structure PROPERTIES LABELS "build" SKIP_REGULAR_EXPRESSION "Skipped: ")

# The device probe: the same structure as the tool's device build, its
# imports as they are, its payload as its resource.
add_test(NAME probe_program_structure
  COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${DEVICE_OBJDUMP}" "-DMISSING=${DEVICE_MISSING}"
          "-DPROGRAM=${DEVICE_DIR}/fwprobe.exe" "-DIMAGE=${PROJECT_SOURCE_DIR}/probe/payload.txt"
          -DENTRY=_fwupgrade_device_start -P "${CMAKE_CURRENT_SOURCE_DIR}/check_device_program.cmake")
set_tests_properties(probe_program_structure PROPERTIES LABELS "build" SKIP_REGULAR_EXPRESSION "Skipped: ")

wine_test(wine_device_stand_in_run wine_device_tests wine_device_test.cpp TREES DEVICE
  TOOLS fwupgrade fwupgrade_empty fwupgrade_none
  DEFINITIONS "DEVICE_DIR=\"${DEVICE_DIR}\"" "DEVICE_MISSING=\"${DEVICE_MISSING}\"")

# The call probe's host build, beside its device build (tests/device/).
add_executable(call_probe device/probe.cpp ${FWUPGRADE_PLATFORM_ENTRY})
target_link_libraries(call_probe PRIVATE fwupgrade_platform)
fwupgrade_embed_image(call_probe IMAGE "")

# The device build itself on the emulated CPU (ce-run) beside the host build,
# case by case on the same devices; the loader's refusals and a fault.
# Without Unicorn or the cross tools the tests report themselves skipped.
set(ce_run_program "")
if(TARGET ce-run)
  set(ce_run_program "$<TARGET_FILE:ce-run>")
endif()
add_executable(device_run_tests device_run_test.cpp)
target_link_libraries(device_run_tests PRIVATE test_support)
target_compile_definitions(device_run_tests PRIVATE
  CE_RUN="${ce_run_program}" CE_RUN_MISSING="${CE_RUN_MISSING}"
  DEVICE_DIR="${DEVICE_DIR}" DEVICE_MISSING="${DEVICE_MISSING}"
  TOOL_SAMPLE="$<TARGET_FILE:fwupgrade>"
  TOOL_1="$<TARGET_FILE:fwupgrade_1>"
  TOOL_4096="$<TARGET_FILE:fwupgrade_4096>"
  TOOL_4097="$<TARGET_FILE:fwupgrade_4097>"
  TOOL_12293="$<TARGET_FILE:fwupgrade_12293>"
  CALL_PROBE="$<TARGET_FILE:call_probe>"
  SAMPLE_DEVICE="${PROJECT_SOURCE_DIR}/sample-device"
  SAMPLE_IMAGE="${PROJECT_SOURCE_DIR}/resources/sample-image.bin"
  FIXTURE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fixtures")
add_dependencies(device_run_tests fwupgrade fwupgrade_1 fwupgrade_4096 fwupgrade_4097 fwupgrade_12293 call_probe)
if(TARGET ce-run)
  add_dependencies(device_run_tests ce-run)
endif()
depends_on_cross_trees(device_run_tests DEVICE)
gtest_discover_tests(device_run_tests PROPERTIES LABELS "device" SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")

# The probe under ce-run on the sample device, and scripts/compare-probe on
# its results, doctored and not.
set(probe_missing "${DEVICE_MISSING}")
if(probe_missing STREQUAL "")
  set(probe_missing "${CE_RUN_MISSING}")
endif()
add_test(NAME probe_compare
  COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/probe_test.sh" "${PROJECT_SOURCE_DIR}" "${DEVICE_DIR}"
          "${ce_run_program}" "${probe_missing}")
set_tests_properties(probe_compare PROPERTIES LABELS "device" SKIP_RETURN_CODE 77)

# ce-run's program reader under clang's libFuzzer, for a bounded time, from
# the device build's programs and hostile copies of one of them.
add_test(NAME program_fuzz
  COMMAND sh "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/run_program_fuzz.sh" "${PROJECT_SOURCE_DIR}"
          "${CMAKE_CURRENT_BINARY_DIR}/program-fuzz" "${DEVICE_DIR}" 30)
set_tests_properties(program_fuzz PROPERTIES LABELS "fuzz" SKIP_RETURN_CODE 77 TIMEOUT 180)
