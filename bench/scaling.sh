#!/usr/bin/env bash
# Usage: bench/scaling.sh [RUNS] [OUTPUT_DIR]
#
# The root's reporting cost against the number of workers, simulated: every
# job is one real process with the test-only MPI profiling library preloaded
# and VELLASTRON_TEST_SIMULATED_SIZE=N, so that MPI_Comm_size answers N and
# each receive from one of the N-1 nonexistent workers is answered at once
# with a made-up message. The root runs its baseline for real, then reports
# three phases of N-1 workers. No worker process, no network.
#
# Sizes: VELLASTRON_BENCH_SIZES (default "1 512 1024 2048 4096"), RUNS jobs
# each (default 5), taken round by round so that every size sees the same
# drift of the machine. The console goes to a file in each run's directory.
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"

runs=${1:-5}
output=${2:-$(mktemp -d /tmp/vellastron-scaling.XXXXXX)}
read -r -a sizes <<<"${VELLASTRON_BENCH_SIZES:-1 512 1024 2048 4096}"
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "usage: $0 [RUNS] [OUTPUT_DIR]"
mkdir -p "$output"

build_bench_binaries
describe_machine >"$output/machine.txt"
cat "$output/machine.txt"
echo "sizes: ${sizes[*]}; runs: $runs of each; output in $output"

for ((round = 1; round <= runs; round++)); do
  # Each round starts at a different size, so no size always runs first.
  count=${#sizes[@]}
  for ((k = 0; k < count; k++)); do
    size=${sizes[(k + round - 1) % count]}
    dir="$output/size-$size-$round"
    echo "round $round, size $size"
    run_quiet_job "$dir" "LD_PRELOAD=$shim_library" "VELLASTRON_TEST_SIMULATED_SIZE=$size" \
      -- "$product_binary"
    # A report that is not whole is no measurement.
    lines=$(grep -c '^Thread:.* Secs\. $' "$dir/console.txt" || true)
    [ "$lines" -eq $((3 * (size - 1))) ] ||
      die "size $size, round $round: $lines worker lines instead of $((3 * (size - 1)))"
  done
done

python3 "$bench_dir/summarise.py" scaling "$output" | tee "$output/summary.md"
