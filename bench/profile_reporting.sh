#!/usr/bin/env bash
# Usage: bench/profile_reporting.sh [SIMULATED_SIZE] [OUTPUT_DIR]
#
# Where the root's reporting time goes, in one simulated job (default 4096
# processes, as in scaling.sh): one run under perf (CPU-clock sampling, with
# call chains), whose samples after the baseline's last kernel are sorted by
# what they pass through, and one run under strace counting the write system
# calls per file descriptor. Neither run is a timing: both tools slow the
# process down. Needs perf (Debian: linux-perf) and strace.
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"

size=${1:-4096}
output=${2:-$(mktemp -d /tmp/vellastron-profile.XXXXXX)}
[[ $size =~ ^[1-9][0-9]*$ ]] || die "usage: $0 [SIMULATED_SIZE] [OUTPUT_DIR]"
need_commands perf strace
mkdir -p "$output"
build_bench_binaries

simulate=("LD_PRELOAD=$shim_library" "VELLASTRON_TEST_SIMULATED_SIZE=$size")
echo "perf run: $(wait_for_quiet_machine)"
run_timed_job "$output/perf" "${simulate[@]}" -- \
  perf record -q -e cpu-clock -F 5000 -g -o "$output/perf/perf.data" "$product_binary"
perf script -i "$output/perf/perf.data" -F time,ip,sym,dso >"$output/perf-script.txt" 2>/dev/null
echo "strace run: $(wait_for_quiet_machine)"
run_timed_job "$output/strace" "${simulate[@]}" -- \
  strace -e trace=write,writev -o "$output/strace.txt" "$product_binary"

python3 "$bench_dir/summarise.py" profile "$output" | tee "$output/summary.md"
