// Every kernel this build has, one translation unit each in this folder, each
// compiled for its own instruction set. Which of them a processor may run is
// the table's business (table.cpp).
#pragma once

#include "core/kernels.hpp"

namespace corvane::paths {

extern const kernel baseline_divide;
#if defined(CORVANE_X86_PATHS)
extern const kernel avx2_divide;
extern const kernel avx512_divide;
extern const kernel avx2_newton;
extern const kernel avx512_newton;
#endif
#if defined(CORVANE_ARM_PATHS)
extern const kernel sve_divide;
extern const kernel neon_newton;
#endif

}  // namespace corvane::paths
