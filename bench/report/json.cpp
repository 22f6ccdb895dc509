#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

#include "bench/build_record.hpp"
#include "bench/compare.hpp"
#include "bench/error.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

using json = nlohmann::json;

namespace {

json optional_json(const std::optional<double>& value) { return value ? json(*value) : json(nullptr); }
json optional_json(const std::optional<int>& value) { return value ? json(*value) : json(nullptr); }
json optional_json(const std::optional<long>& value) { return value ? json(*value) : json(nullptr); }
json interval_json(const std::optional<ratio_estimate>& interval) {
    return interval ? json::array({interval->low, interval->high}) : json(nullptr);
}

json environment_json(const environment& env) {
    json out = json::object();
    for (const auto& [name, value] : env) out[name] = value;
    return out;
}

// The machine's identity fields, by name, for writing and reading alike.
std::vector<std::pair<const char*, std::string machine_identity::*>> identity_fields() {
    return {
        {"hostname", &machine_identity::hostname},     {"os", &machine_identity::os},
        {"kernel", &machine_identity::kernel},         {"distribution", &machine_identity::distribution},
        {"cpu_vendor", &machine_identity::cpu_vendor}, {"cpu_family", &machine_identity::cpu_family},
        {"cpu_model", &machine_identity::cpu_model},   {"cpu_stepping", &machine_identity::cpu_stepping},
        {"microcode", &machine_identity::microcode},   {"hypervisor", &machine_identity::hypervisor},
        {"min_mhz", &machine_identity::min_mhz},       {"max_mhz", &machine_identity::max_mhz},
        {"boost", &machine_identity::boost},           {"topology_note", &machine_identity::topology_note}};
}

json machine_json(const machine_identity& machine) {
    json out = json::object();
    for (const auto& [name, field] : identity_fields()) out[name] = machine.*field;
    out["topology"] = nullptr;
    if (const auto& shape = machine.shape) {
        json caches = json::array();
        for (const auto& cache : shape->caches)
            caches.push_back({{"level", cache.level},
                              {"kind", cache.kind},
                              {"bytes", cache.bytes},
                              {"instances", cache.instances}});
        out["topology"] = {{"packages", shape->packages},
                           {"cores", shape->cores},
                           {"pus", shape->pus},
                           {"numa_nodes", shape->numa_nodes},
                           {"allowed_cores", shape->allowed_cores},
                           {"caches", caches}};
    }
    return out;
}

// Each program's build by the record's own keys, or only why it is unknown.
json program_builds_json(const std::map<std::string, program_build>& builds) {
    json out = json::object();
    for (const auto& [program, build] : builds) {
        json& entry = out[program] = json::object();
        if (!build.unknown.empty())
            entry["unknown"] = build.unknown;
        else
            for (const build_field& key : build_record_keys) entry[key.name] = build.*key.value;
    }
    return out;
}

json context_json(const run_context& context) {
    json plans = json::object();
    for (const auto& [order, plan] : context.kernel_plan) {
        json candidates = json::object();
        for (const auto& [kernel, ns] : plan.ns_per_term) candidates[kernel] = ns;
        plans[order] = {{"chosen", plan.chosen}, {"ns_per_term", candidates}};
    }
    json out = {
        {"processor", context.processor},
        {"logical_cores", context.logical_cores},
        {"usable_cpus", context.usable_cpus},
        {"compiler", context.compiler},
        {"flags", context.flags},
        {"build_type", context.build_type},
        {"openmp_runtime", context.openmp_runtime},
        {"omp_variables", context.omp_variables},
        {"env", context.env},
        {"threads", context.threads},
        {"runs", context.runs},
        {"warmup", context.warmup},
        {"timeout_s", context.timeout_s},
        {"kernel_plan", plans},
        {"warnings", context.warnings},
        {"version", context.version},
        {"commit", context.commit},
        {"date", context.date},
        {"machine", machine_json(context.machine)},
        {"binding", context.binding},
        {"program_builds", program_builds_json(context.program_builds)},
    };
    if (const auto& mpi = context.mpi)
        out["mpi"] = {{"launcher", mpi->launcher},
                      {"implementation", mpi->implementation},
                      {"launcher_version", mpi->launcher_version},
                      {"library", mpi->library},
                      {"launcher_env", environment_json(mpi->launcher_env)},
                      {"hostfile", mpi->hostfile ? json(*mpi->hostfile) : json(nullptr)}};
    return out;
}

json cell_json(const cell& c) {
    const cell_statistics& r = c.statistics;
    json samples = json::array();
    for (const auto& s : c.samples)
        samples.push_back({{"reported_s", s.valid ? json(s.reported_s) : json(nullptr)},
                           {"wall_s", s.wall_s},
                           {"valid", s.valid},
                           {"reason", s.valid ? json(nullptr) : json(s.reason)},
                           {"user_s", optional_json(s.user_s)},
                           {"system_s", optional_json(s.system_s)},
                           {"involuntary_switches", optional_json(s.involuntary_switches)}});
    const bool measured = r.valid_runs > 0;
    const auto stat = [measured](double value) { return measured ? json(value) : json(nullptr); };
    return {
        {"program", c.program},
        {"threads", optional_json(c.threads)},
        {"ranks", optional_json(c.ranks)},
        {"samples", samples},
        {"median_s", stat(r.reported.median)},
        {"min_s", stat(r.reported.min)},
        {"max_s", stat(r.reported.max)},
        {"mean_s", stat(r.reported.mean)},
        {"stddev_s", stat(r.reported.stddev)},
        {"cv", stat(r.reported.cv)},
        {"relative_mad", stat(r.reported.relative_mad)},
        {"unstable", r.unstable},
        {"outliers", r.reported.outliers},
        {"median_wall_s", stat(r.wall.median)},
        {"gap_s", stat(r.wall.median - r.reported.median)},
        {"speedup", optional_json(r.scaled.speedup)},
        {"efficiency", optional_json(r.scaled.efficiency)},
        {"karp_flatt", optional_json(r.scaled.karp_flatt)},
        {"valid_runs", r.valid_runs},
        {"invalid_runs", r.invalid_runs},
        {"parallelism", optional_json(r.parallelism)},
        {"involuntary_switches_per_cpu_s", optional_json(r.preemptions_per_cpu_s)},
        {"contended", r.contended},
        {"contention", r.contended ? json(r.contention) : json(nullptr)},
        {"speedup_ci", interval_json(r.scaled.speedup_interval)},
        {"efficiency_ci", interval_json(r.scaled.efficiency_interval)},
    };
}

// Reading: every fault names the file and the field, in one plain line.
struct reader {
    std::string path;

