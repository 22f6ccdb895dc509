// What corvane-kernels asks of the operating system, one function each, so
// that the tools themselves read the same on every system
// (system_linux.cpp, system_windows.cpp).
#pragma once

#include <string>

namespace corvane::kernels {

// This program's own file, for the fresh processes of --plan --repeat.
// Throws tool_error if the system cannot say.
std::string own_program_path();

// The processor time this process has used, in milliseconds: a busy
// machine may stop the process for whole time slices, which the wall
// clock counts.
double processor_time_ms();

// Keeps this process, and the processes it starts, on the processor it
// runs on now: that processor's number, or -1 if it could not.
int pin_to_current_processor();

enum class file_kind { none, regular, other, unknown };

// What `path` names: nothing, a regular file, something else (a directory,
// a device), or, if the system cannot say, `unknown` with its reason in
// `why`.
file_kind kind_of_file(const std::string& path, std::string& why);

// Whether `path` names the file standard output writes to.
bool is_standard_output(const std::string& path);

}  // namespace corvane::kernels
