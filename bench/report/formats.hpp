// The export formats as one table (formats.cpp): each entry carries its
// option, its --help text and its renderers. The run's exports
// (write/output.cpp) and `corvane-bench report` (main.cpp) both look the
// renderer up here, so a format is added in one place.
#pragma once

#include <string>
#include <vector>

#include "bench/report/across_results.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

struct format_entry {
    export_format format;
    const char* option;  // "--json", ...
    const char* help;    // what --help says of it
    // The run's export. Where drawn_by_gnuplot, this is the gnuplot script
    // and write/ runs gnuplot on it: a reporter runs no program.
    std::string (*of_run)(const suite_result& result);
    bool drawn_by_gnuplot;
    // `report`'s, across saved results; null for a format `report` does not
    // offer (its command line takes only those that have one).
    std::string (*of_results)(const std::vector<named_result>& results,
                              const std::vector<named_kernels>& kernels);
};

const format_entry& format_of(export_format format);

}  // namespace corvane::bench