    [[noreturn]] void fail(const std::string& where, const std::string& problem) const {
        throw bench_error(path + ": " + where + " " + problem);
    }
    const json* find(const json& object, const char* name) const {
        const auto found = object.find(name);
        return found == object.end() ? nullptr : &*found;
    }
    // Optional context fields: absent is fine, a wrong type is not.
    void take(const json& object, const char* name, const std::string& where, std::string& to) const {
        if (const json* value = find(object, name)) {
            if (!value->is_string()) fail(where + "." + name, "is not a string");
            to = value->get<std::string>();
        }
    }
    void take(const json& object, const char* name, const std::string& where, int& to) const {
        if (const json* value = find(object, name)) to = count(*value, where + "." + name, 0).value_or(0);
    }
    void take(const json& object, const char* name, const std::string& where,
              std::map<std::string, std::string>& to) const {
        if (const json* value = find(object, name)) {
            if (!value->is_object()) fail(where + "." + name, "is not an object");
            for (const auto& [key, item] : value->items()) {
                if (!item.is_string()) fail(where + "." + name + "." + key, "is not a string");
                to[key] = item.get<std::string>();
            }
        }
    }
    // A whole number from `least` up to INT_MAX, or null where allowed.
    std::optional<int> count(const json& value, const std::string& where, int least,
                             bool may_be_null = false) const {
        if (value.is_null() && may_be_null) return std::nullopt;
        if (!value.is_number_integer() || value.get<long long>() < least || value.get<long long>() > INT_MAX)
            fail(where,
                 "is not a whole number from " + std::to_string(least) + (may_be_null ? " or null" : ""));
        return static_cast<int>(value.get<long long>());
    }
    double number(const json& value, const std::string& where) const {
        if (!value.is_number()) fail(where, "is not a number");
        return value.get<double>();
    }
    // An optional time: absent or null is unknown, anything else a time from 0.
    std::optional<double> seconds(const json& object, const char* name, const std::string& where) const {
        const json* value = find(object, name);
        if (!value || value->is_null()) return std::nullopt;
        if (!value->is_number() || value->get<double>() < 0)
            fail(where + "." + name, "is not a time from 0 or null");
        return value->get<double>();
    }

