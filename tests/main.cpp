#include <gtest/gtest.h>

#include "core/corvane.hpp"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    corvane::set_step();  // as every program's driver does before timing
    return RUN_ALL_TESTS();
}
