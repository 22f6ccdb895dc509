// Advanced SIMD, which every 64-bit Arm processor has: two terms per pass of
// frecpe refined with frecps and fused multiply-adds, no division.
#include "core/kernels/paths.hpp"

#define CORVANE_KERNEL_LABEL "neon"
#define CORVANE_NEWTON
#define CORVANE_KERNEL_NAME neon_newton
#include "core/kernels/kernel_body.inc"
