// The smallest program that times the three memory kernels: MPI start-up,
// each kernel between two MPI_Wtime calls, MPI shut-down. It links the
// kernels' own object from the product's core library, so the loops are the
// very machine code the product runs. fidelity.sh compares the product's
// one-process run against it.
#include <mpi.h>

#include <cstdio>

#include "kernels/memory_kernels.h"

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);

  struct {
    const char* name;
    void (*body)();
  } const kernels[] = {
      {"allocation_power_test", vellastron::allocation_power_test},
      {"low_speed_test", vellastron::low_speed_test},
      {"high_speed_test", vellastron::high_speed_test},
  };
  for (const auto& kernel : kernels) {
    double start = MPI_Wtime();
    kernel.body();
    double end = MPI_Wtime();
    std::printf("%s %.9f\n", kernel.name, end - start);
    std::fflush(stdout);
  }

  MPI_Finalize();
  return 0;
}
