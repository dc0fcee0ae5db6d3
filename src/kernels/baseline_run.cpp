#include "kernels/baseline_run.h"

#include "kernels/measurement.h"

namespace vellastron {

double baseline_spent[3] = {};
double baseline_rate[3] = {};

namespace {

struct BaselineTexts {
  const Kernel* kernel;
  const char* title;
  bool title_before_measurement;
  const char* rate_unit;
  double megabytes_factor;  // 0: the kernel has no MB/sec figure
  int blank_lines_in_block;
  int blank_lines_after_block;  // written on the console, then in the file
};

const BaselineTexts baseline_texts[3] = {
    {&allocation_power_kernel, "Power of Memory Allocation.", true, " Millions Allocations/sec.",
     0.0, 0, 1},
    {&low_speed_kernel, "Low speeds:", false, " Millions Executions/sec.", 16.0, 1, 0},
    {&high_speed_kernel, "High speeds:", false, " Millions Executions/sec.", 8.0, 1, 1},
};

void write_measurement_lines(std::ostream& channel, const BaselineTexts& texts,
                             const Measurement& measurement) {
  if (!texts.title_before_measurement) channel << texts.title << std::endl;
  channel << "The system spent: " << measurement.seconds_spent << " Secs. " << std::endl;
  channel << "It was: " << millions_per_second(measurement.rate) << texts.rate_unit << std::endl;
  if (texts.megabytes_factor != 0.0) {
    channel << "Conventionally, it was: "
            << megabytes_per_second(measurement.rate, texts.megabytes_factor) << " MB/sec."
            << std::endl;
  }
  for (int blank = 0; blank < texts.blank_lines_in_block; ++blank) channel << std::endl;
}

}  // namespace

void run_baseline(std::ostream& console, std::ostream& file) {
  for (int index = 0; index < 3; ++index) {
    const BaselineTexts& texts = baseline_texts[index];
    if (texts.title_before_measurement) {
      console << texts.title << std::endl;
      file << texts.title << std::endl;
    }
    Measurement measurement = measure(*texts.kernel);
    baseline_spent[index] = measurement.seconds_spent;
    baseline_rate[index] = measurement.rate;
    write_measurement_lines(console, texts, measurement);
    write_measurement_lines(file, texts, measurement);
    for (int blank = 0; blank < texts.blank_lines_after_block; ++blank) {
      console << std::endl;
      file << std::endl;
    }
  }
}

}  // namespace vellastron