    machine_identity read_machine(const json& object) const {
        if (!object.is_object()) fail("context.machine", "is not an object");
        machine_identity machine;
        for (const auto& [name, field] : identity_fields())
            take(object, name, "context.machine", machine.*field);
        const json* shape = find(object, "topology");
        if (!shape || shape->is_null()) return machine;
        if (!shape->is_object()) fail("context.machine.topology", "is not an object or null");
        topology read;
        const std::string where = "context.machine.topology";
        take(*shape, "packages", where, read.packages);
        take(*shape, "cores", where, read.cores);
        take(*shape, "pus", where, read.pus);
        take(*shape, "numa_nodes", where, read.numa_nodes);
        take(*shape, "allowed_cores", where, read.allowed_cores);
        if (read.cores < 1 || read.pus < read.cores)
            fail(where, "has fewer than one core or fewer PUs than cores");
        if (const json* caches = find(*shape, "caches")) {
            if (!caches->is_array()) fail(where + ".caches", "is not an array");
            for (std::size_t i = 0; i < caches->size(); ++i) {
                const std::string at = where + ".caches[" + std::to_string(i) + "]";
                if (!(*caches)[i].is_object()) fail(at, "is not an object");
                cache_info cache;
                take((*caches)[i], "level", at, cache.level);
                take((*caches)[i], "kind", at, cache.kind);
                take((*caches)[i], "instances", at, cache.instances);
                if (const json* bytes = find((*caches)[i], "bytes")) {
                    if (!bytes->is_number_unsigned()) fail(at + ".bytes", "is not a whole number from 0");
                    cache.bytes = bytes->get<std::uint64_t>();
                }
                read.caches.push_back(cache);
            }
        }
        machine.shape = read;
        return machine;
    }

    run_context context(const json& object) const {
        run_context context;
        if (!object.is_object()) fail("context", "is not an object");
        for (const auto& [name, to] :
             {std::pair{"processor", &context.processor}, std::pair{"compiler", &context.compiler},
              std::pair{"flags", &context.flags}, std::pair{"build_type", &context.build_type},
              std::pair{"openmp_runtime", &context.openmp_runtime}, std::pair{"version", &context.version},
              std::pair{"commit", &context.commit}, std::pair{"date", &context.date}})
            take(object, name, "context", *to);
        take(object, "logical_cores", "context", context.logical_cores);
        take(object, "usable_cpus", "context", context.usable_cpus);
        take(object, "runs", "context", context.runs);
        take(object, "warmup", "context", context.warmup);
        take(object, "omp_variables", "context", context.omp_variables);
        take(object, "env", "context", context.env);
        if (const json* timeout = find(object, "timeout_s"))
            context.timeout_s = number(*timeout, "context.timeout_s");
        if (const json* threads = find(object, "threads")) {
            if (!threads->is_array()) fail("context.threads", "is not an array");
            for (const auto& t : *threads) context.threads.push_back(*count(t, "context.threads", 1));
        }
        if (const json* warnings = find(object, "warnings")) {
            if (!warnings->is_array()) fail("context.warnings", "is not an array");
            for (const auto& w : *warnings) {
                if (!w.is_string()) fail("context.warnings", "holds something other than text");
                context.warnings.push_back(w.get<std::string>());
            }
        }
        if (const json* plans = find(object, "kernel_plan")) {
            if (!plans->is_object()) fail("context.kernel_plan", "is not an object");
            for (const auto& [order, plan] : plans->items()) {
                const std::string where = "context.kernel_plan." + order;
                if (!plan.is_object()) fail(where, "is not an object");
                order_plan& read = context.kernel_plan[order];
                take(plan, "chosen", where, read.chosen);
                if (const json* candidates = find(plan, "ns_per_term")) {
                    if (!candidates->is_object()) fail(where + ".ns_per_term", "is not an object");
                    for (const auto& [kernel, ns] : candidates->items())
                        read.ns_per_term.emplace_back(kernel, number(ns, where + ".ns_per_term." + kernel));
                }
            }
        }
        take(object, "binding", "context", context.binding);
        if (const json* machine = find(object, "machine")) context.machine = read_machine(*machine);
        // Files written before the programs carried their build lack it.
        if (const json* builds = find(object, "program_builds")) {
            if (!builds->is_object()) fail("context.program_builds", "is not an object");
            for (const auto& [program, build] : builds->items()) {
                const std::string where = "context.program_builds." + program;
                if (!build.is_object()) fail(where, "is not an object");
                program_build& read = context.program_builds[program];
                take(build, "unknown", where, read.unknown);
                for (const build_field& key : build_record_keys)
                    take(build, key.name, where, read.*key.value);
            }
        }
        if (const json* mpi = find(object, "mpi")) {
            if (!mpi->is_object()) fail("context.mpi", "is not an object");
            mpi_context read;
            take(*mpi, "launcher", "context.mpi", read.launcher);
            take(*mpi, "implementation", "context.mpi", read.implementation);
            take(*mpi, "launcher_version", "context.mpi", read.launcher_version);
            take(*mpi, "library", "context.mpi", read.library);
            std::map<std::string, std::string> launcher_env;
            take(*mpi, "launcher_env", "context.mpi", launcher_env);
            read.launcher_env.assign(launcher_env.begin(), launcher_env.end());
            if (const json* hostfile = find(*mpi, "hostfile"); hostfile && !hostfile->is_null()) {
                if (!hostfile->is_string()) fail("context.mpi.hostfile", "is not a string or null");
                read.hostfile = hostfile->get<std::string>();
            }
            context.mpi = read;
        }
        return context;
    }

