#include "bench/machine/placement.hpp"

#include <algorithm>
#include <sstream>

#include "bench/base/error.hpp"

namespace corvane::bench {

binding binding_named(const std::string& name) {
    for (binding bind : {binding::none, binding::close, binding::spread})
        if (name == binding_name(bind)) return bind;
    throw bench_error("--bind: '" + name + "' is not none, close or spread");
}

const char* binding_name(binding bind) {
    switch (bind) {
        case binding::close:
            return "close";
        case binding::spread:
            return "spread";
        default:
            return "none";
    }
}

std::vector<int> default_threads(int cpus) {
    std::vector<int> threads{1};
    for (int t = 2; t < cpus; t *= 2) threads.push_back(t);
    if (cpus > 1) threads.push_back(cpus);
    return threads;
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
            throw bench_error(option + ": '" + item + "' is not a positive integer");
        threads.push_back(std::stoi(item));
    }
    if (!any || list.back() == ',')
        throw bench_error(option + ": '" + list + "' is not a comma-separated list of positive integers");
    std::sort(threads.begin(), threads.end());
    threads.erase(std::unique(threads.begin(), threads.end()), threads.end());
    return threads;
}

namespace {

int usable_cores(const topology& machine, int usable_cpus) {
    return std::max(1,
                    std::min(machine.allowed_cores > 0 ? machine.allowed_cores : machine.cores, usable_cpus));
}

int usable_pus(const topology& machine, int usable_cpus) {
    return std::max(1, std::min(machine.pus, usable_cpus));
}

}  // namespace

std::vector<int> scan_threads(const topology& machine, int usable_cpus) {
    const int cores = usable_cores(machine, usable_cpus);
    std::vector<int> threads = default_threads(cores);
    if (machine.pus > machine.cores && usable_pus(machine, usable_cpus) > cores)
        threads.push_back(usable_pus(machine, usable_cpus));
    return threads;
}

std::vector<int> thread_list(const std::string& list, const std::optional<topology>& machine,
                             int usable_cpus) {
    std::string numbers;
    for (std::size_t start = 0;;) {
        const std::size_t end = list.find(',', start);
        std::string item = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (item == "cores" && !machine)
            throw bench_error(
                "--threads: 'cores' needs the machine's topology, which is unknown here (hwloc, Debian "
                "libhwloc-dev); give a number");
        if (item == "cores") item = std::to_string(usable_cores(*machine, usable_cpus));
        if (item == "pus") item = std::to_string(machine ? usable_pus(*machine, usable_cpus) : usable_cpus);
        numbers += item;
        if (end == std::string::npos) break;
        numbers += ',';
        start = end + 1;
    }
    try {
        return parse_counts(numbers, "--threads");
    } catch (const bench_error& e) {
        throw bench_error(std::string(e.what()) + ", cores or pus", e.status);
    }
}

environment placement_environment(binding bind, const std::optional<topology>& machine, int threads) {
    if (bind == binding::none) return {};
    // One core per thread keeps a team off a core's second PU until it has
    // more threads than cores; only then do the PUs themselves become places.
    const bool beyond_cores =
        machine && machine->pus > machine->cores && threads > usable_cores(*machine, machine->pus);
    return {{"OMP_PLACES", beyond_cores ? "threads" : "cores"}, {"OMP_PROC_BIND", binding_name(bind)}};
}

}  // namespace corvane::bench
