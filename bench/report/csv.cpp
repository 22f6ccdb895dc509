#include <sstream>

#include "bench/report/report.hpp"

namespace corvane::bench {

namespace {

std::string csv_field(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

std::string csv_rows(const std::vector<cell>& cells) {
    std::ostringstream out;
    out << "program,ranks,threads,run,reported_s,wall_s,valid,reason,user_s,system_s,involuntary_"
           "switches\r\n";
    for (const auto& c : cells) {
        int run = 0;
        for (const auto& s : c.samples)
            out << csv_field(c.program) << "," << (c.ranks ? std::to_string(*c.ranks) : "") << ","
                << (c.threads ? std::to_string(*c.threads) : "") << "," << ++run << ","
                << (s.valid ? fixed(s.reported_s, 3) : "") << "," << fixed(s.wall_s, 6) << ","
                << (s.valid ? "true" : "false") << "," << csv_field(s.reason) << ","
                << (s.user_s ? fixed(*s.user_s, 6) : "") << "," << (s.system_s ? fixed(*s.system_s, 6) : "")
                << "," << (s.involuntary_switches ? std::to_string(*s.involuntary_switches) : "") << "\r\n";
    }
    return out.str();
}

}  // namespace corvane::bench
