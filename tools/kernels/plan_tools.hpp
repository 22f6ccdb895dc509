// The plan seen from outside: what a program would choose here and why,
// and how often fresh processes choose the same.
#pragma once

#include <string>

#include "core/corvane.hpp"

namespace corvane::kernels {

// Both orders' plans with every candidate's time. Returns the exit status.
int print_plan();

// What a program does first thing: plan its order, cold. Prints the choice.
int plan_cold(summation_order order);

// How often `starts` fresh processes of the program at self (this one, run
// with --plan-cold) choose each kernel, per order and condition.
int repeat_plan(const std::string& self, int starts);

}  // namespace corvane::kernels
