// The path every processor of the target architecture runs.
#include "core/kernels/paths.hpp"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define CORVANE_KERNEL_LABEL "sse2"
#elif defined(__aarch64__)
// The body's two-wide vectors are Advanced SIMD's (fdiv v.2d).
#define CORVANE_KERNEL_LABEL "neon"
#else
#define CORVANE_KERNEL_LABEL "portable"
#endif
#define CORVANE_KERNEL_NAME baseline_divide
#include "core/kernels/kernel_body.inc"
