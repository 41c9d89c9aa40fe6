# Embeds an image file into a build of the tool as the resource that
# resources/firmware.rc describes (type FIRMWARE, id 183).
#
# On Windows the resource compiler reads the script itself. On the host the
# same script is read here and the file is placed into the executable's
# read-only data with the assembler's .incbin, so a large image costs no
# build time and is never copied at run time.

set(FWUPGRADE_RESOURCE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/../resources/firmware.rc")
cmake_path(NORMAL_PATH FWUPGRADE_RESOURCE_SCRIPT)

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

# fwupgrade_embed_image(<target> <image file>): an empty file name builds the
# tool with no FIRMWARE resource at all.
function(fwupgrade_embed_image target image)
  fwupgrade_read_resource_script(id type name)
  set(stage "${CMAKE_CURRENT_BINARY_DIR}/${target}-resources")
  file(MAKE_DIRECTORY "${stage}")

  if(NOT image STREQUAL "")
    add_custom_command(
      OUTPUT "${stage}/${name}"
      COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${image}" "${stage}/${name}"
      DEPENDS "${image}"
      COMMENT "Staging the image for ${target}")
  endif()

  if(WIN32)
    if(NOT image STREQUAL "")
      target_sources(${target} PRIVATE "${FWUPGRADE_RESOURCE_SCRIPT}" "${stage}/${name}")
      target_include_directories(${target} PRIVATE "$<$<COMPILE_LANGUAGE:RC>:${stage}>")
      set_property(SOURCE "${FWUPGRADE_RESOURCE_SCRIPT}" APPEND PROPERTY OBJECT_DEPENDS "${stage}/${name}")
    endif()
    return()
  endif()

  set(table "${stage}/resource_table.cpp")
  if(image STREQUAL "")
    file(CONFIGURE OUTPUT "${table}" CONTENT
"// Generated: this build of the tool carries no resource.
#include \"resource_table.h\"

const CeResource ce_resource_table[] = {{0, nullptr, nullptr, nullptr}};
")
    target_sources(${target} PRIVATE "${table}")
    return()
  endif()

  set(assembly "${stage}/resources.S")
  file(CONFIGURE OUTPUT "${assembly}" CONTENT
"/* Generated from resources/firmware.rc: the image as resource ${type} ${id}. */
    .section .rodata.fwupgrade_resource,\"a\"
    .balign 16
    .globl fwupgrade_resource_begin
fwupgrade_resource_begin:
    .incbin \"${stage}/${name}\"
    .globl fwupgrade_resource_end
fwupgrade_resource_end:
    .section .note.GNU-stack,\"\",@progbits
")
  file(CONFIGURE OUTPUT "${table}" CONTENT
"// Generated from resources/firmware.rc.
#include \"resource_table.h\"

extern \"C\" const unsigned char fwupgrade_resource_begin[];
extern \"C\" const unsigned char fwupgrade_resource_end[];

const CeResource ce_resource_table[] = {
    {${id}, u\"${type}\", fwupgrade_resource_begin, fwupgrade_resource_end},
    {0, nullptr, nullptr, nullptr},
};
")
  set_source_files_properties("${assembly}" PROPERTIES OBJECT_DEPENDS "${stage}/${name}")
  target_sources(${target} PRIVATE "${assembly}" "${table}" "${stage}/${name}")
endfunction()
