// The driver with its clock and standard output replaced: what it times,
// and the two lines it prints, read back as corvane-bench reads them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/corvane.hpp"
#include "core/report_lines.hpp"

using namespace corvane;

namespace {

int lines_written = 0;
std::vector<int> lines_written_at_reading;
std::vector<std::string> written;
std::int64_t now_ms = 0;

std::int64_t recording_clock() {
    lines_written_at_reading.push_back(lines_written);
    return now_ms += 1234;
}

bool recording_writer(const char* line) {
    ++lines_written;
    written.emplace_back(line);
    return true;
}

// Stands in for a billion terms: the strict-order total.
void strict_total(double& sum, std::int32_t) { sum = 0x1.7681cc9b2e10ap+31; }

}  // namespace

TEST(Driver, ReadsTheClockTwiceBeforeItPrintsAnything) {
    EXPECT_EQ(run("corvane-test", summation_order::strict, strict_total, recording_clock, recording_writer),
              0);
    // A console that blocks the first line must not count towards the time.
    EXPECT_EQ(lines_written_at_reading, (std::vector<int>{0, 0}));
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], "The value of PI is  3.141592653590\n");
    EXPECT_EQ(written[1], "The time to calculate PI was 1.234000 seconds\n");
}

TEST(ReportLines, PrintedLinesReadBackAsTheHarnessReadsThem) {
    EXPECT_EQ(value_line(0x1.921fb54442ea8p+1), "The value of PI is  3.141592653590");
    EXPECT_EQ(expected_value_line(), "The value of PI is  3.141592653590");
    EXPECT_EQ(value_line(0x1.921fb54442cep+1), "The value of PI is  3.141592653590");
    EXPECT_EQ(parse_time_line(time_line(0.594)), 0.594);
    EXPECT_EQ(parse_time_line("The time to calculate PI was 12.000000 seconds"), 12.0);
    for (const char* malformed : {
             "The time to calculate PI was 0.59 seconds",        // three decimals
             "The time to calculate PI was 0.5940000 seconds",   // seven
             "The time to calculate PI was .594000 seconds",     // no whole part
             "The time to calculate PI was -0.594000 seconds",   // a sign
             "The time to calculate PI was 0x1.000000 seconds",  // not decimal
             "The time to calculate PI was 0.594000 seconds ",   // trailing space
             "The time to calculate PI was 0.594000",            // no unit
             "The time was 1 s",
         })
        EXPECT_FALSE(parse_time_line(malformed)) << malformed;
}

TEST(ReportLines, AnyLengthOfLineIsReadWithoutRecursion) {
    // A regular expression recursing once per character overflowed the
    // stack on a line like this.
    const std::string long_line =
        "The time to calculate PI was " + std::string(300000, '0') + "1.000000 seconds";
    EXPECT_EQ(parse_time_line(long_line), 1.0);
    EXPECT_FALSE(parse_time_line("The time to calculate PI was " + std::string(300000, '9') + " seconds"));
}
