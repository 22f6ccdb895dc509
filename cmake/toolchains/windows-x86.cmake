# A 32-bit Windows console build with MinGW-w64 (Debian:
# g++-mingw-w64-i686-posix; the posix thread model, since the win32 one
# lacks parts of the C++ thread library). Everything is linked statically,
# the OpenMP runtime included, so the programs run on a bare Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# find_package(OpenMP) would link libgomp's import library by full path,
# which makes the programs depend on libgomp-1.dll: name the static archive.
execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libgomp.a
    OUTPUT_VARIABLE corvane_static_gomp OUTPUT_STRIP_TRAILING_WHITESPACE)
set(OpenMP_CXX_FLAGS "-fopenmp" CACHE STRING "")
set(OpenMP_CXX_LIB_NAMES "gomp" CACHE STRING "")
set(OpenMP_gomp_LIBRARY "${corvane_static_gomp}" CACHE FILEPATH "")
