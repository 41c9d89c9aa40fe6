# cmake -DOBJDUMP=... -DPROGRAM=fwupgrade.exe -DIMAGE=<embedded file, or empty>
#       -DENTRY=<start-up symbol> [-DTOOL_IMPORTS=NAME,NAME...] [-DMISSING=why]
#       -P check_device_program.cmake
# What CE's loader and COREDLL need of a device build, read from its headers,
# import table, resources and code.
cmake_minimum_required(VERSION 3.25)
if(NOT "${MISSING}" STREQUAL "")
  message("Skipped: no device build to check: ${MISSING}.")
  return()
endif()

# The exports of COREDLL.dll on CE 6.0 that the tool may import, by ordinal:
# the check's own expectation, written apart from device/coredll.def on
# purpose, so that a wrong ordinal in that table cannot pass it.
set(COREDLL_ORDINALS
  FindResourceW=532 LoadResource=533 SizeofResource=534 CreateFileW=168 DeviceIoControl=179
  CloseHandle=553 DeleteFileW=165 MoveFileW=163 FlushFileBuffers=175 RegOpenKeyExW=461
  RegQueryValueExW=463 RegCloseKey=455 CreateProcessW=493 GetExitCodeProcess=519 Sleep=496
  TerminateProcess=544 printf=1102 wprintf=1134 getwchar=1136 _wfopen=1145 fwrite=1121
  fwprintf=867 fflush=1122 fclose=1118 _fileno=1124 _snwprintf=1096 _getstdfilex=1100
  memcpy=1044 memset=1047 GetLastError=516 SetLastError=517 GetModuleFileNameW=537 fread=1120)

function(read_program out)
  execute_process(COMMAND "${OBJDUMP}" ${ARGN} "${PROGRAM}" OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM}: objdump ${ARGN} failed")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
read_program(headers -p)
read_program(code -d)

set(faults "")
function(require pattern fault)
  if(NOT headers MATCHES "${pattern}")
    set(faults ${faults} "${fault}" PARENT_SCOPE)
  endif()
endfunction()
require("file format pei-i386\n" "not a program for i386")
require("Magic[ \t]+010b[ \t]+\\(PE32\\)" "not PE32")
require("\nSubsystem[ \t]+00000009[ \t]" "the subsystem is not 9 (Windows CE)")
require("MajorSubsystemVersion[ \t]+6\nMinorSubsystemVersion[ \t]+0\n" "the subsystem version (the CE version needed) is not 6.0")
require("ImageBase[ \t]+00010000\n" "the image base is not 0x10000")
if(NOT headers MATCHES "Entry 5 [0-9a-f]+ ([0-9a-f]+) Base Relocation Directory" OR CMAKE_MATCH_1 STREQUAL "00000000")
  list(APPEND faults "no relocations")
endif()
require("Entry 9 00000000 00000000 Thread Storage Directory" "a TLS directory, which CE's loader does not set up")

