# Checks every #include "..." of the project's sources against the table in
# ARCHITECTURE.md, and stops at the first one the table does not allow,
# naming its file and line.
#
#   cmake -DROOT=<project> -P architecture_check.cmake
#
# The rules, as the table's introduction states them:
# - A row's first column names files, its second what they may include.
#   Both are lists of `patterns`: `dir/` is everything below dir/, `*` any
#   part of a name; anything not in backticks is a comment.
# - The first row whose files match a source file holds for it; a source
#   file no row matches is an error, so that no file escapes the table.
# - A file may always include its own header (tick.cpp, tick.hpp).
# - Includes in <angle brackets> are the system's and are not checked.
# Sources are every .cpp and .hpp below ROOT, outside tests/ and build
# trees.
cmake_minimum_required(VERSION 3.25)
if(NOT ROOT)
    message(FATAL_ERROR "usage: cmake -DROOT=<project> -P architecture_check.cmake")
endif()

# A `pattern` of the table as an anchored regular expression.
function(pattern_regex pattern out)
    string(REGEX REPLACE "([.+?^$()|\\\\[])" "\\\\\\1" regex "${pattern}")
    string(REPLACE "*" "[^/]*" regex "${regex}")
    if(NOT regex MATCHES "/$")
        string(APPEND regex "$")
    endif()
    set(${out} "^${regex}" PARENT_SCOPE)
endfunction()

# The `patterns` of one cell of the table, as regular expressions.
function(cell_regexes cell out)
    string(REGEX MATCHALL "`[^`]+`" quoted "${cell}")
    set(regexes "")
    foreach(item IN LISTS quoted)
        string(REPLACE "`" "" pattern "${item}")
        pattern_regex("${pattern}" regex)
        list(APPEND regexes "${regex}")
    endforeach()
    set(${out} "${regexes}" PARENT_SCOPE)
endfunction()

function(matches_any path regexes out)
    foreach(regex IN LISTS regexes)
        if(path MATCHES "${regex}")
            set(${out} TRUE PARENT_SCOPE)
            return()
        endif()
    endforeach()
    set(${out} FALSE PARENT_SCOPE)
endfunction()

# A file's lines as a list: what CMake would read as list syntax (; [ ] \)
# is blanked first, which no include line or table row needs.
function(lines_of path out)
    file(READ "${path}" text)
    string(REGEX REPLACE "[][;\\]" " " text "${text}")
    string(REPLACE "\n" ";" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The table: the lines of "| files | may include, of this project |" and on.
lines_of("${ROOT}/ARCHITECTURE.md" lines)
set(in_table FALSE)
set(row_count 0)
foreach(line IN LISTS lines)
    if(line MATCHES "^\\| files \\| may include")
        set(in_table TRUE)
    elseif(in_table AND line MATCHES "^\\|---")
    elseif(in_table AND line MATCHES "^\\|([^|]*)\\|([^|]*)\\|")
        cell_regexes("${CMAKE_MATCH_1}" files_${row_count})
        cell_regexes("${CMAKE_MATCH_2}" allowed_${row_count})
        math(EXPR row_count "${row_count} + 1")
    elseif(in_table)
        break()
    endif()
endforeach()
if(row_count EQUAL 0)
    message(FATAL_ERROR "ARCHITECTURE.md: no table \"| files | may include, of this project |\"")
endif()
math(EXPR last_row "${row_count} - 1")

file(GLOB_RECURSE sources RELATIVE "${ROOT}" "${ROOT}/*.cpp" "${ROOT}/*.hpp")
list(FILTER sources EXCLUDE REGEX "^tests/|(^|/)(build[^/]*|[.][^/]*|_deps)/")
list(SORT sources)
foreach(source IN LISTS sources)
    set(row "")
    foreach(index RANGE ${last_row})
        matches_any("${source}" "${files_${index}}" found)
        if(found)
            set(row ${index})
            break()
        endif()
    endforeach()
    if(row STREQUAL "")
        message(FATAL_ERROR "${source}: no row of the table in ARCHITECTURE.md names this file")
    endif()
    string(REGEX REPLACE "[.][^./]*$" "" own_stem "${source}")
    lines_of("${ROOT}/${source}" source_lines)
    set(number 0)
    foreach(line IN LISTS source_lines)
        math(EXPR number "${number} + 1")
        if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
            continue()
        endif()
        set(included "${CMAKE_MATCH_1}")
        string(REGEX REPLACE "[.][^./]*$" "" included_stem "${included}")
        matches_any("${included}" "${allowed_${row}}" allowed)
        if(NOT allowed AND NOT included_stem STREQUAL own_stem)
            message(FATAL_ERROR "${source}:${number}: includes \"${included}\", "
                                "which the table in ARCHITECTURE.md does not allow there")
        endif()
    endforeach()
endforeach()
list(LENGTH sources checked)
message(STATUS "the includes of ${checked} files keep to ARCHITECTURE.md")
