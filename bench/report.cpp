#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "harness.hpp"

namespace corvane::bench {

namespace {

using json = nlohmann::json;

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string optional_fixed(const std::optional<double>& value, int decimals) {
    return value ? fixed(*value, decimals) : "-";
}

json optional_json(const std::optional<double>& value) { return value ? json(*value) : json(nullptr); }

std::string threads_text(const std::optional<int>& threads) {
    return threads ? std::to_string(*threads) : "-";
}

std::string cell_notes(const cell_result& r) {
    std::string notes;
    const auto add = [&notes](const std::string& note) { notes += (notes.empty() ? "" : ", ") + note; };
    if (r.unstable) add("unstable");
    if (r.reported.outliers > 0) add(std::to_string(r.reported.outliers) + " outlier(s)");
    if (r.invalid_runs > 0) add(std::to_string(r.invalid_runs) + " invalid");
    return notes;
}

// The rows both tables show, header first.
std::vector<std::vector<std::string>> table_rows(const std::vector<cell>& cells,
                                                 const std::vector<cell_result>& results) {
    std::vector<std::vector<std::string>> rows = {
        {"program", "ranks", "threads", "median s", "min s", "max s", "mean ± sd s", "cv", "valid", "gap s",
         "speedup", "efficiency", "serial fraction", "notes"}};
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const cell& c = cells[i];
        const cell_result& r = results[i];
        const bool measured = r.valid_runs > 0;
        const auto stat = [measured](double value) { return measured ? fixed(value, 3) : "-"; };
        rows.push_back({
            c.program, threads_text(c.ranks), threads_text(c.threads), stat(r.reported.median), stat(r.reported.min),
            stat(r.reported.max),
            measured ? fixed(r.reported.mean, 4) + " ± " + fixed(r.reported.stddev, 4) : "-",
            measured ? fixed(r.reported.cv * 100.0, 1) + "%" : "-",
            std::to_string(r.valid_runs) + "/" + std::to_string(r.valid_runs + r.invalid_runs),
            measured ? fixed(r.wall.median - r.reported.median, 3) : "-",
            optional_fixed(r.scaled.speedup, 2), optional_fixed(r.scaled.efficiency, 2),
            optional_fixed(r.scaled.karp_flatt, 3), cell_notes(r)});
    }
    // The ranks column only where corvane-mpi ran.
    if (std::none_of(cells.begin(), cells.end(), [](const cell& c) { return c.ranks.has_value(); }))
        for (auto& row : rows) row.erase(row.begin() + 1);
    return rows;
}

// Display width in characters, not bytes ("±" is two bytes of UTF-8).
std::size_t width_of(const std::string& text) {
    std::size_t width = 0;
    for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return width;
}

std::string csv_field(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string key_of(const json& c) {
    const auto count = [&c](const char* field) {
        return c.contains(field) && c[field].is_number_integer() ? std::to_string(c[field].get<int>()) : std::string("-");
    };
    const bool distributed = c.contains("ranks") && !c["ranks"].is_null();
    return c["program"].get<std::string>() + " " + (distributed ? count("ranks") + "x" : "") + count("threads");
}

std::vector<double> valid_samples(const json& c) {
    std::vector<double> samples;
    for (const auto& s : c["samples"])
        if (s["valid"].get<bool>() && s["reported_s"].is_number()) samples.push_back(s["reported_s"].get<double>());
    return samples;
}

}  // namespace

json to_json(const suite_options& options, const json& context, const std::vector<cell>& cells,
             const std::vector<cell_result>& results) {
    json out_cells = json::array();
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const cell& c = cells[i];
        const cell_result& r = results[i];
        json samples = json::array();
        for (const auto& s : c.samples)
            samples.push_back({{"reported_s", s.valid ? json(s.reported_s) : json(nullptr)},
                               {"wall_s", s.wall_s},
                               {"valid", s.valid},
                               {"reason", s.valid ? json(nullptr) : json(s.reason)}});
        const bool measured = r.valid_runs > 0;
        const auto stat = [measured](double value) { return measured ? json(value) : json(nullptr); };
        out_cells.push_back({
            {"program", c.program},
            {"threads", c.threads ? json(*c.threads) : json(nullptr)},
            {"ranks", c.ranks ? json(*c.ranks) : json(nullptr)},
            {"samples", samples},
            {"median_s", stat(r.reported.median)},
            {"min_s", stat(r.reported.min)},
            {"max_s", stat(r.reported.max)},
            {"mean_s", stat(r.reported.mean)},
            {"stddev_s", stat(r.reported.stddev)},
            {"cv", stat(r.reported.cv)},
            {"unstable", r.unstable},
            {"outliers", r.reported.outliers},
            {"median_wall_s", stat(r.wall.median)},
            {"gap_s", stat(r.wall.median - r.reported.median)},
            {"speedup", optional_json(r.scaled.speedup)},
            {"efficiency", optional_json(r.scaled.efficiency)},
            {"karp_flatt", optional_json(r.scaled.karp_flatt)},
            {"valid_runs", r.valid_runs},
            {"invalid_runs", r.invalid_runs},
        });
    }
    return {{"schema_version", 1}, {"context", context}, {"seed", options.seed}, {"cells", out_cells}};
}

