#include <sstream>

#include "bench/report/report.hpp"

namespace corvane::bench {

std::string markdown_text(const std::string& text) {
    std::string out;
    for (char c : printable(text)) switch (c) {
            case '<':  // HTML, which renderers pass through
                out += "&lt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '|':  // would end a table's cell
            case '[':  // would open a link or, after !, an image
            case ']':
            case '\\':  // would escape what follows it
                out += '\\';
                out += c;
                break;
            default:
                out += c;
        }
    return out;
}

std::string markdown_table(const table& rows) {
    std::ostringstream out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out << "|";
        for (const auto& field : rows[r]) out << " " << markdown_text(field) << " |";
        out << "\n";
        if (r == 0) {
            out << "|";
            for (std::size_t col = 0; col < rows[r].size(); ++col)
                out << (col == 0 || col + 1 == rows[r].size() ? "---|" : "---:|");
            out << "\n";
        }
    }
    return out.str();
}

}  // namespace corvane::bench
