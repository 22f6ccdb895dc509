#include "bench/report/table.hpp"

#include <string>

#include "bench/run/suite.hpp"
