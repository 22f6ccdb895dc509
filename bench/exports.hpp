// Writing the exports as one set: every text is rendered first, each file
// goes to a temporary file in its target's directory, and only when all are
// written are they renamed into place. A failure leaves no new export.
#pragma once

#include <string>
#include <vector>

namespace corvane::bench {

struct export_file {
    std::string option;  // --json, --csv, ...: for messages
    std::string path;    // "-" is standard output
    std::string text;
};

// Usage problems, found before any run: the same path for two exports, a
// directory as a target, a directory that cannot be written. Touches no
// file. An empty string if there are none.
std::string check_exports(const std::vector<export_file>& files);

// Writes every file or none; returns an empty string or the reason none
// was written. An existing symbolic link is followed (its target is
// replaced, the link stays); a target that is not a regular file (a FIFO,
// /dev/stdout) is written directly, after all the rest is in place;
// "-" goes to standard output last.
std::string write_exports(const std::vector<export_file>& files);

// Whether an export goes to standard output.
bool any_to_stdout(const std::vector<export_file>& files);

}  // namespace corvane::bench
