# Run by the build before a build of the tool is linked, from the generated
# <target>-resources/stage.cmake, which sets:
#   image      the image file, as given ("" for a build without one)
#   staged     where the build embeds it from
#   check      ON: the image must be a well-formed Windows CE BIN image
#   srec_info  reads its records (Debian package srecord)
#   ce_image   reads what it holds, and checks it against imports
#   imports    the functions that the tool imports, parted by commas
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

# Runs ce-image on the copy being checked, with the functions the tool
# imports, and sets ${out} to the manifest's lines for what it holds: its
# table of contents, its modules and files, whether it has the restart
# program and whether the next upgrade's imports are found. ce-image is the
# one reader of the table; what a build of the tool requires of it is here.
# Its refusals end with ${turn_off}, as the other checks' do.
function(check_table_of_contents out)
  execute_process(COMMAND "${ce_image}" firmware.bin --imports "${imports}"
    WORKING_DIRECTORY "${incoming}" RESULT_VARIABLE status OUTPUT_VARIABLE lines ERROR_VARIABLE said)
  string(REPLACE "ce-image: firmware.bin: " "" said "${said}")
  string(STRIP "${said}" said)
  if(status EQUAL 2 AND said MATCHES "^has ")
    refuse_image("${said}${turn_off}")
  elseif(status EQUAL 2)
    refuse_image("is not a well-formed Windows CE BIN image: ${said}${turn_off}")
  elseif(NOT status MATCHES "^[013]$")
    refuse_image("cannot be checked: ${ce_image} could not read it (${status}): ${said}")
  endif()
  if(NOT lines MATCHES "^processor: (0x[0-9a-f]+) \\(([^)]*)\\)\nromhdr: (0x[0-9a-f]+)\n.*\nnummods: ([0-9]+)\n"
     OR NOT lines MATCHES "\nimports: ([^\n]*)\n$")
    refuse_image("cannot be checked: ${ce_image} printed what it does not print:\n${lines}")
  endif()
  string(REGEX MATCH "\nimports: ([^\n]*)\n$" imported "${lines}")
  set(imported "${CMAKE_MATCH_1}")
  string(REGEX MATCH "^processor: (0x[0-9a-f]+) \\(([^)]*)\\)\nromhdr: (0x[0-9a-f]+)\n.*\nnummods: ([0-9]+)\n" header
         "${lines}")
  set(field_of "in its table of contents (ROMHDR at ${CMAKE_MATCH_3})")
  if(NOT CMAKE_MATCH_1 STREQUAL "0x014c")
    string(TOUPPER "${CMAKE_MATCH_1}" cpu)
    string(REPLACE "0X" "0x" cpu "${cpu}")
    refuse_image("is for processor ${cpu} (${CMAKE_MATCH_2}), not x86 (0x014C): usCPUType ${field_of}${turn_off}")
  endif()
  if(CMAKE_MATCH_4 EQUAL 0)
    refuse_image("has no modules: nummods is 0 ${field_of}${turn_off}")
  endif()
  string(REGEX REPLACE "imports: [^\n]*\n$" "" lines "${lines}")
  # Every ROM entry lands in \windows, whose names are blind to letter case.
  string(TOLOWER "${lines}" lower)
  if(lower MATCHES "\n(module|file): reboot\\.exe ")
    string(APPEND lines "restart-program: found\n")
  else()
    string(APPEND lines "restart-program: missing\n")
  endif()
  string(REGEX REPLACE " in coredll\\.dll$" "" imported "${imported}")
  string(APPEND lines "next-upgrade-imports: ${imported}\n")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# Warns of what the manifest's lines say the devices that run the image lose.
function(warn_of_next_upgrade lines)
  if(lines MATCHES "\nrestart-program: missing\n")
    message(WARNING "The image ${image} has no reboot.exe among its modules and files. Devices that run it cannot "
                    "be restarted by the tool, which starts \\windows\\reboot.exe: after the next upgrade they "
                    "must be restarted by hand.")
  endif()
  if(lines MATCHES "\nnext-upgrade-imports: missing ([^\n]*)\n")
    message(WARNING "The coredll.dll of the image ${image} does not export ${CMAKE_MATCH_1}, which the tool "
                    "imports. Devices that run this image cannot start the next upgrade with this tool: CE's loader "
                    "refuses it. Add what the OS design leaves out of coredll.dll, or build the image with it.")
  elseif(lines MATCHES "\nnext-upgrade-imports: cannot be checked: ([^\n]*)\n")
    message(WARNING "Whether devices that run the image ${image} can start the next upgrade with this tool "
                    "cannot be checked: ${CMAKE_MATCH_1}. Try the tool on such a device before you rely on it.")
  endif()
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

# What the check was made with: a new reader or another list of imports
# checks the image again.
set(reader "")
if(check)
  if(NOT EXISTS "${ce_image}" OR IS_DIRECTORY "${ce_image}")
    refuse_image("cannot be checked: there is no ce-image at ${ce_image}, which reads it")
  endif()
  file(SHA256 "${ce_image}" reader)
  set(reader "${reader} ${imports}")
endif()
set(current FALSE)
if(EXISTS "${staged}" AND EXISTS "${record}")
  include("${record}")
  file(SIZE "${image}" size)
  if(size EQUAL staged_size AND (NOT check OR (staged_check STREQUAL "passed" AND staged_reader STREQUAL reader)))
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
  set(staged_described "")
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
    # The platform build writes its records in its own order, not by
    # address: ce-image refuses records that overlap.
    string(REGEX REPLACE "\n[ \t]+" " " said "${said}")
    string(REGEX REPLACE "srec_info: firmware.bin: 0x[0-9A-Fa-f]+: warning: data records not in strictly ascending order [(][^)\n]*[)]\n?"
           "" said "${said}")
    if(NOT status EQUAL 0 OR NOT said STREQUAL "")
      string(REPLACE "srec_info: firmware.bin: " "" said "${said}")
      string(STRIP "${said}" said)
      refuse_image("is not a well-formed Windows CE BIN image; srec_info -msbin reads (exit status ${status}): ${said}${turn_off}")
    endif()
    if(NOT out MATCHES "Execution Start Address: ([0-9A-Fa-f]+)")
      refuse_image("is not a well-formed Windows CE BIN image; srec_info -msbin finds no execution start address${turn_off}")
    endif()
    string(TOLOWER "${CMAKE_MATCH_1}" digits)
    fwupgrade_zero_padded(digits "${digits}" 8)
    check_table_of_contents(contents)
    set(staged_described "entry: 0x${digits}\n${contents}")
    set(staged_check "passed")
  endif()
  file(RENAME "${copy}" "${staged}")
  file(REMOVE_RECURSE "${incoming}")
  fwupgrade_cmake_quote(described "${staged_described}")
  file(WRITE "${record}"
    "set(staged_size ${staged_size})\nset(staged_sha256 ${staged_sha256})\n"
    "set(staged_check ${staged_check})\nset(staged_described ${described})\nset(staged_reader \"${reader}\")\n")
endif()
if(check AND DEFINED model)
  warn_of_next_upgrade("${staged_described}")
endif()

if(DEFINED model)
  # What a release ships beside the tool: which image it carries.
  set(text "model: ${model}\nversion: ${version}\nimage: ${image}\nsize: ${staged_size}\n")
  string(APPEND text "sha256: ${staged_sha256}\n")
  if(check)
    string(APPEND text "check: passed\n${staged_described}")
  else()
    string(APPEND text "check: off\n")
  endif()
  fwupgrade_write_manifest("${manifest}" "${text}" "${tool}")
endif()
