#include "tools/kernels/verify.hpp"

#include <chrono>
#include <cstdio>

#include "core/kernels.hpp"
#include "tools/kernels/term_check.hpp"

namespace corvane::kernels {

int verify_every_term() {
    int status = 0;
    for (const kernel* k : supported_kernels()) {
        const auto started = std::chrono::steady_clock::now();
        const std::int64_t differing = differing_terms(*k, 0, num_steps);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("%-14s %lld of %d terms differ from IEEE division (%.1f s)\n", kernel_name(*k).c_str(),
                    static_cast<long long>(differing), num_steps, seconds);
        if (differing != 0) status = 1;
    }
    return status;
}

}  // namespace corvane::kernels
