# Builds the Windows ZIP, unpacks it and runs each program from there in a
# fresh Wine prefix of its own, as on a Windows machine without MinGW:
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DZIP_NAME=corvane-<version>-win64
#         -DPROGRAMS=a,b -DKERNELS=ON|OFF -DWINE=/usr/lib/wine/wine64
#         -DOBJDUMP=x86_64-w64-mingw32-objdump -P zip_check.cmake
string(REPLACE "," ";" PROGRAMS "${PROGRAMS}")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${CMAKE_CPACK_COMMAND}" -G ZIP --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}"
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
set(zip "${WORK_DIR}/${ZIP_NAME}.zip")
if(failed OR NOT EXISTS "${zip}")
    file(GLOB made "${WORK_DIR}/*.zip")
    message(FATAL_ERROR "cpack -G ZIP exited ${failed}, made '${made}', not ${zip}:\n${output}${errors}")
endif()

set(unpacked "${WORK_DIR}/unpacked")
file(MAKE_DIRECTORY "${unpacked}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${zip}" WORKING_DIRECTORY "${unpacked}" RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cannot unpack ${zip}: ${failed}")
endif()
set(root "${unpacked}/${ZIP_NAME}")
set(expected share/doc/corvane/README.md share/doc/corvane/LICENSE share/doc/corvane/docs/platforms.md
    share/doc/corvane/docs/install.md)
set(executables ${PROGRAMS})
if(KERNELS)
    list(APPEND executables corvane-kernels)
endif()
foreach(program IN LISTS executables)
    list(APPEND expected "bin/${program}.exe")
endforeach()
foreach(path IN LISTS expected)
    if(NOT EXISTS "${root}/${path}")
        message(FATAL_ERROR "${ZIP_NAME}.zip lacks ${path}")
    endif()
endforeach()

# Nothing but Windows' own DLLs: a MinGW runtime DLL (libgomp-1.dll,
# libstdc++-6.dll, libwinpthread-1.dll) would have to be in the ZIP.
file(GLOB_RECURSE packed_executables "${root}/*.exe")
foreach(executable IN LISTS packed_executables)
    execute_process(COMMAND "${OBJDUMP}" -p "${executable}" OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
    if(failed OR NOT imports)
        message(FATAL_ERROR "${OBJDUMP} -p ${executable} failed (${failed}) or found no imports")
    endif()
    foreach(import IN LISTS imports)
        string(REPLACE "DLL Name: " "" dll "${import}")
        string(TOLOWER "${dll}" dll)
        if(NOT dll MATCHES "^(kernel32|msvcrt|user32|advapi32|ws2_32|psapi|ntdll)\\.dll$")
            message(FATAL_ERROR "${executable} needs ${dll}, which a bare Windows does not have")
        endif()
    endforeach()
endforeach()

# A prefix of its own, with no WINEPATH: only what the ZIP holds and what
# Wine brings as Windows' DLLs. Its first start makes the prefix.
set(wine "${CMAKE_COMMAND}" -E env --unset=WINEPATH --unset=OMP_NUM_THREADS "WINEPREFIX=${WORK_DIR}/wine"
    WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY= "${WINE}")
# The two lines with the console's CRLF endings. CMake drops carriage
# returns from what it reads as text, so they are checked in hex.
string(HEX "The value of PI is  3.141592653590\r\nThe time to calculate PI was " value_line_hex)
string(HEX " seconds\r\n" time_end_hex)
foreach(program IN LISTS PROGRAMS)
    execute_process(COMMAND ${wine} "${program}.exe" WORKING_DIRECTORY "${root}/bin"
        RESULT_VARIABLE status OUTPUT_FILE "${WORK_DIR}/out.txt" ERROR_VARIABLE err TIMEOUT 300)
    file(READ "${WORK_DIR}/out.txt" out)
    file(READ "${WORK_DIR}/out.txt" out_hex HEX)
    if(NOT status EQUAL 0 OR NOT out_hex MATCHES "^${value_line_hex}(3[0-9]|2e)+${time_end_hex}$")
        message(FATAL_ERROR "${program}.exe from the ZIP exited ${status} and printed:\n${out}${err}")
    endif()
endforeach()
if(KERNELS)
    execute_process(COMMAND ${wine} corvane-kernels.exe --version WORKING_DIRECTORY "${root}/bin"
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
    if(NOT status EQUAL 0 OR NOT out MATCHES "^corvane-kernels [0-9]+\\.[0-9]+\\.[0-9]+\r?\n$")
        message(FATAL_ERROR "corvane-kernels.exe --version from the ZIP exited ${status} and printed:\n${out}${err}")
    endif()
endif()
message(STATUS "${ZIP_NAME}.zip: ${executables} run from the unpacked tree in a fresh Wine prefix")
