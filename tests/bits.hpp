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

}  // namespace corvane::testing
