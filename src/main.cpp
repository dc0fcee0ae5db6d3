#include "run/run_sequence.h"

int main(int argc, char** argv) { return vellastron::run_memory_benchmark(&argc, &argv); }
