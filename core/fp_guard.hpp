// Every result is a bit pattern fixed by IEEE-754 double arithmetic. x87
// evaluation keeps intermediates in 80 bits and changes those bits, so such
// a build is refused outright rather than allowed to print wrong numbers.
#pragma once

#include <cfloat>

#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0 && FLT_EVAL_METHOD != -1
#error \
    "corvane needs double arithmetic without excess precision (FLT_EVAL_METHOD 0); on 32-bit x86 build with -msse2 -mfpmath=sse"
#endif

#if defined(_M_IX86_FP) && _M_IX86_FP < 2
#error "corvane needs SSE2 double arithmetic on 32-bit x86; build with /arch:SSE2"
#endif

#if defined(__FAST_MATH__)
#error "corvane must not be built with -ffast-math: it reorders the additions whose order fixes the result"
#endif
