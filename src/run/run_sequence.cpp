#include "run/run_sequence.h"

#include <mpi.h>

#include <cstdlib>
#include <iostream>

#include "cluster/cluster_phase.h"
#include "cluster/rank_tables.h"
#include "cluster/result_exchange.h"
#include "kernels/baseline_run.h"
#include "kernels/measurement.h"
#include "run/process_state.h"
#include "run/report_blocks.h"
#include "run/results_file.h"

namespace vellastron {

namespace {

constexpr int root_rank = 0;
// A refused job measured nothing: a batch system must not record it as a success.
constexpr int refused_status = 1;
constexpr int unsaved_results_status = 1;

void start_up(int* argc, char*** argv) {
  MPI_Init_thread(argc, argv, MPI_THREAD_MULTIPLE, &thread_level_provided);
  MPI_Comm_size(MPI_COMM_WORLD, &world_size);
  MPI_Comm_rank(MPI_COMM_WORLD, &world_rank);
  MPI_Get_processor_name(processor_name, &processor_name_length);
}

// Returns true when the process may run; otherwise it has written its refusal.
bool admitted() {
  if (thread_level_provided != MPI_THREAD_MULTIPLE) {
    std::cout << thread_level_refusal_text << std::flush;
    return false;
  }
  if (world_size > max_ranks) {
    if (world_rank == root_rank) write_process_count_refusal(std::cout);
    return false;
  }
  return true;
}

[[noreturn]] void abort_out_of_memory(const kernel_out_of_memory& failure) {
  std::cerr << "vellastron-memory: rank " << world_rank << " (" << processor_name
            << "): out of memory in " << failure.kernel_name() << std::endl;
  MPI_Abort(MPI_COMM_WORLD, 1);
  std::exit(1);
}

// Returns false when the results file was not saved whole.
bool run_root() {
  write_banner_block();
  run_baseline(std::cout, results_file);
  if (world_size > 1) {
    for (int phase = 0; phase < phase_count; ++phase) {
      report_cluster_phase(phase, world_size, baseline_rate[phase], std::cout, results_file);
    }
  }
  return write_closing_block();
}

void run_worker() {
  for (int phase = 0; phase < phase_count; ++phase) {
    send_phase_results(*phase_parameters[phase].kernel, rank_tables[phase], world_rank,
                       world_size, processor_name, processor_name_length);
  }
}

}  // namespace

int run_memory_benchmark(int* argc, char*** argv) {
  start_up(argc, argv);
  if (!admitted()) {
    MPI_Finalize();
    return refused_status;
  }

  int status = 0;
  try {
    if (world_rank == root_rank) {
      if (!run_root()) status = unsaved_results_status;
    } else {
      run_worker();
    }
  } catch (const kernel_out_of_memory& failure) {
    abort_out_of_memory(failure);
  }

  MPI_Finalize();
  return status;
}

}  // namespace vellastron
