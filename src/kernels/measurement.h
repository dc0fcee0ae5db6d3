#pragma once

#include <mpi.h>

#include <new>

namespace vellastron {

struct Kernel {
  const char* name;
  void (*body)();
};

extern const Kernel allocation_power_kernel;
extern const Kernel low_speed_kernel;
extern const Kernel high_speed_kernel;

struct Measurement {
  double start_time;
  double seconds_spent;
  double rate;  // operations per second
};

// Thrown when a kernel cannot get its memory; names the kernel.
class kernel_out_of_memory : public std::bad_alloc {
 public:
  explicit kernel_out_of_memory(const char* kernel_name) : kernel_name_(kernel_name) {}
  const char* kernel_name() const noexcept { return kernel_name_; }
  const char* what() const noexcept override { return "out of memory in a kernel"; }

 private:
  const char* kernel_name_;
};

double rate_of(double seconds_spent);
double millions_per_second(double rate);
double megabytes_per_second(double rate, double megabytes_factor);

// Times one run of a kernel. record_start(start_time) is the caller's few
// stores; they lie inside the timed interval, as does the kernel, and nothing
// else does. Writes nothing.
template <typename RecordStart>
Measurement measure(const Kernel& kernel, RecordStart&& record_start) {
  Measurement measurement{};
  measurement.start_time = MPI_Wtime();
  record_start(measurement.start_time);
  try {
    kernel.body();
  } catch (const std::bad_alloc&) {
    throw kernel_out_of_memory(kernel.name);
  }
  double end_time = MPI_Wtime();
  measurement.seconds_spent = end_time - measurement.start_time;
  measurement.rate = rate_of(measurement.seconds_spent);
  return measurement;
}

inline Measurement measure(const Kernel& kernel) {
  return measure(kernel, [](double) {});
}

}  // namespace vellastron
