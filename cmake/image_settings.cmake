include_guard(GLOBAL)

# The image settings of a build (FIRMWARE_IMAGE, FIRMWARE_MODEL,
# FIRMWARE_VERSION, FIRMWARE_IMAGE_CHECK): checked at configure time, and
# carried into generated files with every character escaped, so that no
# shell, no make, no list splitting and no generator expression reads them.

# fwupgrade_text_problem(<out> <text>): what makes <text> unusable as one
# line of UTF-8 text ("" when nothing does). With WIDE_LITERAL <var>, also
# sets <var> to the body of a C wide string literal for it: ASCII as it is
# (\, " and ? escaped, the last for C++98's trigraphs), the rest as universal
# character names, so the generated source is ASCII whatever the compiler
# takes its source files to be.
# The byte at ${i} of ${hex} as a number, in ${byte}; ${i} moves past it.
macro(fwupgrade_next_byte)
  string(SUBSTRING "${hex}" ${i} 2 byte)
  math(EXPR byte "0x${byte}")
  math(EXPR i "${i} + 2")
endmacro()

function(fwupgrade_text_problem out text)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "WIDE_LITERAL" "")
  string(HEX "${text}" hex)
  string(LENGTH "${hex}" length)
  set(problem "")
  set(literal "")
  if(length EQUAL 0)
    set(problem "is empty")
  endif()
  set(i 0)
  while(problem STREQUAL "" AND i LESS length)
    fwupgrade_next_byte()
    if(byte LESS 32 OR byte EQUAL 127)
      set(problem "has a control character (a line break, a tab, ...)")
      break()
    elseif(byte LESS 128)
      string(ASCII ${byte} c)
      if(c STREQUAL "\\" OR c STREQUAL "\"" OR c STREQUAL "?")
        string(PREPEND c "\\")
      endif()
      string(APPEND literal "${c}")
      continue()
    endif()
    # A UTF-8 sequence: its first byte says how many follow.
    if(byte GREATER_EQUAL 194 AND byte LESS_EQUAL 223)
      set(more 1)
      math(EXPR code "${byte} & 31")
      set(least 128)
    elseif(byte GREATER_EQUAL 224 AND byte LESS_EQUAL 239)
      set(more 2)
      math(EXPR code "${byte} & 15")
      set(least 2048)
    elseif(byte GREATER_EQUAL 240 AND byte LESS_EQUAL 244)
      set(more 3)
      math(EXPR code "${byte} & 7")
      set(least 65536)
    else()
      set(problem "is not UTF-8 text")
      break()
    endif()
    foreach(unused RANGE 1 ${more})
      if(NOT i LESS length)
        set(problem "is not UTF-8 text")
        break()
      endif()
      fwupgrade_next_byte()
      if(byte LESS 128 OR byte GREATER 191)
        set(problem "is not UTF-8 text")
        break()
      endif()
      math(EXPR code "(${code} << 6) | (${byte} & 63)")
    endforeach()
    if(NOT problem STREQUAL "")
      break()
    endif()
    if(code LESS least OR code GREATER 1114111 OR (code GREATER_EQUAL 55296 AND code LESS_EQUAL 57343))
      set(problem "is not UTF-8 text")
    elseif(code LESS_EQUAL 159)
      set(problem "has a control character (a line break, a tab, ...)")
    else()
      math(EXPR digits "${code}" OUTPUT_FORMAT HEXADECIMAL)
      string(SUBSTRING "${digits}" 2 -1 digits)
      string(TOUPPER "${digits}" digits)
      if(code LESS 65536)
        fwupgrade_zero_padded(digits "${digits}" 4)
        string(APPEND literal "\\u${digits}")
      else()
        fwupgrade_zero_padded(digits "${digits}" 8)
        string(APPEND literal "\\U${digits}")
      endif()
    endif()
  endwhile()
  set(${out} "${problem}" PARENT_SCOPE)
  if(ARG_WIDE_LITERAL)
    set(${ARG_WIDE_LITERAL} "${literal}" PARENT_SCOPE)
  endif()
endfunction()

# fwupgrade_zero_padded(<out> <digits> <width>): <digits> with zeros before
# them to <width>.
function(fwupgrade_zero_padded out digits width)
  string(LENGTH "${digits}" length)
  while(length LESS width)
    string(PREPEND digits "0")
    math(EXPR length "${length} + 1")
  endwhile()
  set(${out} "${digits}" PARENT_SCOPE)
endfunction()

