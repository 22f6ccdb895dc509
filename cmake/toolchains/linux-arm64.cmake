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

# OpenMP: Clang compiles OpenMP directives only for LLVM's libomp (with
# -fopenmp=libgomp it links libgomp but ignores every directive). Debian's
# arm64 libomp cannot be installed beside the host's; arm64-libomp.sh
# unpacks it into build/arm64-libomp. Without it the three OpenMP programs
# are not built for this target.
find_file(CORVANE_ARM64_LIBOMP libomp.so
    PATHS "${CMAKE_CURRENT_LIST_DIR}/../../build/arm64-libomp/usr/lib/llvm-14/lib"
    NO_DEFAULT_PATH DOC "LLVM's OpenMP runtime built for aarch64 (cmake/toolchains/arm64-libomp.sh)")
if(CORVANE_ARM64_LIBOMP)
    # Clang adds -lomp when it links with -fopenmp, as FindOpenMP's checks do.
    get_filename_component(corvane_libomp_dir "${CORVANE_ARM64_LIBOMP}" DIRECTORY)
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${corvane_libomp_dir}")
    # Built programs find it there; installed ones, on an ARM machine, in
    # that machine's libomp5.
    set(CMAKE_BUILD_RPATH "${corvane_libomp_dir}")
    set(OpenMP_C_FLAGS "-fopenmp=libomp" CACHE STRING "")
    set(OpenMP_C_LIB_NAMES omp CACHE STRING "")
    set(OpenMP_CXX_FLAGS "-fopenmp=libomp" CACHE STRING "")
    set(OpenMP_CXX_LIB_NAMES omp CACHE STRING "")
    set(OpenMP_omp_LIBRARY "${CORVANE_ARM64_LIBOMP}" CACHE FILEPATH "")
endif()

# The dynamic loader and libraries of the target live under /usr/<triple>.
# Without -cpu, qemu emulates its "max" processor (SVE, 512-bit vectors
# unless told otherwise); tests that need another name it themselves.
find_program(CORVANE_QEMU_AARCH64 qemu-aarch64)
if(CORVANE_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${CORVANE_QEMU_AARCH64};-L;/usr/${corvane_target}" CACHE STRING "")
endif()
