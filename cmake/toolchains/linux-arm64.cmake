# 64-bit ARM Linux, cross-compiled with Clang (Debian: clang,
# libstdc++-12-dev-arm64-cross, libc6-dev-arm64-cross,
# binutils-aarch64-linux-gnu). Debian's g++-aarch64-linux-gnu cannot be
# installed beside g++-multilib, which the 32-bit x86 build needs; Clang
# with the cross libraries can. Programs and tests run under qemu-aarch64
# (qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(corvane_target aarch64-linux-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${corvane_target})
set(CMAKE_CXX_COMPILER_TARGET ${corvane_target})
set(CMAKE_LIBRARY_ARCHITECTURE ${corvane_target})

# Libraries only from the target's tree; the host's header-only packages
# (CLI11, nlohmann/json) serve both.
set(CMAKE_FIND_ROOT_PATH /usr/${corvane_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# No OpenMP: Clang compiles OpenMP directives only for LLVM's libomp, which
# Debian has not for this target (with -fopenmp=libgomp it links libgomp but
# ignores every directive, so the "parallel" programs would run serially).
# FindOpenMP's test against libomp fails, and the three OpenMP programs are
# not built for this target.

# The dynamic loader and libraries of the target live under /usr/<triple>.
# Without -cpu, qemu emulates its "max" processor (SVE, 512-bit vectors
# unless told otherwise); tests that need another name it themselves.
find_program(CORVANE_QEMU_AARCH64 qemu-aarch64)
if(CORVANE_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${CORVANE_QEMU_AARCH64};-L;/usr/${corvane_target}" CACHE STRING "")
endif()
