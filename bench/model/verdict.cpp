#include "bench/model/verdict.hpp"

namespace corvane::bench {

const char* change_name(change c) {
    switch (c) {
        case change::faster:
            return "faster";
        case change::same:
            return "same";
        case change::slower:
            return "slower";
        case change::lost:
            return "lost runs";
        case change::only_in_new:
            return "only in the new result";
        case change::not_compared:
            return "not compared";
    }
    return "";
}

}  // namespace corvane::bench
