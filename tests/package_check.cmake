# Builds the Debian package, checks its metadata, unpacks it with dpkg -x
# and runs the suite from the unpacked tree:
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DPROGRAMS=a,b [-DMAN_PAGE=ON] [-DMPI=ON]
#         -P package_check.cmake
include("${CMAKE_CURRENT_LIST_DIR}/installed_suite.cmake")
# CPack's DEB generator runs file(1) over what it packs; nothing else pulls
# the package in.
find_program(FILE_UTILITY file)
if(NOT FILE_UTILITY)
    message(FATAL_ERROR "package test skipped: cpack -G DEB needs the file utility (Debian: file)")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${CMAKE_CPACK_COMMAND}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}"
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
file(GLOB package "${WORK_DIR}/corvane_*.deb")
list(LENGTH package packages)
if(failed OR NOT packages EQUAL 1)
    message(FATAL_ERROR "cpack -G DEB exited ${failed} making ${package}:\n${output}${errors}")
endif()

execute_process(COMMAND dpkg -I "${package}" RESULT_VARIABLE failed OUTPUT_VARIABLE info)
foreach(field "Package: corvane" "Version: [0-9]+\\.[0-9]+\\.[0-9]+" "Depends: [^\n]*libc6" "Maintainer: [^\n]+"
              "Description: [^\n]+\n [^\n]+" "Architecture: [a-z0-9]+")
    if(failed OR NOT info MATCHES "\n ${field}")
        message(FATAL_ERROR "dpkg -I ${package} lacks '${field}':\n${info}")
    endif()
endforeach()

set(root "${WORK_DIR}/root")
execute_process(COMMAND dpkg -x "${package}" "${root}" RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "dpkg -x ${package} failed: ${failed}")
endif()
set(expected usr/bin/corvane-bench usr/bin/corvane-serial-simd
    usr/share/bash-completion/completions/corvane-bench usr/share/doc/corvane/README.md
    usr/share/doc/corvane/docs/corvane-bench.md usr/share/doc/corvane/copyright)
if(MAN_PAGE)
    list(APPEND expected usr/share/man/man1/corvane-bench.1.gz)
endif()
foreach(path IN LISTS expected)
    if(NOT EXISTS "${root}/${path}")
        message(FATAL_ERROR "${package} does not install ${path}")
    endif()
endforeach()
# Debian's copyright file, in its machine-readable format, with the licence.
file(READ "${root}/usr/share/doc/corvane/copyright" copyright)
if(NOT copyright MATCHES "^Format: [^\n]+\n.*\nLicense: Apache-2\\.0\n .*\n \\.\n .*TERMS AND CONDITIONS")
    message(FATAL_ERROR "${package}: usr/share/doc/corvane/copyright is not Debian's format with the "
                        "Apache License 2.0:\n${copyright}")
endif()
file(GLOB helpers_in_bin "${root}/usr/bin/corvane-team-probe" "${root}/usr/bin/corvane-mpi-version")
if(helpers_in_bin)
    message(FATAL_ERROR "helpers installed among the user's commands: ${helpers_in_bin}")
endif()
check_installed_suite("${root}/usr/bin/corvane-bench" "${PROGRAMS}" "${WORK_DIR}" "${BUILD_DIR}")
# The MPI library's version comes from the other helper in libexec.
if(MPI)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
            "${root}/usr/bin/corvane-bench" --programs corvane-serial-simd --threads 1 --ranks 1 --runs 1
            --warmup 0 --json "${WORK_DIR}/mpi.json"
        RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(status EQUAL 0)
        file(READ "${WORK_DIR}/mpi.json" result)
        string(JSON library GET "${result}" context mpi library)
    endif()
    if(NOT status EQUAL 0 OR library STREQUAL "unknown")
        message(FATAL_ERROR "the unpacked corvane-bench with --ranks 1 exited ${status}, MPI library "
                            "'${library}':\n${output}${errors}")
    endif()
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
