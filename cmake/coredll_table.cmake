# The one table of COREDLL's functions, device/coredll.def: a line
#   NAME @ORDINAL ; api|crt [traced] [tool]
# each, which dlltool reads as an export (the rest is its comment). The
# import library, the stand-in DLL, ce-run's bindings, the traced calls that
# CE_FAIL accepts, the imports an image must export for the tool and the
# device-program check all come from it.
set(FWUPGRADE_COREDLL_TABLE "${CMAKE_CURRENT_LIST_DIR}/../device/coredll.def")
cmake_path(NORMAL_PATH FWUPGRADE_COREDLL_TABLE)

# fwupgrade_coredll_table(<out> [TOOL_IMPORTS <names>]): the table's rows as
# NAME|ORDINAL|API or CRT|TRACED or UNTRACED, in its order; a malformed line
# stops the configure. With TOOL_IMPORTS, also the names of the rows marked
# tool, in <names>.
function(fwupgrade_coredll_table out)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "TOOL_IMPORTS" "")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${FWUPGRADE_COREDLL_TABLE}")
  file(STRINGS "${FWUPGRADE_COREDLL_TABLE}" lines)
  set(rows "")
  set(tool "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^(;|LIBRARY |EXPORTS$|$)")
      continue()
    endif()
    if(NOT line MATCHES "^([A-Za-z_][A-Za-z0-9_]*) @([0-9]+) +; (api|crt)( traced)?( tool)?$")
      message(FATAL_ERROR "${FWUPGRADE_COREDLL_TABLE}: not NAME @ORDINAL ; api|crt [traced] [tool]: ${line}")
    endif()
    if(CMAKE_MATCH_5)
      list(APPEND tool "${CMAKE_MATCH_1}")
    endif()
    string(TOUPPER "${CMAKE_MATCH_3}" kind)
    set(traced UNTRACED)
    if(CMAKE_MATCH_4)
      set(traced TRACED)
    endif()
    list(APPEND rows "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|${kind}|${traced}")
  endforeach()
  set(${out} "${rows}" PARENT_SCOPE)
  if(ARG_TOOL_IMPORTS)
    set(${ARG_TOOL_IMPORTS} "${tool}" PARENT_SCOPE)
  endif()
endfunction()

# fwupgrade_coredll_header(<file>): the table as C rows
# COREDLL_CALL(NAME, ORDINAL, API|CRT, TRACED|UNTRACED), for the code that
# defines COREDLL_CALL before it includes the file.
function(fwupgrade_coredll_header file)
  fwupgrade_coredll_table(rows)
  set(content "")
  foreach(row IN LISTS rows)
    string(REPLACE "|" ", " row "${row}")
    string(APPEND content "COREDLL_CALL(${row})\n")
  endforeach()
  file(GENERATE OUTPUT "${file}" CONTENT "${content}")
endfunction()
