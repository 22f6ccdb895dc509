// Built with -mavx512f: eight terms per pass of vrcp14pd refined with fused
// multiply-adds, no division.
#include "core/kernels.hpp"

#define CORVANE_KERNEL_LABEL "avx512"
#define CORVANE_VECTOR_BYTES 64
#define CORVANE_NEWTON
#define CORVANE_KERNEL_NAME corvane_avx512_newton
#include "core/kernels_body.hpp"
