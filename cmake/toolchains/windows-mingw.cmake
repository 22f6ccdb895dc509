# What the Windows console builds share (MinGW-w64, the posix thread model:
# the win32 one lacks parts of the C++ thread library). The per-processor
# files set corvane_mingw_triple and CMAKE_SYSTEM_PROCESSOR, then include
# this one. Everything is linked statically, the OpenMP runtime included,
# so the programs run on a bare Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${corvane_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${corvane_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${corvane_mingw_triple}-windres)

# Libraries and headers only from the MinGW tree; Debian's header-only
# CLI11 and nlohmann/json are added on their own (CorvaneHeaderOnly.cmake),
# not the whole of /usr/include.
set(CMAKE_FIND_ROOT_PATH /usr/${corvane_mingw_triple})
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
