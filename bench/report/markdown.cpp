#include <sstream>

#include "bench/report/report.hpp"

namespace corvane::bench {

std::string markdown_table(const table& rows) {
    std::ostringstream out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out << "|";
        for (const auto& field : rows[r]) {
            std::string escaped;  // a | inside a field would end the cell
            for (char c : field) escaped += c == '|' ? std::string("\\|") : std::string(1, c);
            out << " " << escaped << " |";
        }
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
