#include "bench/report/writer.hpp"

#include "bench/error.hpp"
#include "bench/report/exports.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

namespace {

std::vector<export_file> files_of(const std::vector<export_request>& exports) {
    std::vector<export_file> files;
    for (const auto& e : exports) files.push_back({option_of(e.format), e.path, ""});
    return files;
}

}  // namespace

void check_export_paths(const std::vector<export_request>& exports) {
    if (const std::string problem = check_exports(files_of(exports)); !problem.empty())
        throw bench_error(problem);
}

bool exports_to_stdout(const std::vector<export_request>& exports) {
    return any_to_stdout(files_of(exports));
}

void write_exports(const std::vector<export_request>& exports, const suite_result& result) {
    std::vector<std::string> texts;
    try {
        for (const auto& e : exports) texts.push_back(render(e.format, result));
    } catch (const bench_error& e) {
        throw bench_error(std::string("results not written: ") + e.what(), not_written);
    }
    write_texts(exports, texts);
}

void write_texts(const std::vector<export_request>& exports, const std::vector<std::string>& texts) {
    std::vector<export_file> files = files_of(exports);
    for (std::size_t i = 0; i < files.size(); ++i) files[i].text = texts[i];
    const export_outcome written = write_exports(files);
    // Interrupted, nothing replaced; unless putting back failed, which is said.
    if (written.interrupted_by)
        throw bench_error(written.problem.empty() ? "" : "interrupted, and " + written.problem,
                          128 + written.interrupted_by);
    if (!written.problem.empty()) throw bench_error("results not written: " + written.problem, not_written);
}

}  // namespace corvane::bench
