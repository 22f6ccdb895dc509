#include "bench/run/build_record.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "bench/base/text.hpp"
#include "bench/report/json_fields.hpp"

namespace corvane::bench {

namespace {

// Without these a record cannot say whether the build is the one wanted.
constexpr const char* required_keys[] = {"commit", "compiler", "flags", "build_type"};

program_build unknown_build(const std::string& why) {
    program_build build;
    build.unknown = why;
    return build;
}

std::string malformed(int line, const std::string& problem) {
    return "its build record is malformed: line " + std::to_string(line) + " " + problem;
}

}  // namespace

program_build parse_build_record(std::string_view bytes) {
    const auto at = bytes.find(build_record_marker);
    if (at == std::string_view::npos) return unknown_build("no build record in the file");
    const std::string_view record = bytes.substr(at, longest_build_record);
    const auto end = record.find('\0');
    if (end == std::string_view::npos)
        return unknown_build(record.size() < longest_build_record
                                 ? "its build record is cut off before its end"
                                 : "its build record is longer than " + std::to_string(longest_build_record) +
                                       " bytes");
    std::string_view lines = record.substr(build_record_marker.size(), end - build_record_marker.size());
    program_build build;
    std::set<std::string> seen;
    for (int number = 1; !lines.empty(); ++number) {
        const auto newline = lines.find('\n');
        if (newline == std::string_view::npos) return unknown_build(malformed(number, "has no end"));
        const std::string_view line = lines.substr(0, newline);
        lines.remove_prefix(newline + 1);
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0)
            return unknown_build(malformed(number, "is not NAME=VALUE"));
        for (char c : line)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return unknown_build(malformed(number, "holds a control character"));
        const std::string name(line.substr(0, equals));
        if (!seen.insert(name).second) return unknown_build(malformed(number, "repeats " + name));
        // Keys a later version adds are skipped.
        build_fields(build, [&](const char* key, std::string& value, field_rule) {
            if (name == key && name != "unknown") value = printable(std::string(line.substr(equals + 1)));
        });
    }
    for (const char* key : required_keys)
        if (!seen.count(key)) return unknown_build("its build record lacks " + std::string(key));
    return build;
}

program_build read_build_record(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return unknown_build("cannot read " + printable(path) + ": " + std::strerror(errno));
    // Only the chunk in hand and a marker's length before it are kept, until
    // the marker is found; then at most one record's length after it.
    std::string window;
    char chunk[1 << 16];
    std::size_t marker_at = std::string::npos, searched = 0;
    while (marker_at == std::string::npos || window.size() - marker_at < longest_build_record) {
        if (marker_at == std::string::npos && searched >= build_record_search_bytes) {
            std::fclose(file);
            return unknown_build("no build record in its first " +
                                 std::to_string(build_record_search_bytes >> 20) + " MiB");
        }
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        if (got == 0) break;
        searched += got;
        window.append(chunk, got);
        if (marker_at != std::string::npos) continue;
        marker_at = window.find(build_record_marker);
        if (marker_at == std::string::npos && window.size() >= build_record_marker.size())
            window.erase(0, window.size() - (build_record_marker.size() - 1));
    }
    const bool failed = std::ferror(file);
    std::fclose(file);
    if (failed) return unknown_build("cannot read " + printable(path));
    return parse_build_record(window);
}

std::map<std::string, program_build> read_program_builds(const std::string& bin_dir,
                                                         const std::vector<std::string>& programs) {
    std::map<std::string, program_build> builds;
    for (const auto& program : programs) builds[program] = read_build_record(bin_dir + "/" + program);
    return builds;
}

bool unoptimised(const program_build& build) {
    if (build.build_type == "Debug") return true;
    std::string level;
    std::istringstream flags(build.flags);
    for (std::string flag; flags >> flag;)
        if (flag.rfind("-O", 0) == 0 || flag.rfind("/O", 0) == 0) level = flag;
    return level.empty() || level == "-O0" || level == "/Od";
}

std::vector<std::string> build_warnings(const std::map<std::string, program_build>& builds) {
    std::vector<std::string> warnings;
    for (const auto& [program, build] : builds) {
        if (!build.unknown.empty())
            warnings.push_back(program + ": build unknown (" + build.unknown +
                               "): nothing says how the times it reports were built");
        else if (!build.program.empty() && build.program != program)
            warnings.push_back(program + " is " + build.program +
                               " under another name, as its build record says: its times are not " + program +
                               "'s");
        else if (unoptimised(build))
            warnings.push_back(program + " was built unoptimised (" +
                               (build.build_type.empty() ? "no build type" : build.build_type) + ", flags " +
                               build.flags + "): its times are not those of an optimised build");
    }
    for (const build_field& field : shared_build_fields) {
        std::map<std::string, std::string> programs_by_value;
        for (const auto& [program, build] : builds)
            if (build.unknown.empty()) {
                std::string& named = programs_by_value[build.*field.value];
                named += (named.empty() ? "" : ", ") + program;
            }
        if (programs_by_value.size() < 2) continue;
        std::string text;
        for (const auto& [value, programs] : programs_by_value)
            text += (text.empty() ? "" : "; ") + (value.empty() ? "none" : value) + " (" + programs + ")";
        warnings.push_back(std::string("the programs were built with different ") + field.name + ": " + text);
    }
    return warnings;
}

}  // namespace corvane::bench
