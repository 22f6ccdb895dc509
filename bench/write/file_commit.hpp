// File commit: texts already rendered written as one set, all or none. Streams
// (standard output, one of this process's descriptors, a FIFO, a device)
// are written first, since what they took cannot be taken back; each
// regular file goes to a temporary file beside its target, and only then,
// under a lock on the targets' directories, are they renamed into place,
// each old file linked aside so that a failed rename puts back the ones
// before it. A failure leaves every regular file as it was.
#pragma once

#include <functional>
#include <string>
#include <vector>

// note_closed_standard_descriptors() and was_closed_at_start(), for main.
#include "bench/write/export_paths.hpp"

namespace corvane::bench {

struct pending_file {
    std::string option;  // --json, --csv, ...: for messages
    std::string path;    // "-" is standard output
    std::string text;
};

// Usage problems, found before any run by trying what the write will do:
// an empty path, two exports to one target ("-", /dev/stdout and /dev/fd/1
// are one), a target that is one of the `inputs` (by device and inode, so
// through any link), a directory, a loop of symbolic links, a link of
// another user in a sticky world-writable directory, a descriptor not open
// for writing, a name too long, a directory where no temporary file can be
// made, a file that cannot be linked aside or is a mount point (nothing
// can be renamed over it). Leaves no file behind. An empty string if there
// are none.
std::string check_targets(const std::vector<pending_file>& files,
                          const std::vector<std::string>& inputs = {});

// The problem of the first export to a descriptor that was closed at the
// start (`--json - >&-`), or an empty string.
std::string closed_target(const std::vector<pending_file>& files);

struct commit_outcome {
    std::string problem;     // empty when every export was written
    int interrupted_by = 0;  // the signal that stopped the writing
};

// What tests change: a writer stalled between two renames, a short wait.
struct commit_seams {
    std::function<void()> between_renames;
    double lock_wait_s = 30;  // for another run writing to the same directories
};

// Writes every file or, when it fails or is interrupted, replaces none. A
// symbolic link is followed (its target is replaced, the link stays),
// except one of another user in a sticky, world-writable directory; a
// path naming one of this process's open descriptors (/dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N) is written through it, keeping
// its append mode. Waiting for a FIFO's reader or for the lock ends on an
// interrupt (process::interrupted_by()).
commit_outcome commit_files(const std::vector<pending_file>& files, const commit_seams& seams = {});

// Whether an export goes to standard output ("-", /dev/stdout, /dev/fd/1).
bool any_to_stdout(const std::vector<pending_file>& files);

}  // namespace corvane::bench