# The entry is the project's start-up.
string(REGEX MATCH "ImageBase[ \t]+([0-9a-f]+)\n" base "${headers}")
set(base "${CMAKE_MATCH_1}")
if(headers MATCHES "AddressOfEntryPoint[ \t]+([0-9a-f]+)\n" AND NOT base STREQUAL "")
  # As the disassembly writes an address: eight hexadecimal digits.
  math(EXPR entry "0x${CMAKE_MATCH_1} + 0x${base}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "0000000" entry "${entry}")
  string(REGEX MATCH "........$" entry "${entry}")
  if(NOT code MATCHES "\n${entry} <${ENTRY}>:\n")
    list(APPEND faults "the entry (${entry}) is not ${ENTRY}")
  endif()
else()
  list(APPEND faults "no entry found")
endif()

# Every import comes from COREDLL.dll, by an undecorated name it exports,
# with its ordinal as the hint.
string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${headers}")
if(NOT dlls STREQUAL "DLL Name: COREDLL.dll")
  list(APPEND faults "imports from ${dlls}, not from COREDLL.dll alone")
endif()
string(REGEX MATCH "DLL Name: COREDLL.dll\n[^\n]*\n((\t[0-9a-f]+\t[^\n]*\n)*)" table "${headers}")
string(REGEX MATCHALL "\t[0-9a-f]+\t[^\n]*" imports "${CMAKE_MATCH_1}")
foreach(import IN LISTS imports)
  if(NOT import MATCHES "^\t[0-9a-f]+\t +([0-9]+) +([^ \t]+)$")
    list(APPEND faults "an import that is not by name: ${import}")
    continue()
  endif()
  set(hint "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  if(name MATCHES "@")
    list(APPEND faults "a decorated import: ${name}")
  elseif(NOT "${name}=${hint}" IN_LIST COREDLL_ORDINALS)
    list(APPEND faults "an import that is not COREDLL's with its ordinal as hint: ${name} (hint ${hint})")
  endif()
endforeach()
if(imports STREQUAL "")
  list(APPEND faults "no imports from COREDLL.dll")
endif()
# The rows of device/coredll.def marked tool, which an image's coredll.dll is
# checked against, are what the program imports: no more, no fewer.
if(DEFINED TOOL_IMPORTS)
  string(REGEX REPLACE "\t[0-9a-f]+\t +[0-9]+ +" "" imported "${imports}")
  string(REPLACE "," ";" marked "${TOOL_IMPORTS}")
  list(SORT imported)
  list(SORT marked)
  if(NOT imported STREQUAL marked)
    list(JOIN imported ", " imported)
    list(JOIN marked ", " marked)
    list(APPEND faults "imports ${imported}; device/coredll.def marks as the tool's ${marked}")
  endif()
endif()

# The image as resource FIRMWARE 183, whole.
set(firmware "Entry: name: [^\n]*: FIRMWARE, [^\n]*\n[^\n]*Name Table[^\n]*\n[^\n]*Entry: ID: 0x0000b7, [^\n]*\n")
string(APPEND firmware "[^\n]*Language Table[^\n]*\n[^\n]*Entry: ID: [^\n]*\n[^\n]*Leaf: Addr: 0x[0-9a-f]+, Size: 0x([0-9a-f]+),")
if(IMAGE STREQUAL "")
  if(headers MATCHES ": FIRMWARE, ")
    list(APPEND faults "a FIRMWARE resource in a build without an image")
  endif()
elseif(NOT headers MATCHES "${firmware}")
  list(APPEND faults "no resource FIRMWARE 183")
else()
  math(EXPR embedded "0x${CMAKE_MATCH_1}")
  file(SIZE "${IMAGE}" size)
  if(NOT embedded EQUAL size)
    list(APPEND faults "resource FIRMWARE 183 holds ${embedded} bytes, the image ${size}")
  endif()
endif()

# Nothing an i486 lacks: cmov, the P6's floating-point compares and fast
# system calls, the Pentium's counters, long NOPs, MMX and SSE.
string(REGEX MATCHALL "[^\n]*\t(cmov|fcmov|fcomi|fucomi|sysenter|sysexit|rdpmc|rdtsc|cpuid|cmpxchg8b|nopw|nopl|fxsave|fxrstor|emms)[^\n]*|[^\n]*%x?mm[0-9][^\n]*"
       beyond_i486 "${code}")
if(beyond_i486)
  list(SUBLIST beyond_i486 0 5 shown)
  list(JOIN shown "\n" shown)
  list(APPEND faults "instructions an i486 lacks:\n${shown}")
endif()

if(faults)
  list(JOIN faults "\n" text)
  message(FATAL_ERROR "${PROGRAM}:\n${text}")
endif()
list(LENGTH imports count)
message("${PROGRAM}: a CE 6.0 program for i486 with ${count} imports from COREDLL.dll")
