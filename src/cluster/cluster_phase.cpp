#include "cluster/cluster_phase.h"

#include "cluster/rank_tables.h"
#include "cluster/result_exchange.h"

namespace vellastron {

const PhaseParameters phase_parameters[3] = {
    {&allocation_power_kernel, false, "Power of Memory Allocation.", "This thread spent: ",
     "This thread spent: ", " Millions Allocations/sec.", "Overall, it was: ", 0.0,
     " Millions Allocations/sec.", " Millions Allocations/sec.", true},
    {&low_speed_kernel, true, "Low speeds:", "The system spent: ", "The spent: ",
     " Millions Executions/sec.", "Overall, It was: ", 16.0,
     " Millions Millions Executions/sec.", " Millions Allocations/sec.", true},
    {&high_speed_kernel, true, "High speeds:", "The system spent: ", "The system spent: ",
     " Millions Executions/sec.", "Overall, It was: ", 8.0, " Millions Millions Executions/sec.",
     " Millions Allocations/sec.", false},
};

PhaseSums phase_sums[3] = {};

namespace {

const char* const average_text_console = "Among all nodes, the average per thread was: ";
const char* const average_text_file = "Among all nodes, the average per thread  was: ";

bool has_megabytes(const PhaseParameters& phase) { return phase.megabytes_factor != 0.0; }

void write_megabytes_line(std::ostream& channel, const PhaseParameters& phase, double rate) {
  channel << "Conventionally, it was: " << megabytes_per_second(rate, phase.megabytes_factor)
          << " MB/sec." << std::endl;
}

// One channel's lines of a worker.
void write_worker_block(std::ostream& channel, const char* seconds_text,
                        const PhaseParameters& phase, int rank, const std::string& name,
                        double seconds_spent, double rate) {
  channel << "Thread:" << rank << " @" << name << " " << seconds_text << seconds_spent << " Secs. "
          << std::endl;
  channel << "Thread:" << rank << " @" << name << " It was: " << millions_per_second(rate)
          << phase.rate_unit << std::endl;
  if (has_megabytes(phase)) write_megabytes_line(channel, phase, rate);
}

void write_total_block(std::ostream& channel, const PhaseParameters& phase, double total_rate) {
  channel << std::endl;
  channel << phase.total_text << millions_per_second(total_rate) << phase.rate_unit << std::endl;
  if (has_megabytes(phase)) {
    write_megabytes_line(channel, phase, total_rate);
    channel << std::endl;
  }
}

void write_average_block(std::ostream& channel, const char* average_text, const char* unit,
                         const PhaseParameters& phase, double average_rate) {
  channel << std::endl;
  channel << average_text << millions_per_second(average_rate) << unit << std::endl;
  if (has_megabytes(phase)) write_megabytes_line(channel, phase, average_rate);
}

}  // namespace

void write_phase_header(std::ostream& console, std::ostream& file, const PhaseParameters& phase) {
  if (phase.opens_with_blank_line) {
    console << std::endl;
    file << std::endl;
    console << "Multi-Thread Enabled:" << std::endl << std::endl;
    file << "Multi-Thread Enabled:" << std::endl << std::endl;
  } else {
    console << "Multi-Thread Enabled:" << std::endl;
    file << "Multi-Thread Enabled:" << std::endl;
    console << std::endl;
    file << std::endl;
  }
  console << phase.title << std::endl;
  file << phase.title << std::endl;
}

void write_worker_lines(std::ostream& console, std::ostream& file, const PhaseParameters& phase,
                        int rank, const std::string& name, double seconds_spent, double rate) {
  write_worker_block(console, phase.seconds_text_console, phase, rank, name, seconds_spent, rate);
  write_worker_block(file, phase.seconds_text_file, phase, rank, name, seconds_spent, rate);
}

void write_phase_summary(std::ostream& console, std::ostream& file, const PhaseParameters& phase,
                         const PhaseSums& sums) {
  write_total_block(console, phase, sums.total_rate);
  write_total_block(file, phase, sums.total_rate);
  console << "Multi-Thread Improvements: " << sums.improvement << " times." << std::endl;
  file << "Multi-Thread Improvements: " << sums.improvement << " times." << std::endl;
  write_average_block(console, average_text_console, phase.average_unit_console, phase,
                      sums.average_rate);
  write_average_block(file, average_text_file, phase.average_unit_file, phase, sums.average_rate);
  if (phase.ends_with_blank_line) {
    console << std::endl;
    file << std::endl;
  }
}

void report_cluster_phase(int phase, int world_size, double baseline_rate, std::ostream& console,
                          std::ostream& file) {
  const PhaseParameters& parameters = phase_parameters[phase];
  PhaseSums& sums = phase_sums[phase];
  write_phase_header(console, file, parameters);
  for (int i = 1; i < world_size; ++i) {
    receive_worker_results(phase, i, world_size);
    sums.total_rate += receive_tables[phase].rate[i];
    write_worker_lines(console, file, parameters, received_rank_ids[i],
                       worker_names[phase].name[i], receive_tables[phase].seconds_spent[i],
                       receive_tables[phase].rate[i]);
  }
  sums.improvement = sums.total_rate / baseline_rate;
  sums.average_rate = sums.total_rate / static_cast<double>(world_size - 1);
  write_phase_summary(console, file, parameters, sums);
}

}  // namespace vellastron
