#pragma once

#include <ostream>
#include <string>

#include "kernels/measurement.h"

namespace vellastron {

// Everything in which the three cluster phases differ.
struct PhaseParameters {
  const Kernel* kernel;
  bool opens_with_blank_line;
  const char* title;
  const char* seconds_text_console;
  const char* seconds_text_file;
  const char* rate_unit;
  const char* total_text;
  double megabytes_factor;  // 0: the phase has no MB/sec lines
  const char* average_unit_console;
  const char* average_unit_file;
  bool ends_with_blank_line;
};

// In the order the phases run: allocation power, low speed, high speed.
extern const PhaseParameters phase_parameters[3];

struct PhaseSums {
  double total_rate;
  double improvement;
  double average_rate;
};
extern PhaseSums phase_sums[3];

void write_phase_header(std::ostream& console, std::ostream& file, const PhaseParameters& phase);
void write_worker_lines(std::ostream& console, std::ostream& file, const PhaseParameters& phase,
                        int rank, const std::string& name, double seconds_spent, double rate);
void write_phase_summary(std::ostream& console, std::ostream& file, const PhaseParameters& phase,
                         const PhaseSums& sums);

// Root side of one phase: header, then each worker in rank order received and
// written at once, then the summary against the root's own baseline rate.
void report_cluster_phase(int phase, int world_size, double baseline_rate, std::ostream& console,
                          std::ostream& file);

}  // namespace vellastron
