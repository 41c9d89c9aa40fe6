# Embeds an image file into a build of the tool as the resource that
# resources/firmware.rc describes (type FIRMWARE, id 183).
#
# On Windows the resource compiler reads the script itself. On the host the
# same script is read here and the file is placed into the executable's
# read-only data with the assembler's .incbin, so a large image costs no
# build time and is never copied at run time.
#
# The image's path and the model and version texts never appear in a
# command line or a makefile: a script that the build runs
# (cmake/stage_image.cmake) reads them from a generated file and stages the
# image under the resource's file name in a folder of the build's own.

include("${CMAKE_CURRENT_LIST_DIR}/image_settings.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/host_tools.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/coredll_table.cmake")

set(FWUPGRADE_RESOURCE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/../resources/firmware.rc")
cmake_path(NORMAL_PATH FWUPGRADE_RESOURCE_SCRIPT)
set(FWUPGRADE_STAGE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/stage_image.cmake")
set(FWUPGRADE_TOOL_HASH_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/tool_hash.cmake")

function(fwupgrade_read_resource_script out_id out_type out_file)
  file(STRINGS "${FWUPGRADE_RESOURCE_SCRIPT}" lines)
  set(found "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*([0-9]+)[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+\"([^\"]+)\"[ \t]*$")
      if(NOT found STREQUAL "")
        message(FATAL_ERROR "${FWUPGRADE_RESOURCE_SCRIPT}: more than one resource; the tool embeds one image")
      endif()
      set(found "${CMAKE_MATCH_1};${CMAKE_MATCH_2};${CMAKE_MATCH_3}")
    endif()
  endforeach()
  if(found STREQUAL "")
    message(FATAL_ERROR "${FWUPGRADE_RESOURCE_SCRIPT}: no resource line of the form: 183 FIRMWARE \"file\"")
  endif()
  list(GET found 0 id)
  list(GET found 1 type)
  list(GET found 2 name)
  set(${out_id} "${id}" PARENT_SCOPE)
  set(${out_type} "${type}" PARENT_SCOPE)
  set(${out_file} "${name}" PARENT_SCOPE)
endfunction()

# fwupgrade_embed_image(<target> IMAGE <file> [CHECK <bool>]
#                       [MODEL <text> VERSION <text>]):
# an empty file name builds <target> with no FIRMWARE resource at all. With
# CHECK on (the default), the build fails unless the image is a well-formed
# Windows CE BIN image. With MODEL and VERSION, <target> is a build of the
# tool: it gets its banner's texts from the generated header
# firmware_identity.h, and the image's manifest <target>-image.txt beside it.
function(fwupgrade_embed_image target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "IMAGE;CHECK;MODEL;VERSION" "")
  set(image "${ARG_IMAGE}")
  if(NOT DEFINED ARG_CHECK)
    set(ARG_CHECK ON)
  endif()
  set(ce_image "")
  set(ce_image_target "")
  set(imports "")
  if(ARG_CHECK AND NOT image STREQUAL "")
    set(check ON)
    find_program(SREC_INFO srec_info DOC "srec_info of srecord, which reads Windows CE BIN images")
    if(NOT SREC_INFO OR NOT EXISTS "${SREC_INFO}")
      message(FATAL_ERROR "The image check (FIRMWARE_IMAGE_CHECK) needs srec_info, of the Debian package srecord, "
                          "which was not found (SREC_INFO=${SREC_INFO}): install srecord "
                          "(scripts/install-packages tool), or configure with -DFIRMWARE_IMAGE_CHECK=OFF.")
    endif()
    # ce-image lists the image and checks it against the functions the tool imports.
    fwupgrade_ce_image(ce_image ce_image_target)
    fwupgrade_coredll_table(rows TOOL_IMPORTS imports)
    list(JOIN imports "," imports)
  else()
    set(check OFF)
  endif()
  fwupgrade_read_resource_script(id type name)
  set(stage "${CMAKE_CURRENT_BINARY_DIR}/${target}-resources")
  set(staged "${stage}/${name}")
  file(MAKE_DIRECTORY "${stage}")

  if(DEFINED ARG_MODEL OR DEFINED ARG_VERSION)
    set(header "// Generated: the banner's texts of ${target}.\n")
    foreach(text IN ITEMS MODEL VERSION)
      fwupgrade_text_problem(problem "${ARG_${text}}" WIDE_LITERAL literal)
      if(NOT problem STREQUAL "")
        message(FATAL_ERROR "${target}: ${text} ${problem}: ${ARG_${text}}")
      endif()
      string(APPEND header "#define FIRMWARE_${text} \"${literal}\"\n")
    endforeach()
    fwupgrade_write_if_changed("${stage}/firmware_identity.h" "${header}")
    target_include_directories(${target} PRIVATE "${stage}")
    # For what else reads the same texts (the tests).
    set_target_properties(${target} PROPERTIES FWUPGRADE_IDENTITY_DIR "${stage}")
  endif()

  # Where the executable goes (a generator expression for it would make the
  # staging depend on the executable it comes before).
  get_target_property(folder ${target} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT folder)
    set(folder "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  set(tool "${folder}/${target}${CMAKE_EXECUTABLE_SUFFIX}")
  set(names image staged check SREC_INFO ce_image imports tool)
  if(DEFINED ARG_MODEL)
    set(manifest "${folder}/${target}-image.txt")
    list(APPEND names manifest ARG_MODEL ARG_VERSION)
  endif()
  set(settings "# Generated: what the build of ${target} stages as its image.\n")
  foreach(name IN LISTS names)
    fwupgrade_cmake_quote(value "${${name}}")
    string(REGEX REPLACE "^ARG_" "" name "${name}")
    string(TOLOWER "${name}" name)
    string(APPEND settings "set(${name} ${value})\n")
  endforeach()
  fwupgrade_cmake_quote(script "${FWUPGRADE_STAGE_SCRIPT}")
  fwupgrade_write_if_changed("${stage}/stage.cmake" "${settings}include(${script})\n")
  set(depends "")
  get_source_file_property(generated "${image}" GENERATED)
  if(generated)
    # An image that this build makes itself.
    set(depends DEPENDS "${image}")
  endif()
  # Run on every build: it compares the image with the staged copy and
  # replaces (and checks) the copy only when they differ.
  add_custom_target(${target}_image
    COMMAND "${CMAKE_COMMAND}" -P "${stage}/stage.cmake"
    BYPRODUCTS "${staged}"
    ${depends}
    COMMENT "Checking and staging the image of ${target}"
    VERBATIM)
  add_dependencies(${target} ${target}_image)
  if(NOT ce_image_target STREQUAL "")
    add_dependencies(${target}_image ${ce_image_target})
  endif()
  if(DEFINED manifest)
    fwupgrade_cmake_quote(hash_script "${FWUPGRADE_TOOL_HASH_SCRIPT}")
    fwupgrade_cmake_quote(manifest_file "${manifest}")
    fwupgrade_cmake_quote(tool_file "${tool}")
    fwupgrade_write_if_changed("${stage}/tool-hash.cmake"
      "# Generated: run after each link of ${target}.\ninclude(${hash_script})\nfwupgrade_name_tool_in_manifest(${manifest_file} ${tool_file})\n")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -P "${stage}/tool-hash.cmake"
      COMMENT "Naming the executable's SHA-256 in the manifest of ${target}"
      VERBATIM)
  endif()

  if(image STREQUAL "")
    if(NOT WIN32)
      set(table "${stage}/resource_table.cpp")
      fwupgrade_write_if_changed("${table}"
"// Generated: this build of the tool carries no resource.
#include \"resource_table.h\"

const CeResource ce_resource_table[] = {{0, nullptr, nullptr, nullptr}};
")
      target_sources(${target} PRIVATE "${table}")
    endif()
    return()
  endif()

  if(WIN32)
    # windres hands the names it is given to the preprocessor through a
    # shell, unquoted: it reads the script beside the staged image, run in
    # that folder on the two files' own names.
    set(script "${stage}/firmware.rc")
    set(object "${stage}/firmware.res")
    configure_file("${FWUPGRADE_RESOURCE_SCRIPT}" "${script}" COPYONLY)
    add_custom_command(OUTPUT "${object}"
      COMMAND "${CMAKE_RC_COMPILER}" -O coff -i firmware.rc -o firmware.res
      DEPENDS "${script}" "${staged}"
      WORKING_DIRECTORY "${stage}"
      COMMENT "Compiling the resource script of ${target}"
      VERBATIM)
    set_source_files_properties("${object}" PROPERTIES EXTERNAL_OBJECT TRUE)
    target_sources(${target} PRIVATE "${object}")
    return()
  endif()

  set(table "${stage}/resource_table.cpp")
  set(assembly "${stage}/resources.S")
  string(REPLACE "\\" "\\\\" incbin "${staged}")
  string(REPLACE "\"" "\\\"" incbin "${incbin}")
  fwupgrade_write_if_changed("${assembly}"
"/* Generated from resources/firmware.rc: the image as resource ${type} ${id}. */
    .section .rodata.fwupgrade_resource,\"a\"
    .balign 16
    .globl fwupgrade_resource_begin
fwupgrade_resource_begin:
    .incbin \"${incbin}\"
    .globl fwupgrade_resource_end
fwupgrade_resource_end:
    .section .note.GNU-stack,\"\",@progbits
")
  fwupgrade_write_if_changed("${table}"
"// Generated from resources/firmware.rc.
#include \"resource_table.h\"

extern \"C\" const unsigned char fwupgrade_resource_begin[];
extern \"C\" const unsigned char fwupgrade_resource_end[];

const CeResource ce_resource_table[] = {
    {${id}, u\"${type}\", fwupgrade_resource_begin, fwupgrade_resource_end},
    {0, nullptr, nullptr, nullptr},
};
")
  set_source_files_properties("${assembly}" PROPERTIES OBJECT_DEPENDS "${staged}")
  target_sources(${target} PRIVATE "${assembly}" "${table}")
endfunction()
