#include "bench/base/text.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace corvane::bench {

namespace {

// Invisible characters that change how the text around them is shown:
// bidirectional overrides and isolates (U+202E turns "exe.txt" around),
// zero-width characters, the byte order mark, line and paragraph
// separators, and tags.
bool is_format_control(std::uint32_t point) {
    return point == 0xAD || point == 0x61C || point == 0x180E || (point >= 0x200B && point <= 0x200F) ||
           (point >= 0x2028 && point <= 0x202E) || (point >= 0x2060 && point <= 0x206F) || point == 0xFEFF ||
           (point >= 0xFFF9 && point <= 0xFFFB) || (point >= 0xE0000 && point <= 0xE007F);
}

}  // namespace

std::string printable(const std::string& text) {
    std::string out;
    const auto escape = [&out](unsigned char byte) {
        char code[5];
        std::snprintf(code, sizeof code, "\\x%02X", byte);
        out += code;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        std::size_t length = byte < 0x80                    ? 1
                             : byte >= 0xC2 && byte <= 0xDF ? 2
                             : byte >= 0xE0 && byte <= 0xEF ? 3
                             : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                            : 0;
        if (length == 0 || i + length > text.size()) length = 0;
        std::uint32_t point = length == 1 ? byte : byte & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) length = 0;
            point = point << 6 | (next & 0x3F);
        }
        const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
        const bool invalid = point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF);
        const bool control = point < 0x20 || (point >= 0x7F && point <= 0x9F);
        if (length == 0 || overlong || invalid || control) {
            escape(byte);
            ++i;
            continue;
        }
        if (is_format_control(point)) {
            for (std::size_t k = 0; k < length; ++k) escape(static_cast<unsigned char>(text[i + k]));
            i += length;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

std::string formatted(const char* format, double value) {
    if (!std::isfinite(value)) return "-";
    const int length = std::snprintf(nullptr, 0, format, value);
    if (length < 0) return "-";
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, value);
    text.pop_back();
    return text;
}

std::string fixed(double value, int decimals) {
    // No figure here is meant to be this large; if one is, it stays short.
    if (std::isfinite(value) && std::fabs(value) >= 1e15) return formatted("%.3g", value);
    const std::string format = "%." + std::to_string(decimals) + "f";
    return formatted(format.c_str(), value);
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace corvane::bench
