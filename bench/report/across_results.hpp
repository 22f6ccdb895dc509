// The report across results: `corvane-bench report a.json b.json ...` puts
// saved results of any number of machines or builds side by side, as one
// HTML page (html.cpp) or as Markdown (markdown.cpp). Both read the typed
// model only; every text taken from a result file is untrusted input and
// each format escapes it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/model/model.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

struct named_result {
    std::string name;  // the file it was read from
    suite_result result;
};

// The rows across results: every cell label in the order first seen, with
// each result's cell of that label (nullptr where it has none). Found
// through one index, so that tens of thousands of cells stay quick.
struct cells_of_label {
    std::string label;
    std::vector<const cell*> in;  // one per result
};
std::vector<cells_of_label> cells_across(const std::vector<named_result>& results);

// One result's figures of a cell, one per figure_columns entry (all "-"
// where the result has no such cell). The key names the figure in the page.
struct figure_column {
    const char* key;
    const char* heading;
};
inline constexpr figure_column figure_columns[] = {{"median", "median s"}, {"mad", "MAD"},
                                                   {"valid", "valid"},     {"parallelism", "CPU ÷ wall"},
                                                   {"speedup", "speedup"}, {"ci", "95% CI"}};
std::vector<std::string> cell_figures(const cell* c);

// corvane-kernels' figures: kernel, threads, ns/term, times its floor.
table kernel_rows(const std::vector<kernel_figure>& kernels);

// corvane-kernels' figures saved on their own (its --json file), shown in
// "what SIMD buys" beside those the results hold.
struct named_kernels {
    std::string name;  // the file they were read from
    std::vector<kernel_figure> figures;
};

// The Markdown, from one set of pieces (markdown.cpp): `report`'s document
// across results, and a run's --markdown export, which is that run's table
// and what its marks mean, without the document around them.
std::string markdown_report(const std::vector<named_result>& results,
                            const std::vector<named_kernels>& kernels = {});
std::string markdown_results(const suite_result& result);

}  // namespace corvane::bench
