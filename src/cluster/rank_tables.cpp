#include "cluster/rank_tables.h"

namespace vellastron {

RankTable rank_tables[phase_count] = {};
ReceiveTable receive_tables[phase_count] = {};
int rank_ids[max_ranks] = {};
int received_rank_ids[max_ranks] = {};
char name_buffer[MPI_MAX_PROCESSOR_NAME] = {};
MPI_Status receive_status;
WorkerNames worker_names[phase_count];

}  // namespace vellastron
