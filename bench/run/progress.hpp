// The progress line: shown only where a person watches standard error,
// each note replacing the last, and what it says of the time left, an
// estimate from the runs made so far, since the suite cannot know how long
// the rest will take.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvane::bench {

// Seconds the remaining runs should take, each cell making `rounds` runs in
// all: every remaining run at the median wall time of its cell so far, or of
// all runs so far where its cell has made none, and never more than the
// timeout. Nothing before the first run has finished.
std::optional<double> remaining_estimate_s(const std::vector<std::vector<double>>& wall_s_by_cell, int rounds,
                                           double timeout_s);

// "ETA ~42 s", "ETA ~3 min 05 s", "ETA ~2 h 10 min"; "" without an estimate.
std::string eta_text(const std::optional<double>& seconds);

// Replaces the progress line with `note`, where standard error is a
// terminal; clear_progress() leaves the line empty, ready for other text.
void show_progress(const std::string& note);
void clear_progress();

}  // namespace corvane::bench
