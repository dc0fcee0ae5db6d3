#pragma once

#include <ostream>

namespace vellastron {

// The root's own figures for each kernel, in the order allocation power, low
// speed, high speed; the rates are the reference of the cluster phases.
extern double baseline_spent[3];
extern double baseline_rate[3];

// Times the three kernels once on this process and writes the baseline
// report to both channels.
void run_baseline(std::ostream& console, std::ostream& file);

}  // namespace vellastron
