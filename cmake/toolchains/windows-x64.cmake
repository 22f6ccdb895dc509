# A 64-bit Windows console build with MinGW-w64 (Debian:
# g++-mingw-w64-x86-64-posix). Its tests run under wine64, which any x86-64
# Linux kernel can start.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(corvane_mingw_triple x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/windows-mingw.cmake")
