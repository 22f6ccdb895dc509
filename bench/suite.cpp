#include "bench/suite.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace corvane::bench {

const std::vector<program_info>& known_programs() {
    static const std::vector<program_info> programs = {
        {"corvane-serial", false, nullptr},
        {"corvane-serial-simd", false, "corvane-serial"},
        {"corvane-omp", true, "corvane-serial"},
        {"corvane-omp-simd", true, "corvane-serial-simd"},
        {"corvane-autopar", true, "corvane-serial-simd"},
        {"corvane-mpi", true, "corvane-serial-simd", true},
    };
    return programs;
}

const program_info* find_program(const std::string& name) {
    for (const auto& program : known_programs())
        if (name == program.name) return &program;
    return nullptr;
}

std::string printable(const std::string& text) {
    std::string out;
    const auto escape = [&out](unsigned char byte) {
        char code[5];
        std::snprintf(code, sizeof code, "\\x%02X", byte);
        out += code;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        std::size_t length = byte < 0x80                    ? 1
                             : byte >= 0xC2 && byte <= 0xDF ? 2
                             : byte >= 0xE0 && byte <= 0xEF ? 3
                             : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                            : 0;
        if (length == 0 || i + length > text.size()) length = 0;
        std::uint32_t point = length == 1 ? byte : byte & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) length = 0;
            point = point << 6 | (next & 0x3F);
        }
        const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
        const bool invalid = point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF);
        const bool control = point < 0x20 || (point >= 0x7F && point <= 0x9F);
        if (length == 0 || overlong || invalid || control) {
            escape(byte);
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

namespace {

// The first line the program wrote on standard error, as a hint.
std::string first_error_line(const std::string& err) {
    const auto lines = process::lines_of(err);
    if (lines.empty() || lines[0].empty()) return "";
    return ": " + printable(lines[0].substr(0, 200));
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

}  // namespace

double reported_seconds(const std::string& time_line) {
    double seconds = -1.0;
    std::sscanf(time_line.c_str(), "The time to calculate PI was %lf seconds", &seconds);
    return seconds;
}

std::string validate(const process::program_run& run, double timeout_s) {
    if (!run.failure.empty()) return printable(run.failure);
    if (run.timed_out) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", timeout_s);
        return "timed out after " + std::string(limit) + " s";
    }
    if (run.interrupted_by) return "interrupted by signal " + std::to_string(run.interrupted_by);
    if (run.signal != 0) return "killed by signal " + std::to_string(run.signal) + first_error_line(run.err);
    if (run.exit_status != 0)
        return "exit status " + std::to_string(run.exit_status) + first_error_line(run.err);
    const auto lines = process::lines_of(run.out);
    if (lines.size() != 2 || run.out.empty() || run.out.back() != '\n')
        return "expected two lines, got " + std::to_string(lines.size()) +
               (run.out.empty() || run.out.back() == '\n' ? "" : " (no final newline)");
    if (lines[0] != "The value of PI is  3.141592653590") return "wrong value line: " + printable(lines[0]);
    static const std::regex time_line("The time to calculate PI was [0-9]+\\.[0-9]{6} seconds");
    if (!std::regex_match(lines[1], time_line)) return "malformed time line: " + printable(lines[1]);
    // The program's clock may round up to the next tick, never further.
    const double reported = reported_seconds(lines[1]);
    if (reported > run.wall_seconds + clock_tick_s)
        return "reported " + seconds_text(reported) + ", longer than the process lived (" +
               seconds_text(run.wall_seconds) + ")";
    return "";
}

std::vector<cell_result> evaluate(const std::vector<cell>& cells) {
    std::vector<cell_result> results;
    std::map<std::string, double> serial_medians;
    for (const auto& c : cells) {
        cell_result r;
        std::vector<double> reported, wall;
        for (const auto& s : c.samples) {
            if (!s.valid) {
                ++r.invalid_runs;
                continue;
            }
            ++r.valid_runs;
            reported.push_back(s.reported_s);
            wall.push_back(s.wall_s);
        }
        r.reported = summarize(reported);
        r.wall = summarize(wall);
        r.unstable = r.valid_runs > 1 && r.reported.relative_mad > unstable_mad;
        if (!c.threads && r.valid_runs > 0) serial_medians[c.program] = r.reported.median;
        results.push_back(r);
    }
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const program_info* info = find_program(cells[i].program);
        if (!info || !info->baseline || results[i].valid_runs == 0) continue;
        const auto baseline = serial_medians.find(info->baseline);
        if (baseline == serial_medians.end()) continue;
        results[i].scaled = scale(baseline->second, results[i].reported.median, workers(cells[i]));
    }
    return results;
}

