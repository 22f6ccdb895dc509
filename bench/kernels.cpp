// corvane-kernels: each summation kernel next to the floor its order allows,
// measured in the same run, on one thread and on two.
//
// floors:  addition_chain   one dependent double addition per term: no
//                           strict-order sum can be faster
//          evaluation/PATH  terms into independent vector accumulators: no
//                           order can evaluate its terms faster on PATH
// kernels: strict/PATH, four_lane/PATH   what the programs run
//          plain_strict, plain_four_lane the obvious scalar loops
// Counters: ns_per_term (wall clock, all threads' terms), vs_floor.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "corvane.hpp"
#include "kernels.hpp"

using namespace corvane;

namespace {

constexpr std::int32_t terms_per_iteration = 1 << 24;

using range_sum = std::function<double(std::int32_t first, std::int32_t count)>;

// Floors measured so far in this run, by name; kernels are registered after
// the floors they are compared with, and Google Benchmark runs in order.
std::map<std::string, double> floor_ns;

double plain_strict(std::int32_t first, std::int32_t count) {
    double sum = 0.0;
    for (std::int32_t k = first; k < first + count; ++k) {
        const double x = (k + 0.5) * step;
        sum += 4.0 / (1.0 + x * x);
    }
    return sum;
}

double plain_four_lane(std::int32_t first, std::int32_t count) {
    double l0 = 0.0, l1 = 0.0, l2 = 0.0, l3 = 0.0;
    std::int32_t k = first;
    for (; k + 8 <= first + count; k += 8) {
        double t[8];
        for (int j = 0; j < 8; ++j) {
            const double x = (k + j + 0.5) * step;
            t[j] = 4.0 / (1.0 + x * x);
        }
        l0 += t[0]; l1 += t[1]; l2 += t[2]; l3 += t[3];
        l0 += t[4]; l1 += t[5]; l2 += t[6]; l3 += t[7];
    }
    double result = (l0 + l2) + (l1 + l3);
    for (; k < first + count; ++k) {
        const double x = (k + 0.5) * step;
        result += 4.0 / (1.0 + x * x);
    }
    return result;
}

double addition_chain(std::int32_t first, std::int32_t count) {
    double sum = 0.0;
    const double increment = step * first;  // not a constant the compiler can fold
    for (std::int32_t k = 0; k < count; ++k) sum += increment;
    return sum;
}

// One parallel region per iteration, each thread summing its static block,
// as the OpenMP programs do.
void measure(benchmark::State& state, const range_sum& body, int threads,
             const std::string& floor_name, const std::string& record_as) {
    double elapsed = 0.0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        double total = 0.0;
#pragma omp parallel num_threads(threads) reduction(+ : total)
        {
            const block mine = static_block(1000, terms_per_iteration, omp_get_num_threads(),
                                            omp_get_thread_num());
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
    if (!record_as.empty()) floor_ns[record_as] = ns;
    if (floor_ns.count(floor_name)) state.counters["vs_floor"] = ns / floor_ns[floor_name];
}

void add(const std::string& name, range_sum body, int threads, const std::string& floor_name,
         const std::string& record_as = "") {
    benchmark::RegisterBenchmark(
        (name + "/threads:" + std::to_string(threads)).c_str(),
        [=](benchmark::State& state) { measure(state, body, threads, floor_name, record_as); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    set_step();
    benchmark::Initialize(&argc, argv);

    const kernel_path* paths[max_kernel_paths];
    const int path_count = supported_paths(paths);
    const std::string widest = paths[path_count - 1]->name;

    for (int threads : {1, 2}) {
        const std::string t = "/" + std::to_string(threads);
        add("floor/addition_chain", addition_chain, threads, "", "addition" + t);
        for (int p = 0; p < path_count; ++p) {
            const kernel_path& path = *paths[p];
            add(std::string("floor/evaluation/") + path.name,
                [&path](std::int32_t first, std::int32_t count) {
                    return path.evaluation_floor(first, count, 0.0, step);
                },
                threads, "", std::string("evaluation/") + path.name + t);
        }
        add("plain_strict", plain_strict, threads, "addition" + t);
        add("plain_four_lane", plain_four_lane, threads, "evaluation/" + widest + t);
        for (int p = 0; p < path_count; ++p) {
            const kernel_path& path = *paths[p];
            add(std::string("strict/") + path.name,
                [&path](std::int32_t first, std::int32_t count) {
                    return path.strict(first, count, 0.0, step);
                },
                threads, "addition" + t);
            add(std::string("four_lane/") + path.name,
                [&path](std::int32_t first, std::int32_t count) {
                    return path.four_lane(first, count, 0.0, step);
                },
                threads, std::string("evaluation/") + path.name + t);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
