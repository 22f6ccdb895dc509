// Reading saved results: a file read whole, up to the size a result can
// reach, and a results file checked field by field against the tables of
// report/json_fields.hpp, every schema version from 1 on.
#pragma once

#include <string>

#include "bench/model/model.hpp"

namespace corvane::bench {

// A saved file whole, up to the size a result can reach; throws bench_error.
std::string read_result_file(const std::string& path);

// Reads a result file whole, validating the schema, and evaluates its
// cells; throws bench_error naming the file and, where one is at fault, the
// field.
suite_result read_result(const std::string& path);

}  // namespace corvane::bench
