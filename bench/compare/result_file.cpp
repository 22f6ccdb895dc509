#include "bench/compare/result_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

#include "bench/base/error.hpp"
#include "bench/base/text.hpp"
#include "bench/launch/launch.hpp"
#include "bench/report/json_fields.hpp"
#include "bench/run/evaluate.hpp"

namespace corvane::bench {

using json = nlohmann::json;

namespace {

// Far above what max_samples_per_cell allows a real result to reach.
constexpr std::size_t max_result_bytes = std::size_t{256} << 20;

// A run ends at its timeout, at most a week; this leaves room for the time
// it takes to end one.
constexpr double longest_time_s = 30 * 24 * 3600.0;
// The programs print seconds with six decimals: any shorter time is none.
constexpr double shortest_reported_s = 1e-6;
// Thousands of threads for the longest time.
constexpr double longest_cpu_time_s = 1e4 * longest_time_s;

// What a file may cost once read: its values (keys counted), the length of
// one text, and how deep it nests. With the bytes capped, these bound the
// memory of the document (about 80 bytes a value at most, besides the
// texts), so that a file at the cap is read within 1 GiB. A real result
// of a hundred cells of a thousand runs each holds about 1.6 million.
constexpr std::size_t max_result_values = 3'000'000;
constexpr std::size_t max_text_bytes = std::size_t{1} << 20;
constexpr std::size_t max_depth = 32;

// A pass over the file before the document is built: what it would cost,
// and a key given twice in one object, which the document would take
// last-wins (a second, empty "cells" would empty a baseline).
struct shape_check : nlohmann::json_sax<json> {
    std::string problem;  // the first found
    std::size_t values = 0;
    std::vector<std::set<std::string>> keys;  // of each open object
    std::size_t depth = 0;

    bool fail(const std::string& what) {
        problem = what;
        return false;
    }
    bool value() {
        return ++values <= max_result_values
                   ? true
                   : fail("holds more than " + std::to_string(max_result_values) + " values");
    }
    bool open() {
        return ++depth <= max_depth ? value()
                                    : fail("nests deeper than " + std::to_string(max_depth) + " levels");
    }
    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t& text) override {
        return text.size() <= max_text_bytes
                   ? value()
                   : fail("holds a text of " + std::to_string(text.size()) + " bytes, more than " +
                          std::to_string(max_text_bytes >> 20) + " MiB");
    }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override {
        keys.emplace_back();
        return open();
    }
    bool end_object() override {
        keys.pop_back();
        --depth;
        return true;
    }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override {
        --depth;
        return true;
    }
    bool key(string_t& name) override {
        if (!keys.back().insert(name).second)
            return fail("gives the key \"" + printable(name) + "\" twice in one object");
        return string(name);
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;  // the document's own parse names it
    }
};

// A term on the fastest machine to the slowest emulator; two kernels differ
// by less than this factor.
constexpr double fastest_ns_per_term = 1e-4, slowest_ns_per_term = 1e6;
constexpr double most_vs_floor = 1e6;
constexpr std::uint64_t largest_cache_bytes = std::uint64_t{1} << 40;
// A million a second for the longest time.
constexpr long long most_switches = 1'000'000LL * 30 * 24 * 3600;

// Reading: every fault names the file and the field, in one plain line.
struct reader {
    std::string path;

    [[noreturn]] void fail(const std::string& where, const std::string& problem) const {
        throw bench_error(path + ": " + where + " " + problem);
    }

    // A whole number from `least` up to INT_MAX, or null where allowed.
    long long count(const json& value, const std::string& where, long long least, long long most,
                    bool may_be_null = false) const {
        if (!value.is_number_integer() || value.get<long long>() < least || value.get<long long>() > most)
            fail(where,
                 "is not a whole number from " + std::to_string(least) + (may_be_null ? " or null" : ""));
        return value.get<long long>();
    }

    // Every field of a record, by its table.
    template <class Record>
    void read_record(const json& object, const std::string& where, Record& record) const {
        if (!object.is_object()) fail(where, "is not an object");
        fields_of(record, [&](const char* name, auto& member, field_rule rule) {
            const auto found = object.find(name);
            const std::string at = where + "." + name;
            if (found == object.end()) {
                if (rule == field_rule::required || rule == field_rule::required_above_zero ||
                    rule == field_rule::reported)
                    fail(at, "is missing");
                return;
            }
            read(*found, at, member, rule);
        });
    }

