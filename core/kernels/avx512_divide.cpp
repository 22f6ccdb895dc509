// Built with -mavx512f: eight terms per division instruction.
#include "core/kernels/paths.hpp"

#define CORVANE_KERNEL_LABEL "avx512"
#define CORVANE_VECTOR_BYTES 64
#define CORVANE_KERNEL_NAME avx512_divide
#include "core/kernels/kernel_body.inc"
