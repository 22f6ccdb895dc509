#include "bench/write/output.hpp"

#include "bench/base/error.hpp"
#include "bench/base/text.hpp"
#include "bench/machine/helper_programs.hpp"
#include "bench/report/formats.hpp"
#include "bench/write/file_commit.hpp"
#include "process/process.hpp"

namespace corvane::bench {

namespace {

std::vector<pending_file> files_of(const std::vector<export_request>& exports) {
    std::vector<pending_file> files;
    for (const auto& e : exports) files.push_back({option_of(e.format), e.path, ""});
    return files;
}

}  // namespace

void check_export_paths(const std::vector<export_request>& exports, const std::vector<std::string>& inputs) {
    // Standard output closed from the start cannot take the results: they
    // are not written, before any run is spent on them.
    if (const std::string problem = closed_target(files_of(exports)); !problem.empty())
        throw bench_error("results not written: " + problem, not_written);
    if (const std::string problem = check_targets(files_of(exports), inputs); !problem.empty())
        throw bench_error(problem);
}

bool exports_to_stdout(const std::vector<export_request>& exports) {
    return any_to_stdout(files_of(exports));
}

std::string render(export_format format, const suite_result& result) {
    const format_entry& entry = format_of(format);
    const std::string text = entry.of_run(result);
    return entry.drawn_by_gnuplot ? render_svg(find_on_path("gnuplot"), text) : text;
}

std::string render_svg(const std::string& gnuplot, const std::string& script) {
    process::run_options options;
    options.input = script;
    options.timeout_s = 60;
    const auto run = process::run_program(gnuplot, {}, options);
    if (!run.failure.empty() || run.timed_out || run.exit_status != 0 ||
        run.out.find("</svg>") == std::string::npos) {
        const std::string why = !run.failure.empty() ? run.failure
                                : run.timed_out      ? "it did not finish in a minute"
                                                     : first_line(run.err);
        throw bench_error("gnuplot could not draw the plot: " + printable(why), not_written);
    }
    return run.out;
}

void write_results(const std::vector<export_request>& exports, const suite_result& result) {
    std::vector<std::string> texts;
    try {
        for (const auto& e : exports) texts.push_back(render(e.format, result));
    } catch (const bench_error& e) {
        throw bench_error(std::string("results not written: ") + e.what(), not_written);
    }
    write_texts(exports, texts);
}

void write_texts(const std::vector<export_request>& exports, const std::vector<std::string>& texts) {
    std::vector<pending_file> files = files_of(exports);
    for (std::size_t i = 0; i < files.size(); ++i) files[i].text = texts[i];
    const commit_outcome written = commit_files(files);
    // Interrupted, nothing replaced; unless putting back failed, which is said.
    if (written.interrupted_by && !written.problem.empty())
        throw bench_error("interrupted, and " + written.problem, 128 + written.interrupted_by);
    if (written.interrupted_by) throw interrupted{written.interrupted_by};
    if (!written.problem.empty()) throw bench_error("results not written: " + written.problem, not_written);
}

}  // namespace corvane::bench