# fwupgrade_cmake_quote(<out> <value>): <value> as a quoted argument of the
# CMake language that reads back exactly.
function(fwupgrade_cmake_quote out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  string(REPLACE "$" "\\$" value "${value}")
  set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()

# fwupgrade_write_if_changed(<file> <content>): leaves the file and its time
# alone when it already holds the content, so nothing that depends on it is
# made again.
function(fwupgrade_write_if_changed file content)
  if(EXISTS "${file}")
    file(READ "${file}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${file}" "${content}")
endfunction()

# fwupgrade_image_problem(<out> <path>): what keeps <path> from being an image
# to embed ("" when nothing does). It is never opened here: a FIFO would block.
function(fwupgrade_image_problem out path)
  fwupgrade_text_problem(text_problem "${path}")
  if(NOT text_problem STREQUAL "")
    # The path is a line of the manifest.
    set(${out} "the path ${text_problem}" PARENT_SCOPE)
  elseif(IS_DIRECTORY "${path}")
    set(${out} "is a folder, not an image file" PARENT_SCOPE)
  elseif(NOT EXISTS "${path}")
    set(${out} "no such file" PARENT_SCOPE)
  else()
    execute_process(COMMAND test -f "${path}" RESULT_VARIABLE regular)
    if(NOT regular EQUAL 0)
      set(${out} "not a regular file (a device, a FIFO or a socket)" PARENT_SCOPE)
      return()
    endif()
    file(SIZE "${path}" size)
    # The tool's sizes are 32-bit, and its progress line prints them signed.
    if(size GREATER 2147483647)
      set(${out} "${size} bytes; an image can have at most 2147483647" PARENT_SCOPE)
    else()
      set(${out} "" PARENT_SCOPE)
    endif()
  endif()
endfunction()

# The source and build folders appear in the build's own files. CMake's
# makefiles cannot name files in folders with these in their names: make
# reads "$(", ":" and "|" in a rule, and CMake refuses or evaluates the rest.
function(fwupgrade_check_folders)
  foreach(kind IN ITEMS source build)
    if(kind STREQUAL "source")
      set(folder "${CMAKE_SOURCE_DIR}")
      set(refused "[\"#;:|]|\\$[({<]")
      set(shown "\", #, ;, :, |, $(, \${ or $<")
    else()
      set(folder "${CMAKE_BINARY_DIR}")
      set(refused "[\"#;<>]|\\$\\(")
      set(shown "\", #, ;, <, > or $(")
    endif()
    fwupgrade_text_problem(problem "${folder}")
    if(folder MATCHES "${refused}" OR problem MATCHES "control")
      message(FATAL_ERROR "The ${kind} folder ${folder} has one of ${shown} or a control character in its "
                          "name, which CMake's makefiles cannot name files in: use a folder without them.")
    endif()
  endforeach()
endfunction()

# fwupgrade_take_image_settings(): checks the cache variables, taking a
# relative FIRMWARE_IMAGE from the folder cmake was started in.
function(fwupgrade_take_image_settings)
  if(NOT FIRMWARE_IMAGE STREQUAL "")
    cmake_path(IS_RELATIVE FIRMWARE_IMAGE relative)
    if(relative)
      # A later run of cmake, one that the build starts, runs in the build folder.
      execute_process(COMMAND pwd OUTPUT_VARIABLE started_in)
      # Only the line feed: a folder's name may end in a blank.
      string(REGEX REPLACE "\n$" "" started_in "${started_in}")
      get_property(help CACHE FIRMWARE_IMAGE PROPERTY HELPSTRING)
      set(FIRMWARE_IMAGE "${started_in}/${FIRMWARE_IMAGE}" CACHE STRING "${help}" FORCE)
    endif()
    fwupgrade_image_problem(problem "${FIRMWARE_IMAGE}")
    if(NOT problem STREQUAL "")
      message(FATAL_ERROR "FIRMWARE_IMAGE=${FIRMWARE_IMAGE}: ${problem}")
    endif()
  endif()
  foreach(variable IN ITEMS FIRMWARE_MODEL FIRMWARE_VERSION)
    fwupgrade_text_problem(problem "${${variable}}")
    if(NOT problem STREQUAL "")
      message(FATAL_ERROR "${variable} ${problem}: it must be one line of UTF-8 text, which the banner shows exactly as given")
    endif()
  endforeach()
endfunction()

set(FWUPGRADE_IMAGE_SETTING_NAMES FIRMWARE_IMAGE FIRMWARE_MODEL FIRMWARE_VERSION FIRMWARE_IMAGE_CHECK)

# fwupgrade_write_image_settings(<file>): this build's image settings, for
# another build of the tool to take with -DFWUPGRADE_IMAGE_SETTINGS=<file>.
# They travel in a file because a command line or an initial cache
# (ExternalProject's CMAKE_CACHE_ARGS) would split, expand or evaluate them.
function(fwupgrade_write_image_settings file)
  set(content "# Generated: the image settings of the build in ${CMAKE_BINARY_DIR}.\n")
  foreach(name IN LISTS FWUPGRADE_IMAGE_SETTING_NAMES)
    get_property(type CACHE ${name} PROPERTY TYPE)
    get_property(help CACHE ${name} PROPERTY HELPSTRING)
    fwupgrade_cmake_quote(value "${${name}}")
    fwupgrade_cmake_quote(help "${help}")
    string(APPEND content "set(${name} ${value} CACHE ${type} ${help} FORCE)\n")
  endforeach()
  fwupgrade_write_if_changed("${file}" "${content}")
endfunction()
