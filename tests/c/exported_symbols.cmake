# cmake -DLIBRARY=<shared library> -DNM=<nm> | -DOBJDUMP=<objdump> -P exported_symbols.cmake
#
# Fails unless the library exports exactly the functions of quillmore.h:
# anything else would be a symbol a host could bind to by accident and that
# the next release might drop.
set(_expected quillmore_parse quillmore_parser_free quillmore_parser_new quillmore_status_name quillmore_version)

if(OBJDUMP)
  # PE: the "[   n] name" lines of the export table's name list, which runs
  # to the next blank line.
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE _out RESULT_VARIABLE _rc)
  string(FIND "${_out}" "[Ordinal/Name Pointer] Table" _at)
  if(_at LESS 0)
    set(_out "")
  else()
    string(SUBSTRING "${_out}" ${_at} -1 _out)
    string(FIND "${_out}" "\n\n" _blank)
    string(SUBSTRING "${_out}" 0 ${_blank} _out)
  endif()
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z_][A-Za-z0-9_@]*" _rows "${_out}")
  set(_names "")
  foreach(_row ${_rows})
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" _name "${_row}")
    list(APPEND _names ${_name})
  endforeach()
else()
  # ELF: defined dynamic symbols, "address type name" lines.
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE _out RESULT_VARIABLE _rc)
  string(REGEX MATCHALL "[^\n]+" _lines "${_out}")
  set(_names "")
  foreach(_line ${_lines})
    string(REGEX REPLACE "^.* " "" _name "${_line}")
    list(APPEND _names ${_name})
  endforeach()
endif()
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "cannot list the symbols of ${LIBRARY}")
endif()
list(REMOVE_DUPLICATES _names)
list(SORT _names)
if(NOT _names STREQUAL _expected)
  message(FATAL_ERROR "${LIBRARY} exports\n  ${_names}\ninstead of\n  ${_expected}")
endif()
message(STATUS "${LIBRARY}: exports exactly the quillmore_* functions")
