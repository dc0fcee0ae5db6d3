#!/usr/bin/env bash
# Usage: bench/fidelity.sh [RUNS] [OUTPUT_DIR]
#
# Runs, alternately, a one-process job of the product and of the reference
# program (the same kernels between two MPI_Wtime calls and nothing else),
# RUNS times each (default 7), every process under /usr/bin/time -v. Then
# prints per kernel the median seconds of each and their ratio, the ratio of
# the whole-process wall times and the difference of the peak resident sizes.
# Every run's console, timings and results file stay in OUTPUT_DIR (default: a
# new directory under /tmp), one sub-directory per run.
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"

runs=${1:-7}
output=${2:-$(mktemp -d /tmp/vellastron-fidelity.XXXXXX)}
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "usage: $0 [RUNS] [OUTPUT_DIR]"
mkdir -p "$output"

build_bench_binaries
describe_machine >"$output/machine.txt"
cat "$output/machine.txt"
echo "runs: $runs of each, alternating; output in $output"

run_product() {
  run_quiet_job "$1" -- "$product_binary"
}
run_reference() {
  run_quiet_job "$1" -- "$reference_binary"
}

for ((round = 1; round <= runs; round++)); do
  # The order within a pair swaps every round, so that a drift of the
  # machine's load does not always favour the same program.
  if ((round % 2)); then order=(product reference); else order=(reference product); fi
  for program in "${order[@]}"; do
    echo "round $round, $program"
    "run_$program" "$output/$program-$round"
  done
done

python3 "$bench_dir/summarise.py" fidelity "$output" | tee "$output/summary.md"