std::vector<int> default_threads(int cpus) {
    std::vector<int> threads{1};
    for (int t = 2; t < cpus; t *= 2) threads.push_back(t);
    if (cpus > 1) threads.push_back(cpus);
    return threads;
}

std::string cell_label(const cell& c) {
    return c.program + (c.ranks ? " ranks " + std::to_string(*c.ranks) : "") +
           (c.threads ? " threads " + std::to_string(*c.threads) : "");
}

std::optional<int> workers(const cell& c) {
    if (!c.threads) return std::nullopt;
    return *c.threads * c.ranks.value_or(1);
}

std::vector<int> parse_counts(const std::string& list, const std::string& option) {
    std::vector<int> threads;
    std::stringstream items(list);
    std::string item;
    bool any = false;
    while (std::getline(items, item, ',')) {
        any = true;
        const bool digits =
            !item.empty() && item.size() <= 6 &&
            std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::stoi(item) < 1)
            throw std::invalid_argument(option + ": '" + item + "' is not a positive integer");
        threads.push_back(std::stoi(item));
    }
    if (!any || list.back() == ',')
        throw std::invalid_argument(option + ": '" + list +
                                    "' is not a comma-separated list of positive integers");
    std::sort(threads.begin(), threads.end());
    threads.erase(std::unique(threads.begin(), threads.end()), threads.end());
    return threads;
}

std::vector<cell> make_cells(const suite_options& options) {
    std::vector<cell> cells;
    for (const auto& name : options.programs) {
        if (!find_program(name)->parallel) {
            cells.push_back({name, std::nullopt, {}, std::nullopt});
            continue;
        }
        for (int t : options.threads) cells.push_back({name, t, {}, std::nullopt});
    }
    for (int r : options.ranks)
        for (int t : options.threads) cells.push_back({"corvane-mpi", t, {}, r});
    return cells;
}

environment cell_environment(const suite_options& options, const cell& c) {
    environment env = options.env;
    if (c.ranks) env.insert(env.end(), options.mpiexec_env.begin(), options.mpiexec_env.end());
    if (c.threads) env.emplace_back("OMP_NUM_THREADS", std::to_string(*c.threads));
    return env;
}

int run_suite(const suite_options& options, std::vector<cell>& cells,
              const std::function<void(const std::string&)>& progress) {
    std::mt19937_64 random(options.seed);
    std::vector<std::size_t> order(cells.size());
    const int rounds = options.warmup + options.runs;
    int done = 0;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), random);
        const bool warming = round < options.warmup;
        for (std::size_t index : order) {
            cell& c = cells[index];
            if (progress) {
                std::ostringstream note;
                note << "[" << ++done << "/" << rounds * static_cast<int>(cells.size()) << "] "
                     << cell_label(c)
                     << (warming ? ": warm-up " + std::to_string(round + 1) + " of " +
                                       std::to_string(options.warmup)
                                 : ": run " + std::to_string(round - options.warmup + 1) + " of " +
                                       std::to_string(options.runs));
                progress(note.str());
            }
            const std::string path = options.bin_dir + "/" + c.program;
            auto command = c.ranks ? options.mpiexec : std::vector<std::string>{path};
            if (c.ranks) command.insert(command.end(), {"-n", std::to_string(*c.ranks), path});
            process::run_options run_options;
            run_options.env = cell_environment(options, c);
            run_options.timeout_s = options.timeout_s;
            const auto run =
                process::run_program(command[0], {command.begin() + 1, command.end()}, run_options);
            if (run.interrupted_by) return run.interrupted_by;
            if (warming) continue;
            sample s;
            s.reason = validate(run, options.timeout_s);
            s.valid = s.reason.empty();
            s.wall_s = run.wall_seconds;
            if (s.valid) s.reported_s = reported_seconds(process::lines_of(run.out)[1]);
            c.samples.push_back(s);
        }
    }
    return process::interrupted_by();
}

}  // namespace corvane::bench
