// Text helpers every layer may use: untrusted bytes made printable, numbers
// as the tables show them, and the first line of a program's output.
#pragma once

#include <string>

namespace corvane::bench {

// A program's output is data: bytes that are not printable UTF-8 (control
// characters, escape sequences, invalid sequences) become \xNN, and so do
// the bytes of invisible format characters (bidirectional overrides such as
// U+202E, zero-width characters, U+FEFF).
std::string printable(const std::string& text);

// A number as one printf conversion of a double writes it ("%.3f s",
// "%g%%"): the one way figures become text, in tables, warnings and notes
// alike. A value that is not finite is no figure and reads "-" (an open
// interval's end is shown by its reporter, as "inf").
std::string formatted(const char* format, double value);

// A number with this many decimals, as every table shows it.
std::string fixed(double value, int decimals);

// The text up to its first newline.
std::string first_line(const std::string& text);

}  // namespace corvane::bench
