#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "build_info.hpp"
#include "harness.hpp"

extern char** environ;

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

std::string validate(const process::program_run& run) {
    if (run.signal != 0) return "killed by signal " + std::to_string(run.signal);
    if (run.exit_status != 0) return "exit status " + std::to_string(run.exit_status);
    const auto lines = process::lines_of(run.out);
    if (lines.size() != 2 || run.out.empty() || run.out.back() != '\n')
        return "expected two lines, got " + std::to_string(lines.size()) +
               (run.out.empty() || run.out.back() == '\n' ? "" : " (no final newline)");
    if (lines[0] != "The value of PI is  3.141592653590") return "wrong value line: " + lines[0];
    static const std::regex time_line("The time to calculate PI was [0-9]+\\.[0-9]{6} seconds");
    if (!std::regex_match(lines[1], time_line)) return "malformed time line: " + lines[1];
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
        r.unstable = r.valid_runs > 1 && r.reported.cv >= unstable_cv;
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

std::vector<int> default_threads(int cores) {
    std::vector<int> threads{1};
    for (int t = 2; t < cores; t *= 2) threads.push_back(t);
    if (cores > 1) threads.push_back(cores);
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
        const bool digits = !item.empty() && item.size() <= 6 &&
                            std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::stoi(item) < 1)
            throw std::invalid_argument(option + ": '" + item + "' is not a positive integer");
        threads.push_back(std::stoi(item));
    }
    if (!any || list.back() == ',')
        throw std::invalid_argument(option + ": '" + list + "' is not a comma-separated list of positive integers");
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

void run_suite(const suite_options& options, std::vector<cell>& cells,
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
                     << (warming ? ": warm-up " + std::to_string(round + 1) + " of " + std::to_string(options.warmup)
                                 : ": run " + std::to_string(round - options.warmup + 1) + " of " + std::to_string(options.runs));
                progress(note.str());
            }
            auto env = options.env;
            if (c.threads) env.emplace_back("OMP_NUM_THREADS", std::to_string(*c.threads));
            const std::string path = options.bin_dir + "/" + c.program;
            auto command = c.ranks ? options.mpiexec : std::vector<std::string>{path};
            if (c.ranks) command.insert(command.end(), {"-n", std::to_string(*c.ranks), path});
            const auto run = process::run_program(command[0], {command.begin() + 1, command.end()}, env);
            if (warming) continue;
            sample s;
            s.reason = validate(run);
            s.valid = s.reason.empty();
            s.wall_s = run.wall_seconds;
            if (s.valid) s.reported_s = process::reported_seconds(process::lines_of(run.out)[1]);
            c.samples.push_back(s);
        }
    }
}

std::string find_on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
    return "";
}

launcher find_mpiexec(int most_ranks, int cores) {
    launcher found;
    const std::string path = find_on_path("mpiexec");
    if (path.empty()) return found;
    const auto version = process::run_program(path, {"--version"});
    found.open_mpi = version.out.find("Open MPI") != std::string::npos ||
                     version.out.find("OpenRTE") != std::string::npos;
    found.command = {path};
    if (found.open_mpi) {
        found.command.insert(found.command.end(), {"--bind-to", "none"});
        if (most_ranks > cores) found.command.push_back("--oversubscribe");
    }
    return found;
}

namespace {

std::string processor_model() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            std::string model = line.substr(line.find(':') + 1);
            model.erase(0, model.find_first_not_of(' '));
            return model;
        }
    }
    return "unknown";
}

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

nlohmann::json context_of(const suite_options& options) {
    // What the programs see: the harness's own OMP_* settings, then --env.
    std::map<std::string, std::string> omp;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        if (text.rfind("OMP_", 0) == 0 && text.find('=') != std::string::npos)
            omp[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
    }
    nlohmann::json env = nlohmann::json::object();
    for (const auto& [name, value] : options.env) {
        env[name] = value;
        if (name.rfind("OMP_", 0) == 0) omp[name] = value;
    }
    omp.erase("OMP_NUM_THREADS");  // set per cell from --threads
    return {
        {"processor", processor_model()},
        {"logical_cores", std::thread::hardware_concurrency()},
        {"compiler", build_info::compiler},
        {"flags", build_info::flags},
        {"build_type", build_info::build_type},
        {"openmp_runtime", build_info::openmp_runtime},
        {"omp_variables", omp},
        {"env", env},
        {"threads", options.threads},
        {"runs", options.runs},
        {"warmup", options.warmup},
        {"version", build_info::version},
        {"commit", build_info::commit},
        {"date", utc_now()},
    };
}

void check_writable(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        throw std::runtime_error("cannot write " + path + ": it is a directory");
    const std::string probe = path + ".corvane-check";
    std::FILE* file = std::fopen(probe.c_str(), "w");
    if (!file) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    std::fclose(file);
    std::remove(probe.c_str());
}

void write_whole(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp-XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    // mkstemp makes the file private; give it the mode any new file would get.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temporary.c_str());
        throw std::runtime_error("cannot write " + path + ": " + reason);
    }
}

nlohmann::json read_result(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    nlohmann::json result;
    try {
        in >> result;
    } catch (const nlohmann::json::exception&) {
        throw std::runtime_error(path + " is not valid JSON");
    }
    if (!result.is_object() || result.value("schema_version", 0) != 1 ||
        !result.contains("cells") || !result["cells"].is_array())
        throw std::runtime_error(path + " is not a corvane-bench result (schema version 1)");
    for (const auto& c : result["cells"]) {
        if (!c.is_object() || !c.contains("program") || !c["program"].is_string() ||
            !c.contains("threads") || !(c["threads"].is_null() || c["threads"].is_number_integer()) ||
            !c.contains("samples") || !c["samples"].is_array())
            throw std::runtime_error(path + " has a malformed cell");
        for (const auto& s : c["samples"])
            if (!s.is_object() || !s.contains("reported_s") ||
                !(s["reported_s"].is_number() || s["reported_s"].is_null()) ||
                !s.contains("valid") || !s["valid"].is_boolean())
                throw std::runtime_error(path + " has a malformed sample");
    }
    return result;
}

}  // namespace corvane::bench
