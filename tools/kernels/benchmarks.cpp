#include "tools/kernels/benchmarks.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "core/corvane.hpp"
#include "core/kernels.hpp"
#include "tools/kernels/command_line.hpp"
#include "tools/kernels/plain_loops.hpp"
#include "tools/kernels/scalar_loops.hpp"

namespace corvane::kernels {

const char benchmarks_usage[] = R"(
Google Benchmark's own --benchmark_* flags work with the benchmarks, e.g.
--benchmark_filter=REGEX, --benchmark_repetitions=N, --benchmark_min_time=S,
--benchmark_format=console|json|csv, --benchmark_out=FILE,
--benchmark_out_format=console|json|csv, --benchmark_list_tests.
--json FILE is --benchmark_out=FILE --benchmark_out_format=json.
Exit status: 0 done; 1 a term differs (--verify) or a report was not
written; 2 a usage problem.
)";

namespace {

constexpr std::int32_t terms_per_iteration = 1 << 24;

using range_sum = std::function<double(std::int32_t first, std::int32_t count)>;

// Floors measured so far in this run, by name and thread count
// ("addition_chain/1"). Kernels are registered after the floors they are
// compared with, and Google Benchmark runs in order.
using floor_table = std::map<std::string, double>;

double addition_chain(std::int32_t first, std::int32_t count) {
    double sum = 0.0;
    const double increment = step * first;  // not a constant the compiler can fold
    for (std::int32_t k = 0; k < count; ++k) sum += increment;
    return sum;
}

// Two-wide vectors, native on every x86-64 processor: a four-wide one would
// be split by the compiler, sometimes through memory, and measure that.
typedef double two_wide __attribute__((vector_size(16)));

double four_lane_chain(std::int32_t first, std::int32_t count) {
    two_wide low = {}, high = two_wide{} + 1.0;  // L0 L1, L2 L3: distinct, so not merged
    const two_wide increment = two_wide{} + step * first;
    for (std::int32_t k = 0; k < count / 8; ++k) {
        low += increment;
        high += increment;
        low += increment;
        high += increment;
    }
    return (low[0] + high[0]) + (low[1] + high[1]);
}

// The fastest exact evaluation measured so far on this many threads.
double fastest_evaluation(const floor_table& floors, const std::string& threads) {
    double fastest = 0.0;
    for (const auto& [name, ns] : floors)
        if (name.rfind("evaluation/", 0) == 0 && name.size() > threads.size() &&
            name.compare(name.size() - threads.size(), threads.size(), threads) == 0)
            fastest = fastest == 0.0 ? ns : std::min(fastest, ns);
    return fastest;
}

// What one benchmark is compared with, and under which name its own time
// is kept as a floor for the later ones.
struct comparison {
    std::string floor_name;  // "four_lane" compares with both of that order's floors
    std::string record_as;   // empty: not a floor
};

// One parallel region per iteration, each thread summing its static block,
// as the OpenMP programs do.
void measure(benchmark::State& state, const range_sum& body, int threads, const comparison& against,
             floor_table& floors) {
    double elapsed = 0.0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        double total = 0.0;
#pragma omp parallel num_threads(threads) reduction(+ : total)
        {
            const block mine =
                static_block(1000, terms_per_iteration, omp_get_num_threads(), omp_get_thread_num());
            total += body(mine.first, mine.count);
        }
        benchmark::DoNotOptimize(total);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.SetIterationTime(seconds);
        elapsed += seconds;
    }
    const double ns = elapsed * 1e9 / (static_cast<double>(state.iterations()) * terms_per_iteration);
    state.counters["ns_per_term"] = ns;
    const std::string t = "/" + std::to_string(threads);
    if (!against.record_as.empty()) floors[against.record_as + t] = ns;
    // A floor left out by --benchmark_filter gives no counter, not infinity.
    if (against.floor_name == "four_lane") {
        const auto chain = floors.find("four_lane_chain" + t);
        const double evaluation = fastest_evaluation(floors, t);
        if (chain != floors.end()) state.counters["vs_chain"] = ns / chain->second;
        if (evaluation > 0.0) state.counters["vs_evaluation"] = ns / evaluation;
        if (chain != floors.end() && evaluation > 0.0)
            state.counters["vs_floor"] = ns / std::max(chain->second, evaluation);
    } else if (floors.count(against.floor_name + t)) {
        state.counters["vs_floor"] = ns / floors[against.floor_name + t];
    }
}

void register_all(const std::shared_ptr<floor_table>& floors) {
    const auto add = [&floors](const std::string& name, range_sum body, int threads,
                               const comparison& against) {
        benchmark::RegisterBenchmark(
            (name + "/threads:" + std::to_string(threads)).c_str(),
            [=](benchmark::State& state) { measure(state, body, threads, against, *floors); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    };
    const std::vector<const kernel*> kernels = supported_kernels();
    for (int threads : {1, 2}) {
        add("floor/addition_chain", addition_chain, threads, {"", "addition_chain"});
        add("floor/four_lane_chain", four_lane_chain, threads, {"", "four_lane_chain"});
        for (const kernel* k : kernels)
            add("floor/evaluation/" + kernel_name(*k),
                [k](std::int32_t first, std::int32_t n) { return k->evaluation_floor(first, n, 0.0, step); },
                threads, {"", "evaluation/" + kernel_name(*k)});
        add("plain_strict", plain_strict, threads, {"addition_chain", ""});
        add("plain_four_lane", plain_four_lane, threads, {"four_lane", ""});
        add("scalar/strict", scalar_strict, threads, {"addition_chain", ""});
        add("scalar/four_lane", scalar_four_lane, threads, {"four_lane", ""});
        for (const kernel* k : kernels) {
            add("strict/" + kernel_name(*k),
                [k](std::int32_t first, std::int32_t n) { return k->strict(first, n, 0.0, step); }, threads,
                {"addition_chain", ""});
            add("four_lane/" + kernel_name(*k),
                [k](std::int32_t first, std::int32_t n) { return k->four_lane(first, n, 0.0, step); },
                threads, {"four_lane", ""});
        }
    }
}

}  // namespace

bool complete_json(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat file {};
    char tail[64];
    ssize_t got = 0;
    // The last bytes only: a whole document ends with '}' and white space.
    if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode)) {
        const off_t from = std::max<off_t>(0, file.st_size - static_cast<off_t>(sizeof tail));
        got = pread(fd, tail, sizeof tail, from);
    }
    close(fd);
    while (got > 0 && (tail[got - 1] == ' ' || tail[got - 1] == '\n')) --got;
    return got > 0 && tail[got - 1] == '}';
}

int run_benchmarks(const std::vector<std::string>& benchmark_flags, const std::string& json_path) {
    // --json FILE is Google Benchmark's own file output, named as people expect.
    std::vector<std::string> arguments = {"corvane-kernels"};
    if (!json_path.empty())
        arguments.insert(arguments.end(), {"--benchmark_out=" + json_path, "--benchmark_out_format=json"});
    arguments.insert(arguments.end(), benchmark_flags.begin(), benchmark_flags.end());
    std::vector<char*> pointers;
    for (auto& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, pointers.data());
    if (benchmark::ReportUnrecognizedArguments(count, pointers.data())) return usage_status;

    register_all(std::make_shared<floor_table>());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!json_path.empty() && !complete_json(json_path))
        throw tool_error(json_path + " was not written completely", 1);
    return 0;
}

}  // namespace corvane::kernels
