#pragma once

#include <mpi.h>

namespace vellastron {

// Written once each by the start-up calls, read-only afterwards.
extern int thread_level_provided;
extern int world_size;
extern int world_rank;
extern char processor_name[MPI_MAX_PROCESSOR_NAME];
extern int processor_name_length;

}  // namespace vellastron
