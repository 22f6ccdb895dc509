// The kernels and the processor feature each needs, simplest first: the
// divide paths from narrow to wide, then the newton paths from narrow to
// wide. The plan keeps this order when it breaks near-ties.
#include <vector>

#if defined(CORVANE_ARM_PATHS)
#include <sys/auxv.h>
#endif

#include "core/kernels.hpp"
#include "core/kernels/paths.hpp"

namespace corvane {

namespace {

enum class feature { baseline, avx2, avx2_fma, avx512f, sve };

struct table_entry {
    const kernel& k;
    feature needs;
};

const table_entry kernel_table[] = {
    {paths::baseline_divide, feature::baseline},
#if defined(CORVANE_X86_PATHS)
    {paths::avx2_divide, feature::avx2},
    {paths::avx512_divide, feature::avx512f},
    {paths::avx2_newton, feature::avx2_fma},
    {paths::avx512_newton, feature::avx512f},  // AVX-512F includes its own FMA
#endif
#if defined(CORVANE_ARM_PATHS)
    {paths::sve_divide, feature::sve},
    // Advanced SIMD and its fused multiply-add are part of every 64-bit Arm
    // processor Linux runs on, as the baseline's division is.
    {paths::neon_newton, feature::baseline},
#endif
};

bool processor_has(feature needed) {
#if defined(CORVANE_X86_PATHS)
    // __builtin_cpu_supports also checks that the operating system saves the
    // wide registers, not only that the processor has them.
    __builtin_cpu_init();
    switch (needed) {
        case feature::baseline:
            return true;
        case feature::avx2:
            return __builtin_cpu_supports("avx2");
        case feature::avx2_fma:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case feature::avx512f:
            return __builtin_cpu_supports("avx512f");
        case feature::sve:
            return false;  // an Arm feature
    }
    return false;
#elif defined(CORVANE_ARM_PATHS)
    // The kernel's word: HWCAP_SVE is set only where the processor has SVE
    // and the system saves its registers.
    if (needed == feature::sve) return (getauxval(AT_HWCAP) & HWCAP_SVE) != 0;
    return needed == feature::baseline;
#else
    return needed == feature::baseline;
#endif
}

}  // namespace

std::vector<const kernel*> supported_kernels() {
    std::vector<const kernel*> found;
    for (const table_entry& entry : kernel_table)
        if (processor_has(entry.needs)) found.push_back(&entry.k);
    return found;
}

}  // namespace corvane
