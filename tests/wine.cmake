# The Windows builds of the same sources, 32-bit and 64-bit, made here with
# MinGW-w64 wherever its cross tools are, and run under Wine by the tests
# labelled "wine": the 32-bit build where 32-bit Wine runs, else the 64-bit
# one where 64-bit Wine runs. What is missing makes those tests report
# themselves skipped, saying why.
set(WINDOWS32_DIR "${CMAKE_BINARY_DIR}/windows")
set(WINDOWS64_DIR "${CMAKE_BINARY_DIR}/windows64")
cross_tree(WINDOWS32 i686-w64-mingw32 mingw-i686.cmake "${WINDOWS32_DIR}")
cross_tree(WINDOWS64 x86_64-w64-mingw32 mingw-x86_64.cmake "${WINDOWS64_DIR}")

# What the Wine tests are told of both trees; the test picks one at run time.
set(WINDOWS_TREES_DEFINITIONS
  "WINDOWS32_DIR=\"${WINDOWS32_DIR}\"" "WINDOWS32_MISSING=\"${WINDOWS32_MISSING}\""
  "WINDOWS64_DIR=\"${WINDOWS64_DIR}\"" "WINDOWS64_MISSING=\"${WINDOWS64_MISSING}\"")

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
  ${WINDOWS_TREES_DEFINITIONS}
  TOOL_SAMPLE="$<TARGET_FILE:fwupgrade>"
  TOOL_RENAMED="$<TARGET_FILE:fwupgrade_renamed>"
  TOOL_EMPTY="$<TARGET_FILE:fwupgrade_empty>"
  TOOL_NONE="$<TARGET_FILE:fwupgrade_none>")
add_dependencies(wine_tool_tests fwupgrade fwupgrade_renamed fwupgrade_empty fwupgrade_none)
depends_on_cross_trees(wine_tool_tests WINDOWS32 WINDOWS64)
add_test(NAME wine_tool_conformance COMMAND wine_tool_tests)
set_tests_properties(wine_tool_conformance PROPERTIES
  LABELS "wine" SKIP_RETURN_CODE 77 TIMEOUT 900)

# The tool's network steps and restart launcher under Wine, against the host
# build on the same registry fixtures.
add_executable(wine_network_tests wine_network_test.cpp wine_prefix.cpp device_fixture.cpp)
target_compile_features(wine_network_tests PRIVATE cxx_std_17)
target_link_libraries(wine_network_tests PRIVATE GTest::gtest)
target_compile_definitions(wine_network_tests PRIVATE
  ${WINDOWS_TREES_DEFINITIONS}
  TOOL_1="$<TARGET_FILE:fwupgrade_1>"
  FIXTURE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fixtures")
add_dependencies(wine_network_tests fwupgrade_1)
depends_on_cross_trees(wine_network_tests WINDOWS32 WINDOWS64)
add_test(NAME wine_network_conformance COMMAND wine_network_tests)
set_tests_properties(wine_network_conformance PROPERTIES
  LABELS "wine" SKIP_RETURN_CODE 77 TIMEOUT 900)

# What the Windows programs of every tree built are made of, read from their
# headers: a console program of the tree's architecture, no DLL beyond the
# system's own, and the wide formats of the system's run-time (msvcrt's
# wprintf, where "%s" takes a wide string).
set(WINDOWS_PROGRAMS fwupgrade.exe tests/windows/tools/fwupgrade_renamed.exe
  tests/windows/tools/fwupgrade_empty.exe tests/windows/tools/fwupgrade_none.exe
  tests/windows/tools/network_steps.exe tests/windows/tools/reboot_stand_in.exe)
set(checked "")
set(unbuilt "")
foreach(bits 32 64)
  if(NOT WINDOWS${bits}_MISSING STREQUAL "")
    list(APPEND unbuilt "${bits}-bit: ${WINDOWS${bits}_MISSING}")
    continue()
  endif()
  set(format pei-i386)
  if(bits EQUAL 64)
    set(format pei-x86-64)
  endif()
  foreach(program IN LISTS WINDOWS_PROGRAMS)
    string(APPEND checked "${format}\n${WINDOWS${bits}_OBJDUMP}\n${WINDOWS${bits}_DIR}/${program}\n")
  endforeach()
endforeach()
# Three lines a program, so that no folder name is ever split or parsed.
set(program_list "${CMAKE_CURRENT_BINARY_DIR}/windows-programs.txt")
file(WRITE "${program_list}" "${checked}")
list(JOIN unbuilt "; " unbuilt)
add_test(NAME windows_programs_are_self_contained_console_programs
  COMMAND "${CMAKE_COMMAND}" "-DPROGRAM_LIST=${program_list}" "-DUNBUILT=${unbuilt}"
          -P "${CMAKE_CURRENT_SOURCE_DIR}/check_windows_programs.cmake")
set_tests_properties(windows_programs_are_self_contained_console_programs PROPERTIES
  LABELS "build" SKIP_REGULAR_EXPRESSION "Skipped: ")