    double above_zero(const json& value, const std::string& where) const {
        if (!(value.is_number() && value.get<double>() > 0)) fail(where, "is not a number above zero");
        return value.get<double>();
    }

    const json& required(const json& object, const char* name, const std::string& where) const {
        const json* value = find(object, name);
        if (!value) fail(where + "." + name, "is missing");
        return *value;
    }

    kernel_figure kernel(const json& object, const std::string& where) const {
        if (!object.is_object()) fail(where, "is not an object");
        kernel_figure k;
        const json& name = required(object, "name", where);
        if (!name.is_string()) fail(where + ".name", "is not a string");
        k.name = name.get<std::string>();
        k.threads = *count(required(object, "threads", where), where + ".threads", 1);
        k.ns_per_term = above_zero(required(object, "ns_per_term", where), where + ".ns_per_term");
        if (const json* vs = find(object, "vs_floor"); vs && !vs->is_null())
            k.vs_floor = above_zero(*vs, where + ".vs_floor");
        return k;
    }

    cell read_cell(const json& object, const std::string& where) const {
        if (!object.is_object()) fail(where, "is not an object");
        cell c;
        const json* program = find(object, "program");
        if (!program || !program->is_string()) fail(where + ".program", "is missing or not a string");
        c.program = program->get<std::string>();
        const json* threads = find(object, "threads");
        if (!threads) fail(where + ".threads", "is missing");
        c.threads = count(*threads, where + ".threads", 1, true);
        if (const json* ranks = find(object, "ranks")) c.ranks = count(*ranks, where + ".ranks", 1, true);
        const json* samples = find(object, "samples");
        if (!samples || !samples->is_array()) fail(where + ".samples", "is missing or not an array");
        if (samples->size() > max_samples_per_cell)
            fail(where + ".samples", "holds " + std::to_string(samples->size()) + " runs, more than the " +
                                         std::to_string(max_samples_per_cell) + " a cell may have");
        for (std::size_t i = 0; i < samples->size(); ++i) {
            const json& s = (*samples)[i];
            const std::string at = where + ".samples[" + std::to_string(i) + "]";
            if (!s.is_object()) fail(at, "is not an object");
            sample read;
            const json* valid = find(s, "valid");
            if (!valid || !valid->is_boolean()) fail(at + ".valid", "is missing or not true or false");
            read.valid = valid->get<bool>();
            const json* reported = find(s, "reported_s");
            if (!reported || !(reported->is_number() || reported->is_null()))
                fail(at + ".reported_s", "is missing or not a number or null");
            // One rule for every reader: a valid run reported a time above zero.
            if (read.valid && !(reported->is_number() && reported->get<double>() > 0))
                fail(at + ".reported_s", "is not a time above zero, though the run is valid");
            if (read.valid) read.reported_s = reported->get<double>();
            if (const json* wall = find(s, "wall_s")) read.wall_s = number(*wall, at + ".wall_s");
            if (const json* reason = find(s, "reason"); reason && reason->is_string())
                read.reason = reason->get<std::string>();
            // Absent from older files, null where not measured.
            read.user_s = seconds(s, "user_s", at);
            read.system_s = seconds(s, "system_s", at);
            if (const json* switches = find(s, "involuntary_switches"); switches && !switches->is_null())
                read.involuntary_switches = count(*switches, at + ".involuntary_switches", 0);
            c.samples.push_back(read);
        }
        return c;
    }
};

}  // namespace

