// Where corvane-bench finds the programs it runs besides the five: its
// helpers (corvane-kernels, corvane-team-probe, corvane-mpi-version) and
// tools on PATH (mpiexec, gnuplot). One rule for every helper.
#pragma once

#include <string>
#include <vector>

namespace corvane::bench {

// The full path of an executable found on PATH, or an empty string.
std::string find_on_path(const std::string& program);

// The directory corvane-bench itself is in.
std::string own_directory();

// A regular file this process may execute.
bool is_executable_file(const std::string& path);

// The first of `names` that is not an executable file in `dir`, or an
// empty string when all of them are.
std::string first_missing_program(const std::string& dir, const std::vector<std::string>& names);

// A file (a hostfile) this process may read.
bool is_readable(const std::string& path);

// Where an installed corvane-bench keeps its helpers (libexec/corvane), found
// from its own directory so that a moved or unpacked tree still works.
std::string installed_helper_directory();

// The helper `name`: in `beside` (the build tree keeps everything in bin/),
// then in the helper directory relative to it (../libexec/corvane when
// installed), then on PATH; an empty string where it is in none of them.
std::string find_helper(const std::string& name, const std::string& beside);

}  // namespace corvane::bench
