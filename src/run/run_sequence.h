#pragma once

namespace vellastron {

// The whole run of one process: start-up, admission checks, the blocks of the
// root or of a worker, shutdown. Returns the process's exit status.
int run_memory_benchmark(int* argc, char*** argv);

}  // namespace vellastron
