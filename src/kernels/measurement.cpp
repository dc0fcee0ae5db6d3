#include "kernels/measurement.h"

#include "kernels/memory_kernels.h"

namespace vellastron {

const Kernel allocation_power_kernel{"allocation_power_test", allocation_power_test};
const Kernel low_speed_kernel{"low_speed_test", low_speed_test};
const Kernel high_speed_kernel{"high_speed_test", high_speed_test};

double rate_of(double seconds_spent) { return 16777216.0 / seconds_spent; }

double millions_per_second(double rate) { return rate / 1000000.0; }

double megabytes_per_second(double rate, double megabytes_factor) {
  return rate * megabytes_factor * 0.0009765625 * 0.0009765625;
}

}  // namespace vellastron
