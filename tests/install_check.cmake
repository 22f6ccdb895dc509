# Installs the build into a fresh prefix and runs one installed program:
#   cmake -DBUILD_DIR=... -DPREFIX=... -DPROGRAM=bin/corvane-serial-simd[.exe]
#         [-DEMULATOR=...] -P install_check.cmake
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
execute_process(COMMAND ${EMULATOR} "${PREFIX}/${PROGRAM}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT output MATCHES "^The value of PI is  3\\.141592653590\r?\nThe time to calculate PI was [0-9]+\\.[0-9]+ seconds\r?\n$")
    message(FATAL_ERROR "installed ${PROGRAM} exited ${status} printing:\n${output}${errors}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "installed ${PROGRAM} runs")
