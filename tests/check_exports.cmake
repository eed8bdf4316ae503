# Checks that the shared library exports exactly the names in EXPECTED
# (one per line) and that it does not depend on the C++ runtime.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE nm_out RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" nm_lines "${nm_out}")
set(actual "")
foreach(line IN LISTS nm_lines)
  # "ADDRESS TYPE NAME"; skip absolute symbols such as version nodes.
  if(line MATCHES "^[0-9a-f]+ ([A-Za-z]) ([^ @]+)")
    if(NOT CMAKE_MATCH_1 STREQUAL "A")
      list(APPEND actual "${CMAKE_MATCH_2}")
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES actual)
list(SORT actual)

file(STRINGS ${EXPECTED} expected REGEX "^[^#]")
list(SORT expected)

set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
if(extra OR missing)
  message(FATAL_ERROR "export mismatch\n  unexpected: ${extra}\n  missing: ${missing}")
endif()

execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dyn)
if(dyn MATCHES "libstdc\\+\\+")
  message(FATAL_ERROR "the library depends on libstdc++")
endif()
list(LENGTH actual count)
message(STATUS "${count} exported symbols, as expected")
