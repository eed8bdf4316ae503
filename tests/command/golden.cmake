# Runs `quarrow report` and compares what it printed with a golden file.
# Called by CTest with QUARROW, ARGS ('|'-separated), DIR, GOLDEN, ACTUAL.
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${QUARROW} report ${args}
  WORKING_DIRECTORY ${DIR}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
set(actual "${out}--- standard error ---\n${err}--- exit status ${status} ---\n")

if("$ENV{QUARROW_UPDATE_GOLDEN}" STREQUAL "1")
  file(WRITE ${GOLDEN} "${actual}")
  message(STATUS "rewrote ${GOLDEN}")
  return()
endif()

file(READ ${GOLDEN} expected)
if(NOT actual STREQUAL expected)
  file(WRITE ${ACTUAL} "${actual}")
  message(FATAL_ERROR "output differs from the golden file:\n  diff -u ${GOLDEN} ${ACTUAL}")
endif()
