# Writes help2man's include file for corvane-bench's man page: a section per
# subcommand from its own --help, and EXIT STATUS from the status table of
# the reference page, so that the man page and the page never disagree.
#   cmake -DBENCH=path/corvane-bench -DDOCS=docs/corvane-bench.md -DOUTPUT=file.h2m
#         -P CorvaneManPage.cmake

# Text as roff: a backslash printed as such, no line read as a request.
function(as_roff text out)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(include_text "")
foreach(subcommand compare report)
    execute_process(COMMAND "${BENCH}" ${subcommand} --help
        RESULT_VARIABLE failed OUTPUT_VARIABLE help ERROR_VARIABLE errors)
    if(failed OR help STREQUAL "")
        message(FATAL_ERROR "${BENCH} ${subcommand} --help exited ${failed}:\n${help}${errors}")
    endif()
    as_roff("${help}" help)
    string(TOUPPER "${subcommand}" title)
    string(APPEND include_text "[${title}]\n.nf\n${help}.fi\n\n")
endforeach()

# The rows of the table under "## Exit status": "| status | meaning |".
file(READ "${DOCS}" page)
string(ASCII 31 separator)
string(REPLACE ";" "${separator}" page "${page}")  # kept out of CMake's list splitting
if(NOT page MATCHES "\n## Exit status\n+\\| status \\| meaning \\|\n\\|[-|]+\\|\n((\\|[^\n]*\n)+)")
    message(FATAL_ERROR "${DOCS} has no table under \"## Exit status\"")
endif()
string(REGEX REPLACE "\n$" "" rows "${CMAKE_MATCH_1}")
string(REPLACE "\n" ";" rows "${rows}")
string(APPEND include_text "[EXIT STATUS]\n")
foreach(row IN LISTS rows)
    if(NOT row MATCHES "^\\| ([^|]+) \\| (.+) \\|$")
        message(FATAL_ERROR "${DOCS}: not a row of the status table: ${row}")
    endif()
    set(status "${CMAKE_MATCH_1}")
    string(REPLACE "`" "" meaning "${CMAKE_MATCH_2}")
    as_roff("${meaning}" meaning)
    string(APPEND include_text ".TP\n.B ${status}\n${meaning}\n")
endforeach()
string(APPEND include_text "\n[SEE ALSO]\nThe README and the pages of docs/ beside it, installed in "
    "share/doc/corvane: docs/corvane-bench.md, docs/compare.md, docs/report.md.\n")
string(REPLACE "${separator}" ";" include_text "${include_text}")
file(WRITE "${OUTPUT}" "${include_text}")
