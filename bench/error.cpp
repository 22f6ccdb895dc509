#include "bench/error.hpp"

#include "process/process.hpp"

namespace corvane::bench {

void stop_if_interrupted() {
    if (const int signo = process::interrupted_by()) throw interrupted{signo};
}

}  // namespace corvane::bench
