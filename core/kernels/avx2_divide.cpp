// Built with -mavx2: four terms per division instruction.
#include "core/kernels/paths.hpp"

#define CORVANE_KERNEL_LABEL "avx2"
#define CORVANE_VECTOR_BYTES 32
#define CORVANE_KERNEL_NAME avx2_divide
#include "core/kernels/kernel_body.inc"
