// corvane-serial: every term added to one running total in index order.
#include "core/corvane.hpp"

int CORVANE_ENTRY() {
    using namespace corvane;
    return run("corvane-serial", summation_order::strict, serial_strict);
}
