# Writes the HTML page of a report with `quarrow report --html`, loads it in
# headless chromium and reads the page's self-check from the dumped DOM:
# "rows=R frames=F series=S errors=E". Fails unless the counts are ROWS,
# FRAMES and SERIES and there are no script errors; with INJECT_ERROR=1 a
# throwing script is added and the check must report it instead.
# Called by CTest with QUARROW, REPORT, PAGE, ROWS, FRAMES, SERIES.
find_program(CHROMIUM NAMES chromium chromium-browser)
if(NOT CHROMIUM)
  message(FATAL_ERROR "chromium is not installed, so the page cannot be checked: run scripts/install-deps.sh")
endif()

execute_process(COMMAND ${QUARROW} report --html ${PAGE} ${REPORT}
  RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "quarrow report --html failed (${status}):\n${err}")
endif()

set(expected_errors 0)
if(INJECT_ERROR)
  file(READ ${PAGE} page)
  string(REPLACE "</body>" "<script>quarrow_no_such_function();</script>\n</body>" page "${page}")
  file(WRITE ${PAGE} "${page}")
  set(expected_errors 1)
endif()

# A profile of its own, so parallel or leftover browsers do not interfere.
set(profile ${PAGE}.profile)
file(REMOVE_RECURSE ${profile})
execute_process(COMMAND ${CHROMIUM} --headless --no-sandbox --disable-gpu --disable-dev-shm-usage
    --no-first-run --user-data-dir=${profile} --dump-dom file://${PAGE}
  OUTPUT_VARIABLE dom ERROR_VARIABLE browser_err RESULT_VARIABLE status TIMEOUT 500)
file(REMOVE_RECURSE ${profile})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "chromium failed (${status}):\n${browser_err}")
endif()

string(REGEX MATCH "<pre id=\"quarrow-check\">([^<]*)</pre>" found "${dom}")
if(NOT found)
  message(FATAL_ERROR "the dumped page has no self-check element:\n${dom}")
endif()
set(check "${CMAKE_MATCH_1}")
message(STATUS "self-check: ${check}")
if(NOT check MATCHES "^rows=([0-9]+) frames=([0-9]+) series=([0-9]+) errors=([0-9]+)")
  message(FATAL_ERROR "the page's script did not run to the end: \"${check}\"")
endif()
set(rows ${CMAKE_MATCH_1})
set(frames ${CMAKE_MATCH_2})
set(series ${CMAKE_MATCH_3})
set(errors ${CMAKE_MATCH_4})
if(NOT errors EQUAL expected_errors)
  message(FATAL_ERROR "expected ${expected_errors} script error(s), the page reports: ${check}")
endif()
if(INJECT_ERROR AND NOT check MATCHES "quarrow_no_such_function")
  message(FATAL_ERROR "the page reports an error, but not the injected one: ${check}")
endif()
if(NOT rows EQUAL ROWS OR NOT frames EQUAL FRAMES OR NOT series EQUAL SERIES)
  message(FATAL_ERROR "expected rows=${ROWS} frames=${FRAMES} series=${SERIES}, the page reports: ${check}")
endif()
