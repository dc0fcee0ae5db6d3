#pragma once

#include <mpi.h>

#include <string>

namespace vellastron {

// The largest job admitted, and the capacity of every table indexed by rank.
constexpr int max_ranks = 4096;
constexpr int phase_count = 3;

// A worker's record of its own measurement in one phase; only its own index
// is ever written, every other entry stays 0 and is sent as such.
struct RankTable {
  double start_time[max_ranks];
  double seconds_spent[max_ranks];
  double rate[max_ranks];
};

// What the root receives from one worker in one phase.
struct ReceiveTable {
  double rate[max_ranks];
  double seconds_spent[max_ranks];
};

// Per phase, in the order allocation power, low speed, high speed.
extern RankTable rank_tables[phase_count];
extern ReceiveTable receive_tables[phase_count];
// Shared by the three phases.
extern int rank_ids[max_ranks];
extern int received_rank_ids[max_ranks];
extern char name_buffer[MPI_MAX_PROCESSOR_NAME];
extern MPI_Status receive_status;
// The root's record of the workers' processor names in one phase: entry v is
// worker v's name, entry 0 stays empty.
struct WorkerNames {
  std::string name[max_ranks];
};
extern WorkerNames worker_names[phase_count];

}  // namespace vellastron
