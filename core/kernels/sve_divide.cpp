// Built with +sve: as many terms per division instruction as the
// processor's vectors hold, whatever their length.
#include "core/kernels/paths.hpp"

#define CORVANE_KERNEL_LABEL "sve"
#define CORVANE_SVE
#define CORVANE_KERNEL_NAME sve_divide
#include "core/kernels/kernel_body.inc"