    void read(const json& value, const std::string& where, std::string& to, field_rule rule) const {
        if (value.is_null() && rule == field_rule::or_null) return;
        if (!value.is_string()) fail(where, "is not a string");
        to = value.get<std::string>();
    }
    void read(const json& value, const std::string& where, bool& to, field_rule) const {
        if (!value.is_boolean()) fail(where, "is not true or false");
        to = value.get<bool>();
    }
    void read(const json& value, const std::string& where, int& to, field_rule rule) const {
        to = static_cast<int>(count(value, where, rule == field_rule::optional ? 0 : 1, INT_MAX));
    }
    void read(const json& value, const std::string& where, long& to, field_rule) const {
        to = static_cast<long>(count(value, where, 0, LONG_MAX));
    }
    void read(const json& value, const std::string& where, std::uint64_t& to, field_rule) const {
        if (!value.is_number_unsigned()) fail(where, "is not a whole number from 0");
        to = value.get<std::uint64_t>();
    }
    void read(const json& value, const std::string& where, double& to, field_rule rule) const {
        if (rule == field_rule::reported) {
            if (!(value.is_number() || value.is_null())) fail(where, "is not a number or null");
            to = value.is_number() ? value.get<double>() : 0.0;
            return;
        }
        if ((rule == field_rule::above_zero || rule == field_rule::required_above_zero) &&
            !(value.is_number() && value.get<double>() > 0))
            fail(where, "is not a number above zero");
        if (!value.is_number()) fail(where, "is not a number");
        to = value.get<double>();
    }
    template <class T>
    void read(const json& value, const std::string& where, std::optional<T>& to, field_rule rule) const {
        if (value.is_null()) return;
        if (rule == field_rule::time && !(value.is_number() && value.get<double>() >= 0))
            fail(where, "is not a time from 0 or null");
        if constexpr (std::is_same_v<T, std::string>)
            if (!value.is_string()) fail(where, "is not a string or null");
        if constexpr (std::is_same_v<T, int>) {
            to = static_cast<int>(count(value, where, 1, INT_MAX, true));
            return;
        }
        T read_value{};
        read(value, where, read_value, rule);
        to = read_value;
    }
    template <class T>
    void read(const json& value, const std::string& where, T& to, field_rule rule) const {
        if constexpr (is_record<T>) {
            read_record(value, where, to);
        } else if constexpr (is_pairs<T>::value || is_map<T>::value) {
            if (!value.is_object()) fail(where, "is not an object");
            for (const auto& [name, item] : value.items()) {
                typename T::value_type::second_type read_value{};
                read(item, where + "." + name, read_value, rule);
                if constexpr (is_map<T>::value)
                    to[name] = read_value;
                else
                    to.emplace_back(name, read_value);
            }
        } else {
            static_assert(is_vector<T>::value);
            if (!value.is_array()) fail(where, "is not an array");
            for (std::size_t i = 0; i < value.size(); ++i) {
                typename T::value_type read_value{};
                const std::string at = where + "[" + std::to_string(i) + "]";
                if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                    if (!value[i].is_string()) fail(where, "holds something other than text");
                    read_value = value[i].get<std::string>();
                } else if constexpr (std::is_same_v<T, std::vector<int>>) {
                    read_value = static_cast<int>(count(value[i], where, 1, INT_MAX));
                } else {
                    read(value[i], at, read_value, rule);
                }
                to.push_back(read_value);
            }
        }
    }

