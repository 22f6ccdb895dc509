# Installs the build into a fresh prefix and runs one installed program and,
# where given, the installed corvane-bench with its helpers:
#   cmake -DBUILD_DIR=... -DPREFIX=... -DPROGRAM=bin/corvane-serial-simd[.exe]
#         [-DINSTALLED=bin/a;bin/b] [-DHELPERS=libexec/corvane/a;...]
#         [-DBENCH=bin/corvane-bench -DBENCH_PROGRAMS=a,b] [-DEMULATOR=...] -P install_check.cmake
include("${CMAKE_CURRENT_LIST_DIR}/installed_suite.cmake")
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
    message(FATAL_ERROR "cmake --install failed: ${failed}")
endif()
file(GLOB readme "${PREFIX}/share/doc/*/README.md")
if(NOT readme)
    message(FATAL_ERROR "README.md is not in ${PREFIX}/share/doc")
endif()
# The pages beside the README keep their links where they are installed.
if(LINK_CHECK)
    get_filename_component(doc_dir "${readme}" DIRECTORY)
    execute_process(COMMAND bash "${LINK_CHECK}" "${doc_dir}" RESULT_VARIABLE failed OUTPUT_VARIABLE broken)
    if(failed)
        message(FATAL_ERROR "the installed documentation in ${doc_dir} has broken links:\n${broken}")
    endif()
endif()
foreach(path IN LISTS INSTALLED HELPERS)
    if(NOT EXISTS "${PREFIX}/${path}")
        message(FATAL_ERROR "${path} is not installed")
    endif()
endforeach()
# Helpers are not commands: none of them in bin.
foreach(helper IN LISTS HELPERS)
    get_filename_component(name "${helper}" NAME)
    if(EXISTS "${PREFIX}/bin/${name}")
        message(FATAL_ERROR "the helper ${name} is installed in bin")
    endif()
endforeach()
execute_process(COMMAND ${EMULATOR} "${PREFIX}/${PROGRAM}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT output MATCHES "^The value of PI is  3\\.141592653590\r?\nThe time to calculate PI was [0-9]+\\.[0-9]+ seconds\r?\n$")
    message(FATAL_ERROR "installed ${PROGRAM} exited ${status} printing:\n${output}${errors}")
endif()
if(BENCH)
    check_installed_suite("${PREFIX}/${BENCH}" "${BENCH_PROGRAMS}" "${PREFIX}" "${BUILD_DIR}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "installed ${PROGRAM} runs")
