#include "bench/run/kernel_figures.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "bench/base/error.hpp"
#include "bench/base/text.hpp"
#include "bench/machine/helper_programs.hpp"

namespace corvane::bench {

namespace {

using json = nlohmann::json;

// "four_lane/avx512/newton/threads:2/manual_time" -> name and 2.
std::pair<std::string, int> split_name(std::string name) {
    const std::string manual_time = "/manual_time", threads_marker = "/threads:";
    if (name.size() > manual_time.size() &&
        name.compare(name.size() - manual_time.size(), manual_time.size(), manual_time) == 0)
        name.resize(name.size() - manual_time.size());
    const auto marker = name.rfind(threads_marker);
    if (marker == std::string::npos) return {name, 1};
    const std::string digits = name.substr(marker + threads_marker.size());
    char* end = nullptr;
    errno = 0;
    const long threads = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || errno == ERANGE || threads < 1 || threads > INT_MAX)
        return {name, 1};
    return {name.substr(0, marker), static_cast<int>(threads)};
}

struct measured {
    std::vector<double> ns_per_term, vs_floor;
    std::optional<kernel_figure> median;  // Google Benchmark's own median aggregate
};

}  // namespace

std::vector<kernel_figure> read_kernel_figures(const std::string& text, const std::string& source) try {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& e) {
        throw bench_error(source + " is not valid JSON: error at byte " + std::to_string(e.byte));
    }
    const auto fail = [&source](const std::string& where, const std::string& problem) {
        throw bench_error(source + ": " + where + " " + problem);
    };
    if (!document.is_object() || !document.contains("benchmarks") || !document["benchmarks"].is_array())
        throw bench_error(source + " is not Google Benchmark JSON (no benchmarks array)");
    const auto positive = [&fail](const json& entry, const char* field, const std::string& where) {
        const auto found = entry.find(field);
        if (found == entry.end()) return std::optional<double>();
        if (!found->is_number() || !(found->get<double>() > 0))
            fail(where + "." + field, "is not a number above zero");
        return std::optional<double>(found->get<double>());
    };

    std::vector<std::pair<std::string, int>> order;  // as first seen
    std::map<std::pair<std::string, int>, measured> by_kernel;
    const json& benchmarks = document["benchmarks"];
    for (std::size_t i = 0; i < benchmarks.size(); ++i) {
        const json& entry = benchmarks[i];
        const std::string where = "benchmarks[" + std::to_string(i) + "]";
        if (!entry.is_object()) fail(where, "is not an object");
        const auto name_field = entry.contains("run_name") ? "run_name" : "name";
        if (!entry.contains(name_field) || !entry[name_field].is_string())
            fail(where + ".name", "is missing or not a string");
        if (entry.value("error_occurred", false))
            fail(where,
                 "is a benchmark that failed: " + entry.value("error_message", std::string("no reason")));
        const auto key = split_name(entry[name_field].get<std::string>());
        const std::string run_type = entry.value("run_type", std::string("iteration"));
        if (run_type == "aggregate" && entry.value("aggregate_name", std::string()) != "median") continue;
        const auto ns = positive(entry, "ns_per_term", where);
        if (!ns) fail(where + ".ns_per_term", "is missing: not a corvane-kernels benchmark");
        const auto vs = positive(entry, "vs_floor", where);
        if (!by_kernel.count(key)) order.push_back(key);
        measured& figures = by_kernel[key];
        if (run_type == "aggregate") {
            figures.median = kernel_figure{key.first, key.second, *ns, vs};
        } else {
            figures.ns_per_term.push_back(*ns);
            if (vs) figures.vs_floor.push_back(*vs);
        }
    }
    if (order.empty()) throw bench_error(source + " holds no benchmarks");

    std::vector<kernel_figure> kernels;
    for (const auto& key : order) {
        const measured& figures = by_kernel[key];
        if (figures.median) {
            kernels.push_back(*figures.median);
            continue;
        }
        kernel_figure figure{key.first, key.second, median_of(figures.ns_per_term), std::nullopt};
        if (!figures.vs_floor.empty()) figure.vs_floor = median_of(figures.vs_floor);
        kernels.push_back(figure);
    }
    return kernels;
} catch (const json::exception& e) {
    // Numbers beyond a double, or a field of an unexpected type, that the
    // checks above did not name.
    throw bench_error(source + ": not a file this reads (" + e.what() + ")");
}

std::string find_kernels_program(const std::string& own_dir) {
    const std::string found = find_helper("corvane-kernels", own_dir);
    if (found.empty())
        throw bench_error(
            "--kernels needs corvane-kernels, which is not beside corvane-bench, in ../libexec/corvane or "
            "on PATH (it is built where Google Benchmark, Debian libbenchmark-dev, is found)");
    return found;
}

std::vector<kernel_figure> measure_kernels(const std::string& program, const program_runner& run) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string path = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/corvane-kernels-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0)
        throw bench_error(
            "cannot make a temporary file for corvane-kernels: " + std::string(std::strerror(errno)),
            not_written);
    close(fd);
    process::run_options options;
    options.timeout_s = kernels_timeout_s;
    const process::program_run done =
        run({program, "--benchmark_out=" + path, "--benchmark_out_format=json"}, options);
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    unlink(path.c_str());
    if (done.interrupted_by) return {};
    const std::string why =
        !done.failure.empty() ? done.failure
        : done.timed_out
            ? "it did not finish in " + std::to_string(static_cast<int>(kernels_timeout_s)) + " s"
        : done.signal           ? "it was ended by signal " + std::to_string(done.signal)
        : done.exit_status != 0 ? "it exited " + std::to_string(done.exit_status) +
                                      (done.err.empty() ? "" : ": " + first_line(done.err))
                                : "";
    if (!why.empty()) throw bench_error(program + " failed: " + printable(why), not_written);
    try {
        return read_kernel_figures(text.str(), "the JSON output of " + program);
    } catch (const bench_error& e) {
        throw bench_error(e.what(), not_written);
    }
}

}  // namespace corvane::bench
