// corvane-serial-simd: one thread, the four-lane order of a vectorised loop.
#include "corvane.hpp"

int CORVANE_ENTRY() { return corvane::run("corvane-serial-simd", corvane::serial_four_lane); }
