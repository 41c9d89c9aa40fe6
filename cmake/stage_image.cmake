# Run by the build before a build of the tool is linked, from the generated
# <target>-resources/stage.cmake, which sets:
#   image      the image file, as given ("" for a build without one)
#   staged     where the build embeds it from
#   check      ON: the image must be a well-formed Windows CE BIN image
#   srec_info  the program that reads it (Debian package srecord)
#   tool       the executable that embeds it
#   manifest, model, version   for a build of the tool: its image's manifest
#              and the banner's texts
#
# The image is copied, checked and staged only when it differs from the
# staged copy, or was staged unchecked and is now to be checked: what is
# checked is the copy that is embedded. While that is under way, and after a
# failure, there is no staged copy, no manifest and no tool from the image
# before, so nothing left in the build folder can pass for a build of it.
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/image_settings.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/tool_hash.cmake")

get_filename_component(stage "${staged}" DIRECTORY)
if(NOT DEFINED manifest)
  # A program that is not a build of the tool has none.
  set(manifest "${stage}/no-manifest")
endif()
set(record "${stage}/staged-image.cmake")
set(incoming "${stage}/incoming")

function(forget_staged_image)
  file(REMOVE "${staged}" "${record}" "${tool}" "${manifest}")
  file(REMOVE_RECURSE "${incoming}")
endfunction()

function(refuse_image text)
  forget_staged_image()
  message(FATAL_ERROR "The image ${image} ${text}")
endfunction()

if(image STREQUAL "")
  # Nothing is embedded, so there is nothing for a manifest to describe.
  file(REMOVE "${staged}" "${record}" "${manifest}")
  return()
endif()

fwupgrade_image_problem(problem "${image}")
if(NOT problem STREQUAL "")
  refuse_image("cannot be embedded: ${problem} (it was checked when the build was configured, and has changed since)")
endif()

set(current FALSE)
if(EXISTS "${staged}" AND EXISTS "${record}")
  include("${record}")
  file(SIZE "${image}" size)
  if(size EQUAL staged_size AND (NOT check OR staged_check STREQUAL "passed"))
    execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${image}" "${staged}" RESULT_VARIABLE differ)
    if(differ EQUAL 0)
      set(current TRUE)
    endif()
  endif()
endif()

if(NOT current)
  forget_staged_image()
  file(MAKE_DIRECTORY "${incoming}")
  # The checker sees only this name, and names nothing else in what it says.
  set(copy "${incoming}/firmware.bin")
  file(COPY_FILE "${image}" "${copy}" RESULT copied)
  if(NOT copied EQUAL 0)
    refuse_image("cannot be read: ${copied}")
  endif()
  # Newer than anything made from the copy before, whatever the image's own time.
  file(TOUCH "${copy}")
  file(SIZE "${copy}" staged_size)
  if(staged_size GREATER 2147483647)
    refuse_image("has ${staged_size} bytes; an image can have at most 2147483647")
  endif()
  file(SHA256 "${copy}" staged_sha256)
  set(staged_check "off")
  set(staged_entry "")
  if(check)
    set(turn_off "\nTo embed it as it is, configure with -DFIRMWARE_IMAGE_CHECK=OFF.")
    file(READ "${copy}" signature LIMIT 7 HEX)
    if(NOT signature STREQUAL "4230303046460a")
      refuse_image("is not a Windows CE BIN image: it does not begin with \"B000FF\" and a line feed.${turn_off}")
    endif()
    execute_process(COMMAND "${srec_info}" firmware.bin -msbin
      WORKING_DIRECTORY "${incoming}" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE said)
    if(NOT status MATCHES "^[0-9]+$")
      refuse_image("cannot be checked: ${srec_info} could not be run (${status})")
    endif()
    # srec_info reads on past some damage with a warning and exit status 0.
    if(NOT status EQUAL 0 OR NOT said STREQUAL "")
      string(REGEX REPLACE "\n[ \t]+" " " said "${said}")
      string(REPLACE "srec_info: firmware.bin: " "" said "${said}")
      string(STRIP "${said}" said)
      refuse_image("is not a well-formed Windows CE BIN image; srec_info -msbin reads (exit status ${status}): ${said}${turn_off}")
    endif()
    if(NOT out MATCHES "Execution Start Address: ([0-9A-Fa-f]+)")
      refuse_image("is not a well-formed Windows CE BIN image; srec_info -msbin finds no execution start address${turn_off}")
    endif()
    string(TOLOWER "${CMAKE_MATCH_1}" digits)
    fwupgrade_zero_padded(digits "${digits}" 8)
    set(staged_entry "0x${digits}")
    set(staged_check "passed")
  endif()
  file(RENAME "${copy}" "${staged}")
  file(REMOVE_RECURSE "${incoming}")
  file(WRITE "${record}"
    "set(staged_size ${staged_size})\nset(staged_sha256 ${staged_sha256})\n"
    "set(staged_check ${staged_check})\nset(staged_entry \"${staged_entry}\")\n")
endif()

if(DEFINED model)
  # What a release ships beside the tool: which image it carries.
  set(text "model: ${model}\nversion: ${version}\nimage: ${image}\nsize: ${staged_size}\n")
  string(APPEND text "sha256: ${staged_sha256}\n")
  if(check)
    string(APPEND text "check: passed\nentry: ${staged_entry}\n")
  else()
    string(APPEND text "check: off\n")
  endif()
  fwupgrade_write_manifest("${manifest}" "${text}" "${tool}")
endif()
