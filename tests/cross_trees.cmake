# The cross-compiled builds of the same sources that the host's tests check:
# each a preset's build with its test programs added, and the same image
# settings as this build, so that the programs match the host's.
include(ExternalProject)

# cross_tree(<NAME> <cross prefix> <toolchain file> <folder> [<tool>...]):
# builds in <folder>, given the host's test images (FWUPGRADE_TEST_IMAGES), where the cross tools (g++, windres, objdump and the
# tools named) are, as the target <name>_build. Sets <NAME>_MISSING to why
# it is not built ("" when it is) and <NAME>_OBJDUMP to the cross objdump.
function(cross_tree name prefix toolchain folder)
  set(absent "")
  foreach(tool g++ windres objdump ${ARGN})
    string(MAKE_C_IDENTIFIER "CROSS_${prefix}_${tool}" variable)
    find_program(${variable} ${prefix}-${tool})
    if(NOT ${variable})
      list(APPEND absent ${prefix}-${tool})
    endif()
  endforeach()
  string(MAKE_C_IDENTIFIER "CROSS_${prefix}_objdump" objdump)
  set(${name}_OBJDUMP "${${objdump}}" PARENT_SCOPE)
  if(absent)
    list(JOIN absent ", " absent)
    set(missing "the MinGW-w64 cross tools ${absent} were not found when the build was configured")
    message(STATUS "${name} is not built, and its tests are skipped: ${missing}")
    set(${name}_MISSING "${missing}" PARENT_SCOPE)
    return()
  endif()
  string(TOLOWER "${name}_build" target)
  get_target_property(ce_image ce-image RUNTIME_OUTPUT_DIRECTORY)
  set(ce_image "${ce_image}/ce-image")
  # The image settings travel in a file: an initial cache would split,
  # expand or evaluate them.
  set(image_settings "${CMAKE_CURRENT_BINARY_DIR}/${target}-image-settings.cmake")
  fwupgrade_write_image_settings("${image_settings}")
  ExternalProject_Add(${target}
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${folder}"
    CMAKE_CACHE_ARGS
      "-DCMAKE_TOOLCHAIN_FILE:FILEPATH=${PROJECT_SOURCE_DIR}/cmake/${toolchain}"
      "-DCMAKE_BUILD_TYPE:STRING=${CMAKE_BUILD_TYPE}"
      "-DFWUPGRADE_TESTS:BOOL=ON"
      "-DFWUPGRADE_IMAGE_SETTINGS:FILEPATH=${image_settings}"
      "-DFWUPGRADE_TEST_IMAGES:PATH=${TEST_IMAGE_DIR}"
      "-DFWUPGRADE_HOST_CE_IMAGE:FILEPATH=${ce_image}"
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  # The host's test images, for the trees' builds that embed them, and its
  # ce-image, for their image checks.
  add_dependencies(${target} test_images ce-image)
  set(${name}_MISSING "" PARENT_SCOPE)
endfunction()

# depends_on_cross_trees(<target> <NAME>...): <target> waits for those trees
# that are built.
function(depends_on_cross_trees target)
  foreach(name IN LISTS ARGN)
    string(TOLOWER "${name}_build" tree)
    if(TARGET ${tree})
      add_dependencies(${target} ${tree})
    endif()
  endforeach()
endfunction()

# wine_test(<test> <program> <source> TREES <NAME>... [TOOLS <target>...]
#           [DEFINITIONS <definition>...]): the GoogleTest program <program>
# that runs the trees' programs under Wine and compares them with the host
# builds of the tool TOOLS (fwupgrade as TOOL_SAMPLE, fwupgrade_<x> as
# TOOL_<X>); CTest's test <test>, labelled "wine", skipped when it says so.
function(wine_test test program source)
  cmake_parse_arguments(PARSE_ARGV 3 ARG "" "" "TREES;TOOLS;DEFINITIONS")
  add_executable(${program} ${source} wine_prefix.cpp device_fixture.cpp)
  target_compile_features(${program} PRIVATE cxx_std_17)
  target_link_libraries(${program} PRIVATE GTest::gtest)
  # FIRMWARE_MODEL and FIRMWARE_VERSION as the fwupgrade program has them.
  target_include_directories(${program} PRIVATE "$<TARGET_PROPERTY:fwupgrade,FWUPGRADE_IDENTITY_DIR>")
  target_compile_options(${program} PRIVATE "SHELL:-include firmware_identity.h")
  set(definitions ${ARG_DEFINITIONS})
  foreach(tool IN LISTS ARG_TOOLS)
    string(REGEX REPLACE "^fwupgrade_?" "" shown "${tool}")
    string(TOUPPER "${shown}" shown)
    if(shown STREQUAL "")
      set(shown SAMPLE)
    endif()
    list(APPEND definitions "TOOL_${shown}=\"$<TARGET_FILE:${tool}>\"")
  endforeach()
  target_compile_definitions(${program} PRIVATE ${definitions})
  if(ARG_TOOLS)
    add_dependencies(${program} ${ARG_TOOLS})
  endif()
  depends_on_cross_trees(${program} ${ARG_TREES})
  add_test(NAME ${test} COMMAND ${program})
  set_tests_properties(${test} PROPERTIES LABELS "wine" SKIP_RETURN_CODE 77 TIMEOUT 900)
endfunction()
