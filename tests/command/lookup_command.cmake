# `quarrow report` on the lookup fixtures' report, through its command line:
# the lookup is on by default and names the static and inlined functions
# with their lines; --no-symbols keeps the report's names; a --sysroot that
# holds none of the objects warns once per object without failing --strict;
# --debug-dir and --sysroot take one directory each, leaving FILE alone.
# Called by CTest with QUARROW, FIXTURES (one class's fixture directory) and
# OBJECT (the end of the shared object's path, as warnings name it).
function(report out_var err_var status_var)
  execute_process(COMMAND ${QUARROW} report ${ARGN} ${FIXTURES}/lookup.log
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  set(${out_var} "${out}" PARENT_SCOPE)
  set(${err_var} "${err}" PARENT_SCOPE)
  set(${status_var} "${status}" PARENT_SCOPE)
endfunction()

report(out err status --strict)
message(STATUS "default:\n${out}${err}")
string(FIND "${out}" "hidden_leaf (lookup_lib.c:" at_hidden)
string(FIND "${out}" "[inlined] inlined_helper (lookup_lib.c:" at_inlined)
string(FIND "${out}" "fixture_exported (lookup_lib.c:" at_exported)
if(NOT (status EQUAL 0))
  message(FATAL_ERROR "status ${status}")
endif()
if(NOT (NOT at_hidden EQUAL -1))
  message(FATAL_ERROR "the static function is not named with its line")
endif()
if(NOT (NOT at_inlined EQUAL -1))
  message(FATAL_ERROR "the inlined call is not marked")
endif()
if(NOT (NOT at_exported EQUAL -1))
  message(FATAL_ERROR "the exported function has no line")
endif()

report(out err status --no-symbols)
string(FIND "${out}" "hidden_leaf" at_hidden)
string(FIND "${out}" "(lookup_lib.c:" at_line)
if(NOT (at_hidden EQUAL -1 AND at_line EQUAL -1))
  message(FATAL_ERROR "--no-symbols still looked frames up:\n${out}")
endif()
if(NOT (status EQUAL 0))
  message(FATAL_ERROR "status ${status}")
endif()

report(out err status --strict --sysroot /nonexistent --debug-dir /nonexistent/a --debug-dir /nonexistent/b)
message(STATUS "with an empty sysroot:\n${err}")
# (the warning holds a semicolon, which a CMake list would split at)
string(REPLACE "." "\\." object_pattern "${OBJECT}")
string(REGEX MATCHALL "${object_pattern}: No such file or directory" lib_warnings "${err}")
list(LENGTH lib_warnings count)
if(NOT (count EQUAL 1))
  message(FATAL_ERROR "wanted one warning for ${OBJECT}, got ${count}:\n${err}")
endif()
if(NOT (status EQUAL 0))
  message(FATAL_ERROR "lookup warnings failed --strict (status ${status})")
endif()
string(FIND "${out}" "fixture_exported+0x" at_fallback)
if(NOT (NOT at_fallback EQUAL -1))
  message(FATAL_ERROR "the report's own name is not shown:\n${out}")
endif()
