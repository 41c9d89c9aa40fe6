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

wine_test(wine_tool_conformance wine_tool_tests wine_tool_test.cpp TREES WINDOWS32 WINDOWS64
  TOOLS fwupgrade fwupgrade_renamed fwupgrade_empty fwupgrade_none
  DEFINITIONS ${WINDOWS_TREES_DEFINITIONS})

# The tool's network steps and restart launcher under Wine, against the host
# build on the same registry fixtures.
wine_test(wine_network_conformance wine_network_tests wine_network_test.cpp TREES WINDOWS32 WINDOWS64
  TOOLS fwupgrade_1
  DEFINITIONS ${WINDOWS_TREES_DEFINITIONS} FIXTURE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fixtures")

# The rows of the emulation's tables (formatting, names, faults) against the
# real API and run-time.
wine_test(wine_api_conformance wine_api_tests wine_api_test.cpp TREES WINDOWS32 WINDOWS64
  DEFINITIONS ${WINDOWS_TREES_DEFINITIONS})

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