std::string json_text(const suite_result& result) {
    json cells = json::array();
    for (const auto& c : result.cells) cells.push_back(cell_json(c));
    json out = {{"schema_version", 2},
                {"context", context_json(result.context)},
                {"seed", result.context.seed},
                {"cells", cells}};
    // Only a suite that ran corvane-kernels has them; older files have none.
    if (!result.kernels.empty()) {
        json kernels = json::array();
        for (const kernel_figure& k : result.kernels)
            kernels.push_back({{"name", k.name},
                               {"threads", k.threads},
                               {"ns_per_term", k.ns_per_term},
                               {"vs_floor", optional_json(k.vs_floor)}});
        out["kernels"] = kernels;
    }
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

// Far above what max_samples_per_cell allows a real result to reach.
constexpr std::size_t max_result_bytes = std::size_t{256} << 20;

std::string read_result_file(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw bench_error("cannot read " + path + ": " + std::strerror(errno));
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            close(fd);
            throw bench_error("cannot read " + path + ": " + std::strerror(error));
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > max_result_bytes) {
            close(fd);
            throw bench_error(path + " is larger than a result can be (" +
                              std::to_string(max_result_bytes >> 20) + " MiB)");
        }
    }
    close(fd);
    return text;
}

suite_result read_result(const std::string& path) try {
    const std::string text = read_result_file(path);
    json document;
    try {
        // The whole file must be one document: a second result appended, or
        // anything else after the first, is an error, not ignored.
        document = json::parse(text);
    } catch (const json::parse_error& e) {
        throw bench_error(path + " is not valid JSON (one document, nothing after it): error at byte " +
                          std::to_string(e.byte));
    }
    const reader in{path};
    // Version 1 lacks the machine and the binding, which then stay empty.
    if (!document.is_object() || !document.contains("schema_version") ||
        (document["schema_version"] != 1 && document["schema_version"] != 2) || !document.contains("cells"))
        throw bench_error(path + " is not a corvane-bench result (schema version 1 or 2)");
    suite_result result;
    if (const json* context = in.find(document, "context")) result.context = in.context(*context);
    if (const json* seed = in.find(document, "seed")) {
        if (!seed->is_number_unsigned()) in.fail("seed", "is not a whole number from 0");
        result.context.seed = seed->get<std::uint64_t>();
    }
    if (!document["cells"].is_array()) in.fail("cells", "is not an array");
    std::set<std::string> labels;
    for (std::size_t i = 0; i < document["cells"].size(); ++i) {
        const std::string where = "cells[" + std::to_string(i) + "]";
        result.cells.push_back(in.read_cell(document["cells"][i], where));
        if (!labels.insert(cell_label(result.cells.back())).second)
            in.fail(where, "repeats the cell " + cell_label(result.cells.back()));
    }
    if (const json* kernels = in.find(document, "kernels")) {
        if (!kernels->is_array()) in.fail("kernels", "is not an array");
        for (std::size_t i = 0; i < kernels->size(); ++i)
            result.kernels.push_back(in.kernel((*kernels)[i], "kernels[" + std::to_string(i) + "]"));
    }
    evaluate(result.cells);
    return result;
} catch (const json::exception& e) {
    // Numbers beyond a double, or a field of an unexpected type, that the
    // checks above did not name.
    throw bench_error(path + ": not a file this reads (" + e.what() + ")");
}

std::string comparison_json(const comparison& result) {
    json cells = json::array();
    for (const cell_change& c : result.cells) {
        const auto figure = [&c](double value) { return c.compared ? json(value) : json(nullptr); };
        cells.push_back(
            {{"cell", c.label},
             {"old_median_s", figure(c.old_median_s)},
             {"new_median_s", figure(c.new_median_s)},
             {"ratio", figure(c.ratio.ratio)},
             {"ratio_ci95", c.compared ? json::array({c.ratio.low, c.ratio.high}) : json(nullptr)},
             {"p", figure(c.p)},
             {"p_holm", figure(c.p_holm)},
             {"verdict", c.verdict}});
    }
    const json out = {{"min_effect", result.min_effect},
                      {"context_differences", result.context_differences},
                      {"cells", cells},
                      {"geometric_mean_ratio", optional_json(result.geometric_mean)},
                      {"too_few_runs", result.too_few_runs},
                      {"any_slower", any_slower(result)}};
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace corvane::bench