    // The checks across a record's fields, and of figures no machine or run
    // can give, refused like the times before they reach a table.
    void check(const topology& shape, const std::string& where) const {
        if (shape.cores < 1 || shape.pus < shape.cores)
            fail(where, "has fewer than one core or fewer PUs than cores");
        for (std::size_t i = 0; i < shape.caches.size(); ++i) {
            const std::string at = where + ".caches[" + std::to_string(i) + "].";
            if (shape.caches[i].bytes > largest_cache_bytes)
                fail(at + "bytes", "is more than a cache holds (1 TiB)");
            if (shape.caches[i].instances > shape.pus) fail(at + "instances", "is more than the PUs");
        }
    }
    void check(const run_context& context) const {
        if (!(context.timeout_s >= 0 && context.timeout_s <= longest_time_s))
            fail("context.timeout_s", "is not a timeout from 0 to " + fixed(longest_time_s, 0) + " s");
        if (const auto& shape = context.machine.shape) check(*shape, "context.machine.topology");
    }
    void check(const std::vector<kernel_figure>& kernels) const {
        for (std::size_t i = 0; i < kernels.size(); ++i) {
            const std::string at = "kernels[" + std::to_string(i) + "].";
            if (!(kernels[i].ns_per_term >= fastest_ns_per_term &&
                  kernels[i].ns_per_term <= slowest_ns_per_term))
                fail(at + "ns_per_term", "is not a time a term can take (" + fixed(fastest_ns_per_term, 4) +
                                             " to " + fixed(slowest_ns_per_term, 0) + " ns)");
            if (kernels[i].vs_floor &&
                !(*kernels[i].vs_floor >= 1 / most_vs_floor && *kernels[i].vs_floor <= most_vs_floor))
                fail(at + "vs_floor", "is not a ratio two kernels can have (" + fixed(1 / most_vs_floor, 4) +
                                          " to " + fixed(most_vs_floor, 0) + ")");
        }
    }
    void check(const cell& c, const std::string& where) const {
        check(c.samples, where + ".samples");
        check(c.warmups, where + ".warmups");
    }
    // A cell's counted runs or its warm-ups.
    void check(const std::vector<sample>& samples, const std::string& where) const {
        if (samples.size() > max_samples_per_cell)
            fail(where, "holds " + std::to_string(samples.size()) + " runs, more than the " +
                            std::to_string(max_samples_per_cell) + " a cell may have");
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const sample& s = samples[i];
            const std::string at = where + "[" + std::to_string(i) + "].";
            // One rule for every reader: a valid run reported a time above zero.
            if (s.valid && !(s.reported_s > 0))
                fail(at + "reported_s", "is not a time above zero, though the run is valid");
            // Times no run can take: every figure made from them stays a
            // plain number (no inf, no NaN, no hundred digits).
            if (s.valid && !(s.reported_s >= shortest_reported_s && s.reported_s <= longest_time_s))
                fail(at + "reported_s", "is not a time a program can report (" +
                                            fixed(shortest_reported_s, 6) + " to " +
                                            fixed(longest_time_s, 0) + " s)");
            if (!(s.wall_s >= 0 && s.wall_s <= longest_time_s))
                fail(at + "wall_s", "is not a time from 0 to " + fixed(longest_time_s, 0) + " s");
            for (const auto& [name, cpu] : {std::pair{"user_s", s.user_s}, std::pair{"system_s", s.system_s}})
                if (cpu && !(*cpu <= longest_cpu_time_s))
                    fail(at + name, "is more CPU time than a run can take");
            if (s.involuntary_switches && *s.involuntary_switches > most_switches)
                fail(at + "involuntary_switches", "is more switches than a run can take");
        }
    }
};

}  // namespace

std::string read_result_file(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw bench_error("cannot read " + path + ": " + std::strerror(errno));
    std::string text;
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size > 0)  // no doubling of a large buffer on the way
        text.reserve(std::min(static_cast<std::size_t>(info.st_size), max_result_bytes) + 1);
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
    shape_check shape;
    json::sax_parse(text, &shape);
    if (!shape.problem.empty()) throw bench_error(path + " " + shape.problem + ": not a result this reads");
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
    const auto version = document.is_object() ? document.find("schema_version") : document.end();
    if (version == document.end() || !version->is_number_integer() || *version < oldest_schema_version ||
        *version > schema_version || !document.contains("cells"))
        throw bench_error(path + " is not a corvane-bench result (schema version " +
                          std::to_string(oldest_schema_version) + " to " + std::to_string(schema_version) +
                          ")");
    suite_result result;
    if (const auto context = document.find("context"); context != document.end())
        in.read_record(*context, "context", result.context);
    in.check(result.context);
    describe_launcher(result.context);
    if (const auto seed = document.find("seed"); seed != document.end())
        in.read(*seed, "seed", result.context.seed, field_rule::optional);
    const json& cells = document["cells"];
    if (!cells.is_array()) in.fail("cells", "is not an array");
    std::set<std::string> labels;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const std::string where = "cells[" + std::to_string(i) + "]";
        cell read;
        in.read_record(cells[i], where, read);
        in.check(read, where);
        if (!labels.insert(cell_label(read)).second) in.fail(where, "repeats the cell " + cell_label(read));
        result.cells.push_back(read);
    }
    if (const auto kernels = document.find("kernels"); kernels != document.end())
        in.read(*kernels, "kernels", result.kernels, field_rule::optional);
    in.check(result.kernels);
    evaluate(result.cells);
    return result;
} catch (const json::exception& e) {
    // Numbers beyond a double, or a field of an unexpected type, that the
    // checks above did not name.
    throw bench_error(path + ": not a file this reads (" + e.what() + ")");
}

}  // namespace corvane::bench
