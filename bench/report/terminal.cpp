#include <algorithm>
#include <sstream>

#include "bench/report/report.hpp"

namespace corvane::bench {

namespace {

// Display width in characters, not bytes ("±" is two bytes of UTF-8).
std::size_t width_of(const std::string& text) {
    std::size_t width = 0;
    for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return width;
}

// Notes split after each ", ", the places where they may wrap.
std::vector<std::string> note_pieces(const std::string& notes) {
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start < notes.size();) {
        const auto comma = notes.find(", ", start);
        const auto end = comma == std::string::npos ? notes.size() : comma + 1;
        pieces.push_back(notes.substr(start, end - start));
        start = comma == std::string::npos ? end : comma + 2;
    }
    return pieces;
}

// The notes' pieces, and a piece wider than `width` split between its
// words: a long note wraps rather than widen the table.
std::vector<std::string> pieces_within(const std::string& notes, std::size_t width) {
    std::vector<std::string> pieces;
    for (const auto& piece : note_pieces(notes)) {
        if (width_of(piece) <= width) {
            pieces.push_back(piece);
            continue;
        }
        std::istringstream words(piece);
        for (std::string word; words >> word;) pieces.push_back(word);
    }
    return pieces;
}

// The notes as lines of at most `width` characters where they can be.
std::vector<std::string> wrapped(const std::string& notes, std::size_t width) {
    std::vector<std::string> lines{""};
    for (const auto& piece : pieces_within(notes, width)) {
        if (!lines.back().empty() && width_of(lines.back()) + 1 + width_of(piece) > width)
            lines.emplace_back();
        lines.back() += (lines.back().empty() ? "" : " ") + piece;
    }
    return lines;
}

}  // namespace

std::string terminal_table(const table& given, std::size_t max_width) {
    // Names, reasons and notes may come from a file or a program: nothing
    // of theirs reaches the terminal raw.
    table rows = given;
    for (auto& row : rows)
        for (auto& text : row) text = printable(text);
    const std::size_t last = rows[0].size() - 1;
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (std::size_t col = 0; col < row.size(); ++col)
            widths[col] = std::max(widths[col], width_of(row[col]));
    std::size_t before_last = 0;
    for (std::size_t col = 0; col < last; ++col) before_last += widths[col] + 2;
    if (max_width > before_last && last > 0) {
        std::size_t narrowest = width_of(rows[0][last]);  // no word is cut within itself
        for (const auto& row : rows)
            for (const auto& word : pieces_within(row[last], 0))
                narrowest = std::max(narrowest, width_of(word));
        widths[last] = std::max(narrowest, std::min(widths[last], max_width - before_last));
    }
    std::ostringstream out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t col = 0; col < last; ++col) {
            const std::string pad(widths[col] - width_of(rows[r][col]), ' ');
            // Names read left to right; numbers line up on the right.
            line += (col ? "  " : "") + (col == 0 ? rows[r][col] + pad : pad + rows[r][col]);
        }
        const auto notes = wrapped(rows[r][last], widths[last]);
        for (std::size_t n = 0; n < notes.size(); ++n) {
            std::string text =
                (n == 0 ? line : std::string(before_last - 2, ' ')) + (last ? "  " : "") + notes[n];
            text.erase(text.find_last_not_of(' ') + 1);
            out << text << "\n";
        }
        if (r == 0) out << std::string(before_last + widths[last], '-') << "\n";
    }
    return out.str();
}

std::string invalid_runs_text(const std::vector<cell>& cells) {
    std::ostringstream out;
    for (const auto& c : cells) {
        for (const auto& [run, reason] : invalid_runs_of(c))
            out << "invalid: " << cell_label(c) << " " << run << ": " << reason << "\n";
    }
    return out.str();
}

std::string warnings_text(const std::vector<std::string>& warnings) {
    std::string out;
    for (const auto& warning : warnings) out += "warning: " + printable(warning) + "\n";
    return out;
}

}  // namespace corvane::bench
