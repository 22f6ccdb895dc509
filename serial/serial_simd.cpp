// corvane-serial-simd: one thread, the four-lane order of a vectorised loop.
#include "core/corvane.hpp"

int CORVANE_ENTRY() {
    using namespace corvane;
    return run("corvane-serial-simd", summation_order::four_lane, serial_four_lane);
}
