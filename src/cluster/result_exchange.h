#pragma once

#include "cluster/rank_tables.h"
#include "kernels/measurement.h"

namespace vellastron {

// Worker side of one phase: times the kernel, records the figures at the
// worker's own index of table and sends the root its four messages (rates,
// seconds, processor name, ranks), each a blocking send to rank 0, tag 0.
void send_phase_results(const Kernel& kernel, RankTable& table, int world_rank, int world_size,
                        const char* processor_name, int processor_name_length);

// Root side for worker v: the four receives from v, in the order sent, and
// worker v's name stored in the phase's WorkerNames.
void receive_worker_results(int phase, int v, int world_size);

}  // namespace vellastron
