# Writes the HTML page of a report with `quarrow report --html`, loads it in
# headless chromium and reads the page's self-check from the dumped DOM:
# "rows=R frames=F series=S totals=T errors=E". Fails unless the counts are
# ROWS, FRAMES and SERIES, the totals chart has its two lines and there are
# no script errors; with INJECT_ERROR=1 a throwing script is added and the
# check must report it instead. Otherwise INTERACTION (page_interaction.js)
# is added too: it clicks a frame of the flame graph and checks the zoom,
# types a search and checks the highlight and its share, sorts the table and
# hovers a frame, and each of those must report "ok".
# Called by CTest with QUARROW, REPORT, PAGE, ROWS, FRAMES, SERIES, INTERACTION.
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
file(READ ${PAGE} page)
if(INJECT_ERROR)
  string(REPLACE "</body>" "<script>quarrow_no_such_function();</script>\n</body>" page "${page}")
  set(expected_errors 1)
else()
  file(READ ${INTERACTION} interaction)
  string(REPLACE "</body>" "<script>${interaction}</script>\n</body>" page "${page}")
endif()
file(WRITE ${PAGE} "${page}")

# A profile of its own, so parallel or leftover browsers do not interfere.
set(profile ${PAGE}.profile)
file(REMOVE_RECURSE ${profile})
execute_process(COMMAND ${CHROMIUM} --headless --no-sandbox --disable-gpu --disable-dev-shm-usage
    --no-first-run --window-size=1400,1000 --user-data-dir=${profile} --dump-dom file://${PAGE}
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
if(NOT check MATCHES "^rows=([0-9]+) frames=([0-9]+) series=([0-9]+) totals=([0-9]+) errors=([0-9]+)")
  message(FATAL_ERROR "the page's script did not run to the end: \"${check}\"")
endif()
set(rows ${CMAKE_MATCH_1})
set(frames ${CMAKE_MATCH_2})
set(series ${CMAKE_MATCH_3})
set(totals ${CMAKE_MATCH_4})
set(errors ${CMAKE_MATCH_5})
if(NOT errors EQUAL expected_errors)
  message(FATAL_ERROR "expected ${expected_errors} script error(s), the page reports: ${check}")
endif()
if(INJECT_ERROR AND NOT check MATCHES "quarrow_no_such_function")
  message(FATAL_ERROR "the page reports an error, but not the injected one: ${check}")
endif()
if(NOT rows EQUAL ROWS OR NOT frames EQUAL FRAMES OR NOT series EQUAL SERIES OR NOT totals EQUAL 2)
  message(FATAL_ERROR "expected rows=${ROWS} frames=${FRAMES} series=${SERIES} totals=2, the page reports: ${check}")
endif()
if(NOT INJECT_ERROR)
  string(REGEX MATCH "<pre id=\"quarrow-interaction\">([^<]*)</pre>" found "${dom}")
  if(NOT found)
    message(FATAL_ERROR "the interaction script left no result: it did not run")
  endif()
  message(STATUS "interaction: ${CMAKE_MATCH_1}")
  if(NOT CMAKE_MATCH_1 STREQUAL "zoom=ok search=ok sort=ok hover=ok")
    message(FATAL_ERROR "using the page went wrong: ${CMAKE_MATCH_1}")
  endif()
endif()
