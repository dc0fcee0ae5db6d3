#include "run/process_state.h"

namespace vellastron {

int thread_level_provided = 0;
int world_size = 0;
int world_rank = 0;
char processor_name[MPI_MAX_PROCESSOR_NAME] = {};
int processor_name_length = 0;

}  // namespace vellastron
