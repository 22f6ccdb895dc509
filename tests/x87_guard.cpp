// Compiled only by the test that proves an x87 build is refused.
#include "core/corvane.hpp"
