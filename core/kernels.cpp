#include "kernels.hpp"

extern const corvane::kernel_path corvane_baseline_path;
#if defined(CORVANE_X86_PATHS)
extern const corvane::kernel_path corvane_avx2_path;
extern const corvane::kernel_path corvane_avx512_path;
#endif

namespace corvane {

int supported_paths(const kernel_path* paths[max_kernel_paths]) {
    int count = 0;
    paths[count++] = &corvane_baseline_path;
#if defined(CORVANE_X86_PATHS)
    // __builtin_cpu_supports also checks that the operating system saves the
    // wide registers, not only that the processor has them.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) paths[count++] = &corvane_avx2_path;
    if (__builtin_cpu_supports("avx512f")) paths[count++] = &corvane_avx512_path;
#endif
    return count;
}

namespace {

const kernel_path& widest_supported_path() {
    const kernel_path* paths[max_kernel_paths];
    return *paths[supported_paths(paths) - 1];
}

// Chosen during static initialisation, so never inside a timed interval.
const kernel_path& chosen_path = widest_supported_path();

}  // namespace

const kernel_path& active_path() { return chosen_path; }

}  // namespace corvane
