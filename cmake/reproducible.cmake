# The same sources, image and settings give the same executables, byte for
# byte, whatever folder the source and the build are in and whenever the
# build runs. Included after project(), before any target.

# The folders appear in debug information, in the assembler's and linker's
# file names and in __FILE__: under fixed names instead. GCC tries the last
# map first, so the build folder, often inside the source, comes last.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=." "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")

if(WIN32)
  # GNU ld for PE writes the time of the link into the file header, or
  # SOURCE_DATE_EPOCH from its environment when that is set. The value taken
  # is the one set when the build is configured, handed to the linker
  # alone; without one the field is 0.
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(epoch STREQUAL "")
    add_link_options(-Wl,--no-insert-timestamp)
  elseif(NOT epoch MATCHES "^[0-9]+$" OR epoch MATCHES "^0[0-9]" OR epoch GREATER 4294967295)
    message(FATAL_ERROR "SOURCE_DATE_EPOCH=${epoch}: not a number of seconds since 1970 that fits the "
                        "32-bit time field of a Windows executable (0 to 4294967295); unset it or set one that does.")
  else()
    add_link_options(-Wl,--insert-timestamp)
    set(CMAKE_CXX_LINKER_LAUNCHER "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${epoch}")
  endif()
  unset(epoch)
endif()