std::string terminal_table(const std::vector<cell>& cells, const std::vector<cell_result>& results) {
    const auto rows = table_rows(cells, results);
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (std::size_t col = 0; col < row.size(); ++col) widths[col] = std::max(widths[col], width_of(row[col]));
    std::ostringstream out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t col = 0; col < rows[r].size(); ++col) {
            const std::string pad(widths[col] - width_of(rows[r][col]), ' ');
            // Names and notes read left to right; numbers line up on the right.
            const bool left = col == 0 || col + 1 == rows[r].size();
            line += (col ? "  " : "") + (left ? rows[r][col] + pad : pad + rows[r][col]);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << "\n";
        if (r == 0) {
            std::size_t total = 0;
            for (std::size_t w : widths) total += w + 2;
            out << std::string(total - 2, '-') << "\n";
        }
    }
    return out.str();
}

std::string markdown_table(const std::vector<cell>& cells, const std::vector<cell_result>& results) {
    const auto rows = table_rows(cells, results);
    std::ostringstream out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out << "|";
        for (const auto& field : rows[r]) out << " " << field << " |";
        out << "\n";
        if (r == 0) {
            out << "|";
            for (std::size_t col = 0; col < rows[r].size(); ++col) out << (col == 0 || col + 1 == rows[r].size() ? "---|" : "---:|");
            out << "\n";
        }
    }
    return out.str();
}

std::string csv_rows(const std::vector<cell>& cells) {
    std::ostringstream out;
    out << "program,ranks,threads,run,reported_s,wall_s,valid,reason\r\n";
    for (const auto& c : cells) {
        int run = 0;
        for (const auto& s : c.samples)
            out << csv_field(c.program) << "," << (c.ranks ? std::to_string(*c.ranks) : "") << ","
                << (c.threads ? std::to_string(*c.threads) : "") << ","
                << ++run << "," << (s.valid ? fixed(s.reported_s, 3) : "") << ","
                << fixed(s.wall_s, 6) << "," << (s.valid ? "true" : "false") << ","
                << csv_field(s.reason) << "\r\n";
    }
    return out.str();
}

std::string invalid_runs_text(const std::vector<cell>& cells) {
    std::ostringstream out;
    for (const auto& c : cells) {
        int run = 0;
        for (const auto& s : c.samples) {
            ++run;
            if (!s.valid)
                out << "invalid: " << cell_label(c) << " run " << run << ": " << s.reason << "\n";
        }
    }
    return out.str();
}

std::string context_text(const json& context, std::uint64_t seed) {
    std::ostringstream out;
    out << "processor: " << context["processor"].get<std::string>() << ", "
        << context["logical_cores"].get<unsigned>() << " logical cores\n"
        << "build: corvane " << context["version"].get<std::string>() << " ("
        << context["commit"].get<std::string>() << "), " << context["compiler"].get<std::string>() << ", "
        << context["build_type"].get<std::string>() << ", OpenMP runtime "
        << context["openmp_runtime"].get<std::string>() << "\n"
        << "flags: " << context["flags"].get<std::string>() << "\n";
    std::string omp;
    for (const auto& [name, value] : context["omp_variables"].items())
        omp += (omp.empty() ? "" : " ") + name + "=" + value.get<std::string>();
    out << "OMP_* in effect: " << (omp.empty() ? "none besides OMP_NUM_THREADS per cell" : omp) << "\n"
        << "runs per cell: " << context["runs"].get<int>() << " after " << context["warmup"].get<int>()
        << " warm-up; seed " << seed << "; " << context["date"].get<std::string>() << "\n";
    return out.str();
}

