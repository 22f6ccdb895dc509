# The floating-point policy of every Corvane target, in one place. The results
# are exact bit patterns, so the compiler may neither fuse a multiply and an
# add, nor reassociate, nor keep intermediates in wider registers.
add_library(corvane_fp INTERFACE)
add_library(corvane::fp ALIAS corvane_fp)

set(corvane_x86 FALSE)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^([iI][3-6]86|x86|X86|x86_64|AMD64|amd64)$")
    set(corvane_x86 TRUE)
endif()
set(corvane_arm64 FALSE)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$" AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(corvane_arm64 TRUE)
endif()

if(MSVC)
    target_compile_options(corvane_fp INTERFACE /fp:precise)
    if(corvane_x86 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
        target_compile_options(corvane_fp INTERFACE /arch:SSE2)
    endif()
else()
    target_compile_options(corvane_fp INTERFACE -ffp-contract=off -fno-fast-math)
    if(corvane_x86 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
        # 32-bit x86 defaults to x87 arithmetic with 80-bit intermediates.
        target_compile_options(corvane_fp INTERFACE -msse2 -mfpmath=sse)
    endif()
endif()

if(CORVANE_NATIVE)
    target_compile_options(corvane_fp INTERFACE -march=native)
endif()
