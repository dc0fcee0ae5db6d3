#!/bin/sh
#SBATCH --job-name=vellastron
#SBATCH --nodes=3
#SBATCH --ntasks-per-node=2
#SBATCH --output=vellastron-%j.out
#SBATCH --error=vellastron-%j.err
#
# The memory benchmark across the job's nodes, started by Open MPI's mpirun,
# which reads the nodes and the number of processes from the allocation:
#   sbatch openmpi.sbatch [BENCHMARK]
# BENCHMARK defaults to build/openmpi/vellastron-memory in the folder sbatch
# is run from. The report goes to vellastron-JOBID.out; the results file is
# written to the same folder, the job's working directory, by rank 0 on the
# first node. Standard input is /dev/null, so that the report's closing
# "Press Enter to Exit." returns at once.
exec mpirun "${1:-build/openmpi/vellastron-memory}" </dev/null
