// Built with -mavx2 -mfma: four terms per pass of a single-precision
// reciprocal estimate refined in double precision, no division.
#include "core/kernels/paths.hpp"

#define CORVANE_KERNEL_LABEL "avx2"
#define CORVANE_VECTOR_BYTES 32
#define CORVANE_NEWTON
#define CORVANE_KERNEL_NAME avx2_newton
#include "core/kernels/kernel_body.inc"
