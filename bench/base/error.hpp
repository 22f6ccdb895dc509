// The one error style of corvane-bench: a usage or setup problem is thrown
// where it is found, as a message and the exit status it means, and main
// alone reports it, as one line on standard error. An invalid run is not an
// error: its reason is data, kept in the results.
//
// An interrupt (SIGINT, SIGTERM, SIGHUP, caught by the process library) is
// learnt one way: the harness asks stop_if_interrupted() (run/suite.hpp)
// between its steps, which throws `interrupted`, and main says so once and
// writes nothing.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane::bench {

inline constexpr int usage_problem = 2;  // nothing run, no file touched
inline constexpr int not_written = 3;    // results not written, no file changed
inline constexpr int slower_found = 4;   // compare --fail-on-slower: a cell significantly slower
// compare --fail-on-slower: a cell of OLD missing in NEW or with an invalid
// run there (a timeout, a crash, a wrong value). Distinct from 4, since a
// hang says nothing about speed, and a CI log should say which it was.
inline constexpr int runs_lost = 5;

struct bench_error : std::runtime_error {
    int status;
    explicit bench_error(const std::string& message, int exit_status = usage_problem)
        : std::runtime_error(message), status(exit_status) {}
};

struct interrupted {
    int signo;
};

}  // namespace corvane::bench
