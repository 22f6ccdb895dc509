// The two lines every program prints, spelled once: the driver prints with
// these formats, and corvane-bench and the tests read the lines back with
// the functions below.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

inline constexpr char value_line_format[] = "The value of PI is %15.12f\n";
inline constexpr char time_line_format[] = "The time to calculate PI was %f seconds\n";

// The lines as printed, without the newline.
std::string value_line(double pi);
std::string time_line(double seconds);

// The value line every correct run prints: pi to twelve decimals.
std::string expected_value_line();

// The seconds of a time line exactly in the programs' format (digits, a
// point and six decimals), or nothing. One pass over the line, however long.
std::optional<double> parse_time_line(std::string_view line);

}  // namespace corvane
