// Each program's own build, from the record compiled into its executable
// (cmake/build_record.cpp.in). It is found by its marker among the file's
// bytes, so ELF and PE files alike, and never by running the program, which
// reads no arguments.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bench/model/model.hpp"

namespace corvane::bench {

inline constexpr std::string_view build_record_marker = "CORVANE-BUILD-RECORD v1\n";
// A record is a few hundred bytes; one longer than this, its marker and end
// included, is not one.
inline constexpr std::size_t longest_build_record = 4096;
// The record is among a program's constants, near its start; a file is
// searched this far and no further, so that a huge or sparse file named as
// a program costs a moment, not minutes.
inline constexpr std::size_t build_record_search_bytes = std::size_t{64} << 20;

// A field of a build, by the name a warning or compare gives it. The
// record's own keys are those of the results file (report/json_fields.hpp).
struct build_field {
    const char* name;
    std::string program_build::*value;
};
// The same for every program of one build: what neighbours must share.
inline constexpr build_field shared_build_fields[] = {
    {"compiler", &program_build::compiler},         {"flags", &program_build::flags},
    {"build type", &program_build::build_type},     {"commit", &program_build::commit},
    {"kernel paths", &program_build::kernel_paths},
};
// What two results must share to have timed the same code; the commit may
// differ, since telling commits apart is what compare is for.
inline constexpr build_field compared_build_fields[] = {
    {"compiler", &program_build::compiler},
    {"flags", &program_build::flags},
    {"build type", &program_build::build_type},
    {"kernel paths", &program_build::kernel_paths},
    {"OpenMP runtime", &program_build::openmp_runtime},
    {"MPI library", &program_build::mpi_library},
};

// The first record in `bytes`, or a build whose `unknown` says why there is
// none: no marker, no end within longest_build_record, or a malformed line.
program_build parse_build_record(std::string_view bytes);

// The record in an executable file, read a chunk at a time, within its
// first build_record_search_bytes.
program_build read_build_record(const std::string& path);

// The builds of `programs` in `bin_dir`.
std::map<std::string, program_build> read_program_builds(const std::string& bin_dir,
                                                         const std::vector<std::string>& programs);

// Built as Debug, or with no optimisation level or -O0 as the last one.
bool unoptimised(const program_build& build);

// Warnings before the figures: a program without a record, one whose
// record names another program, one built unoptimised, and builds that
// differ from their neighbours'.
std::vector<std::string> build_warnings(const std::map<std::string, program_build>& builds);

}  // namespace corvane::bench
