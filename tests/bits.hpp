// The known bits: every result the programs and their parts must give, for
// every compiler, optimisation level and platform, written once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace corvane::testing {

// A double's IEEE-754 bit pattern as "0x" and sixteen hex digits, so that a
// failed comparison shows which bits differ.
inline std::string pattern(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    char text[19];
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(bits));
    return text;
}

// The sum of all 10^9 terms from 0.0, and pi = step * sum, for each order
// on one thread and on a team of two (each thread its static block, the two
// partials added).
struct known_result {
    double total;
    double pi;
};
inline constexpr known_result strict_one_thread = {0x1.7681cc9b2e10ap+31, 0x1.921fb54442ea8p+1};
inline constexpr known_result four_lane_one_thread = {0x1.7681cc9b2df61p+31, 0x1.921fb54442cep+1};
inline constexpr known_result strict_two_threads = {0x1.7681cc9b2e078p+31, 0x1.921fb54442e0bp+1};
inline constexpr known_result four_lane_two_threads = {0x1.7681cc9b2df22p+31, 0x1.921fb54442c9cp+1};

}  // namespace corvane::testing
