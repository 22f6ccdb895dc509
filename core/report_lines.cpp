#include "core/report_lines.hpp"

#include <cstdio>
#include <cstdlib>

namespace corvane {

namespace {

template <typename... Values>
std::string formatted(const char* format, Values... values) {
    const int length = std::snprintf(nullptr, 0, format, values...);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, values...);
    text.pop_back();  // the terminating zero
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string value_line(double pi) { return formatted(value_line_format, pi); }

std::string time_line(double seconds) { return formatted(time_line_format, seconds); }

std::string expected_value_line() { return value_line(3.14159265358979323846); }

std::optional<double> parse_time_line(std::string_view line) {
    // The words around the number, as the format spells them.
    // Worked out at run time: GCC's sanitizers refuse string_view::find in
    // a constant expression.
    const std::string_view format = time_line_format;
    const std::size_t number_at = format.find("%f");
    const std::string_view prefix = format.substr(0, number_at);
    const std::string_view suffix = format.substr(number_at + 2, format.size() - number_at - 3);
    constexpr std::size_t decimals = 6;
    if (line.size() < prefix.size() + suffix.size() || line.substr(0, prefix.size()) != prefix ||
        line.substr(line.size() - suffix.size()) != suffix)
        return std::nullopt;
    const std::string_view number = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
    const std::size_t point = number.find('.');
    if (point == 0 || point == std::string_view::npos || number.size() - point - 1 != decimals)
        return std::nullopt;
    for (std::size_t i = 0; i < number.size(); ++i)
        if (i != point && !is_digit(number[i])) return std::nullopt;
    return std::strtod(std::string(number).c_str(), nullptr);
}

}  // namespace corvane
