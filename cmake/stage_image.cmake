# Run by the build before a build of the tool is linked, from the generated
# <target>-resources/stage.cmake, which sets:
#   image      the image file, as given ("" for a build without one)
#   staged     where the build embeds it from
#   check      ON: the image must be a well-formed Windows CE BIN image
#   srec_info, srec_cat   the programs that read it (Debian package srecord)
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

# ${value} as 0x and ${width} lowercase hex digits, in ${out}.
function(hex_digits out value width)
  math(EXPR digits "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${digits}" 2 -1 digits)
  fwupgrade_zero_padded(digits "${digits}" ${width})
  set(${out} "0x${digits}" PARENT_SCOPE)
endfunction()

# The number that the ${length} bytes at byte ${at} of ${hex} make, as
# little-endian, in ${out}.
function(little_endian out hex at length)
  set(digits "")
  math(EXPR i "2 * (${at} + ${length} - 1)")
  foreach(unused RANGE 1 ${length})
    string(SUBSTRING "${hex}" ${i} 2 byte)
    string(APPEND digits "${byte}")
    math(EXPR i "${i} - 2")
  endforeach()
  math(EXPR value "0x${digits}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

# The ${length} bytes from address ${from} of the records of the copy being
# checked, as hex in ${out}, cut out by srec_cat; ${out}_held says how many
# of them the records hold: "all", "some", "none", or "beyond" where they
# would pass the last 32-bit address. Bytes no record holds read as 0.
function(read_image out from length)
  math(EXPR end "${from} + ${length}")
  if(end GREATER 4294967296)
    set(${out}_held "beyond" PARENT_SCOPE)
    return()
  endif()
  math(EXPR twice "2 * ${length}")
  # Offsets that move ${from} to 0 and to ${length}, as srecord's 32-bit
  # addresses wrap.
  math(EXPR to_bytes "(0x100000000 - ${from}) & 0xFFFFFFFF")
  math(EXPR to_mask "(0x100000000 + ${length} - ${from}) & 0xFFFFFFFF")
  # The bytes, then a mask: 0 for each byte a record holds, 0xFF for the
  # rest. (A "(" after a range would continue the range.)
  execute_process(COMMAND "${srec_cat}"
      "(" firmware.bin -msbin -crop ${from} ${end} -offset ${to_mask} -and 0 -fill 0xFF ${length} ${twice} ")"
      firmware.bin -msbin -crop ${from} ${end} -offset ${to_bytes} -fill 0 0 ${length}
      -o read.bin -binary
    WORKING_DIRECTORY "${incoming}" RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
  if(NOT status STREQUAL "0")
    string(STRIP "${said}" said)
    refuse_image("cannot be checked: ${srec_cat} could not read it (${status}): ${said}")
  endif()
  file(READ "${incoming}/read.bin" hex HEX)
  file(REMOVE "${incoming}/read.bin")
  string(LENGTH "${hex}" got)
  math(EXPR digits "2 * ${length}")
  math(EXPR want "2 * ${digits}")
  if(NOT got EQUAL want)
    refuse_image("cannot be checked: ${srec_cat} cut ${got} hex digits out of it, not ${want}")
  endif()
  string(SUBSTRING "${hex}" 0 ${digits} bytes)
  string(SUBSTRING "${hex}" ${digits} -1 mask)
  if(mask MATCHES "^(00)+$")
    set(held "all")
  elseif(mask MATCHES "^(ff)+$")
    set(held "none")
  else()
    set(held "some")
  endif()
  set(${out} "${bytes}" PARENT_SCOPE)
  set(${out}_held "${held}" PARENT_SCOPE)
endfunction()

# The processor that a PE machine code names, in ${out}.
function(processor_name out code)
  set(names 0x014c x86 0x01c0 ARM 0x01c2 ARM 0x01c4 ARM 0x0166 MIPS 0x0169 MIPS 0x0266 MIPS
            0x0366 MIPS 0x0466 MIPS 0x01a2 SH3 0x01a3 SH3 0x01a4 SH3 0x01a6 SH4 0x8664 x64 0xaa64 ARM64)
  hex_digits(code ${code} 4)
  list(FIND names "${code}" at)
  set(name "unknown")
  if(at GREATER_EQUAL 0)
    math(EXPR at "${at} + 1")
    list(GET names ${at} name)
  endif()
  set(${out} "${name}" PARENT_SCOPE)
endfunction()

# Checks the image's table of contents (ROMHDR), which the ROM signature at
# image start + 0x40 points to, and sets ${out} to the manifest's lines for it.
# Its refusals end with ${turn_off}, as the other checks' do.
function(check_table_of_contents out)
  # The image start, the first field of the BIN header.
  file(READ "${copy}" header OFFSET 7 LIMIT 4 HEX)
  little_endian(start "${header}" 0 4)
  math(EXPR at "${start} + 0x40")
  hex_digits(shown ${at} 8)
  read_image(pointer ${at} 8)
  if(pointer_held STREQUAL "beyond")
    hex_digits(start ${start} 8)
    refuse_image("has no ROM signature: image start ${start} + 0x40 passes the last 32-bit address${turn_off}")
  elseif(NOT pointer_held STREQUAL "all")
    math(EXPR last "${at} + 7")
    hex_digits(last ${last} 8)
    refuse_image("has no ROM signature: no record holds all of image start + 0x40 to + 0x47 (${shown} to ${last})${turn_off}")
  endif()
  little_endian(signature "${pointer}" 0 4)
  if(NOT signature EQUAL 1128612677)  # 0x43454345
    hex_digits(signature ${signature} 8)
    refuse_image("has no ROM signature at image start + 0x40 (${shown}): it holds ${signature}, not 0x43454345${turn_off}")
  endif()
  little_endian(toc "${pointer}" 4 4)
  hex_digits(toc_shown ${toc} 8)
  set(toc_at "its table of contents (ROMHDR) at ${toc_shown}")
  set(field_of "in its table of contents (ROMHDR at ${toc_shown})")
  read_image(romhdr ${toc} 84)
  if(romhdr_held STREQUAL "beyond")
    refuse_image("has ${toc_at}, where its 84 bytes would pass the last 32-bit address${turn_off}")
  elseif(romhdr_held STREQUAL "none")
    refuse_image("has ${toc_at}, outside its records${turn_off}")
  elseif(romhdr_held STREQUAL "some")
    refuse_image("has ${toc_at} partly outside its records: no record holds all of its 84 bytes${turn_off}")
  endif()
  set(fields physfirst 8 physlast 12 nummods 16 ramstart 20 ramend 28 numfiles 48 kernelflags 52)
  while(fields)
    list(POP_FRONT fields name offset)
    little_endian(${name} "${romhdr}" ${offset} 4)
    hex_digits(${name}_shown ${${name}} 8)
  endwhile()
  little_endian(cpu "${romhdr}" 68 2)
  if(physfirst GREATER physlast)
    refuse_image("has physfirst ${physfirst_shown} above physlast ${physlast_shown} ${field_of}${turn_off}")
  endif()
  if(toc LESS physfirst OR toc GREATER_EQUAL physlast)
    set(span "physfirst ${physfirst_shown} to physlast ${physlast_shown}")
    refuse_image("has ${toc_at}, outside the span it gives the image: ${span}${turn_off}")
  endif()
  processor_name(processor ${cpu})
  hex_digits(cpu_shown ${cpu} 4)
  if(NOT cpu EQUAL 332)  # 0x014C
    string(TOUPPER "${cpu_shown}" upper)
    string(REPLACE "0X" "0x" upper "${upper}")
    refuse_image("is for processor ${upper} (${processor}), not x86 (0x014C): usCPUType ${field_of}${turn_off}")
  endif()
  if(nummods EQUAL 0)
    refuse_image("has no modules: nummods is 0 ${field_of}${turn_off}")
  endif()
  string(CONCAT lines
    "processor: ${cpu_shown} (${processor})\nromhdr: ${toc_shown}\n"
    "physfirst: ${physfirst_shown}\nphyslast: ${physlast_shown}\nnummods: ${nummods}\nnumfiles: ${numfiles}\n"
    "kernelflags: ${kernelflags_shown}\nramstart: ${ramstart_shown}\nramend: ${ramend_shown}\n")
  set(${out} "${lines}" PARENT_SCOPE)
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
  # A record from before the table of contents was checked has no staged_described.
  if(size EQUAL staged_size AND (NOT check OR (staged_check STREQUAL "passed" AND DEFINED staged_described)))
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
    check_table_of_contents(contents)
    set(staged_described "entry: 0x${digits}\n${contents}")
    set(staged_check "passed")
  endif()
  file(RENAME "${copy}" "${staged}")
  file(REMOVE_RECURSE "${incoming}")
  fwupgrade_cmake_quote(described "${staged_described}")
  file(WRITE "${record}"
    "set(staged_size ${staged_size})\nset(staged_sha256 ${staged_sha256})\n"
    "set(staged_check ${staged_check})\nset(staged_described ${described})\n")
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