std::string plot_script(const std::vector<cell>& cells, const std::vector<cell_result>& results,
                        const std::string& svg_path) {
    std::map<std::string, std::vector<std::pair<int, double>>> series;
    int most_threads = 1;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const auto count = workers(cells[i]);
        if (!count) continue;
        most_threads = std::max(most_threads, *count);
        const std::string name = cells[i].program + (cells[i].ranks ? ", " + std::to_string(*cells[i].ranks) + " ranks" : "");
        if (results[i].scaled.speedup) series[name].emplace_back(*count, *results[i].scaled.speedup);
    }
    std::string quoted_path;
    for (char c : svg_path) quoted_path += c == '\'' ? std::string("''") : std::string(1, c);
    std::ostringstream out;
    out << "set terminal svg size 800,500 dynamic font 'sans,12' background rgb 'white'\n"
        << "set output '" << quoted_path << "'\n"
        << "set title 'Speedup against the serial program of the same order'\n"
        << "set xlabel 'threads (ranks x threads for corvane-mpi)'\nset ylabel 'speedup'\nset grid\nset key left top\n"
        << "set xrange [0.8:" << most_threads + 0.2 << "]\nset yrange [0:*]\nset xtics 1\n"
        << "plot x title 'ideal' with lines dashtype 2 linecolor rgb 'gray'";
    for (const auto& [program, points] : series) out << ", '-' with linespoints pointtype 7 title '" << program << "'";
    out << "\n";
    for (const auto& [program, points] : series) {
        for (const auto& [threads, speedup] : points) out << threads << " " << speedup << "\n";
        out << "e\n";
    }
    return out.str();
}

std::string compare_text(const json& old_result, const json& new_result) {
    std::map<std::string, json> old_cells;
    for (const auto& c : old_result["cells"]) old_cells[key_of(c)] = c;
    std::ostringstream out;
    out << "cell                           old median  new median   ratio   p-value  verdict\n";
    double log_sum = 0.0;
    int compared = 0;
    std::map<std::string, bool> matched;
    for (const auto& c : new_result["cells"]) {
        const std::string key = key_of(c);
        char line[256];
        const auto old = old_cells.find(key);
        if (old == old_cells.end()) {
            std::snprintf(line, sizeof line, "%-30s only in the new result\n", key.c_str());
            out << line;
            continue;
        }
        matched[key] = true;
        const auto before = valid_samples(old->second), after = valid_samples(c);
        if (before.empty() || after.empty()) {
            std::snprintf(line, sizeof line, "%-30s no valid runs to compare\n", key.c_str());
            out << line;
            continue;
        }
        const double old_median = median_of(before), new_median = median_of(after);
        const double ratio = new_median / old_median;
        const double p = mann_whitney_p(before, after);
        const char* verdict = p >= 0.05 ? "no significant change" : ratio < 1.0 ? "faster" : "slower";
        std::snprintf(line, sizeof line, "%-30s %10.3f  %10.3f  %6.3f  %8.4f  %s\n", key.c_str(), old_median,
                      new_median, ratio, p, verdict);
        out << line;
        if (ratio > 0.0 && std::isfinite(ratio)) {
            log_sum += std::log(ratio);
            ++compared;
        }
    }
    for (const auto& [key, c] : old_cells) {
        if (matched.count(key)) continue;
        char line[256];
        std::snprintf(line, sizeof line, "%-30s only in the old result\n", key.c_str());
        out << line;
    }
    if (compared > 0)
        out << "geometric mean of ratios (new / old, below 1 is faster): "
            << fixed(std::exp(log_sum / compared), 3) << " over " << compared << " cells\n";
    else
        out << "no cell with valid runs in both results\n";
    return out.str();
}

}  // namespace corvane::bench
