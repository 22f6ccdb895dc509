// corvane-serial: every term added to one running total in index order.
#include "corvane.hpp"

int CORVANE_ENTRY() { return corvane::run("corvane-serial", corvane::serial_strict); }
