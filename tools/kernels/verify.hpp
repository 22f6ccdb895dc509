// corvane-kernels --verify: every term of every kernel against IEEE division.
#pragma once

namespace corvane::kernels {

// Prints one line per kernel; returns 1 if any term differs, else 0.
int verify_every_term();

}  // namespace corvane::kernels
