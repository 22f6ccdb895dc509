# A 32-bit Windows console build with MinGW-w64 (Debian:
# g++-mingw-w64-i686-posix). Its tests run under 32-bit Wine, which needs a
# kernel that runs 32-bit x86 programs.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(corvane_mingw_triple i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/windows-mingw.cmake")
