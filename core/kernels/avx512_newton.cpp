// Built with -mavx512f: eight terms per pass of vrcp14pd refined with fused
// multiply-adds, no division.
#include "core/kernels/paths.hpp"

#define CORVANE_KERNEL_LABEL "avx512"
#define CORVANE_VECTOR_BYTES 64
#define CORVANE_NEWTON
#define CORVANE_KERNEL_NAME avx512_newton
#include "core/kernels/kernel_body.inc"
