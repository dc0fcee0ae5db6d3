# shellcheck shell=bash
# Shared part of the benchmark scripts; sourced by fidelity.sh and scaling.sh.
#
# Builds, in a tree of its own (build/bench-openmpi unless
# VELLASTRON_BENCH_BUILD says otherwise), the product in its Release
# configuration, the reference program and the test-only MPI profiling
# library, so that a series is never measured against a binary that someone
# else is rebuilding in build/openmpi at the same moment.

project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_dir="$project_root/bench"
bench_build=${VELLASTRON_BENCH_BUILD:-$project_root/build/bench-openmpi}
# shellcheck disable=SC2034  # used by the scripts that source this file
product_binary="$bench_build/vellastron-memory"
reference_binary="$bench_build/bench/reference_kernels"
shim_library="$bench_build/bench/libmpi_test_shim.so"

# Seconds a single job may take before it is killed.
job_timeout=${VELLASTRON_BENCH_TIMEOUT:-600}
# Longest wait for the machine to become quiet before a run.
quiet_wait=${VELLASTRON_BENCH_QUIET_WAIT:-300}
# A run during which other work kept more than this many cores busy on
# average is set aside (in DIR/discarded) and taken again, at most
# noisy_retries times; the last attempt is kept whatever its noise.
max_other_cores=${VELLASTRON_BENCH_MAX_OTHER_CORES:-0.25}
noisy_retries=${VELLASTRON_BENCH_RETRIES:-4}

die() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

need_commands() {
  local command
  for command in "$@"; do
    command -v "$command" >/dev/null 2>&1 || die "needs $command"
  done
}

build_bench_binaries() {
  need_commands cmake mpicc.openmpi mpicxx.openmpi mpirun.openmpi python3
  [ -x /usr/bin/time ] || die "needs /usr/bin/time (Debian package: time)"
  mkdir -p "$bench_build/bench"
  cmake -S "$project_root" -B "$bench_build" -DCMAKE_BUILD_TYPE=Release \
    -DVELLASTRON_BUILD_TESTS=OFF -DVELLASTRON_SANITIZE=OFF \
    -DMPI_C_COMPILER=mpicc.openmpi -DMPI_CXX_COMPILER=mpicxx.openmpi \
    -DMPIEXEC_EXECUTABLE="$(command -v mpirun.openmpi)" \
    >"$bench_build/bench/configure.log" 2>&1 ||
    { cat "$bench_build/bench/configure.log" >&2; die "configuration failed"; }
  cmake --build "$bench_build" --target vellastron-memory -j "$(nproc)" \
    >"$bench_build/bench/build.log" 2>&1 ||
    { cat "$bench_build/bench/build.log" >&2; die "build failed"; }
  # Only the kernels' object is taken from the core library: the reference
  # runs the product's own loops, compiled once, with the product's flags.
  mpicxx.openmpi -O3 -DNDEBUG -std=c++17 -DOMPI_SKIP_MPICXX -I"$project_root/src" \
    "$bench_dir/reference_kernels.cpp" "$bench_build/libvellastron_core.a" \
    -o "$reference_binary" || die "reference program failed to build"
  mpicc.openmpi -O2 -shared -fPIC "$project_root/tests/shim/mpi_test_shim.c" \
    -o "$shim_library" || die "profiling library failed to build"
}

# Non-idle jiffies of the whole machine since boot.
machine_busy_jiffies() {
  awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat
}

# Cores kept busy by other work, averaged over SECONDS (default 2).
machine_busy_cores() {
  local seconds=${1:-2} before after
  before=$(machine_busy_jiffies)
  sleep "$seconds"
  after=$(machine_busy_jiffies)
  awk -v b="$before" -v a="$after" -v s="$seconds" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.2f\n", (a - b) / hz / s }'
}

other_benchmark_jobs() {
  # Other people's test suites and benchmark processes; ours are not running
  # while this is called.
  pgrep -f 'vellastron-memory|reference_kernels' >/dev/null 2>&1 && return 0
  pgrep -x ctest >/dev/null 2>&1 && return 0
  return 1
}

# Waits until no other test suite or benchmark process runs and other work
# keeps at most max_other_cores busy, for at most quiet_wait seconds. Prints
# how long it waited and how busy the machine was when it went on.
wait_for_quiet_machine() {
  local waited=0 busy
  while :; do
    busy=$(machine_busy_cores 2)
    waited=$((waited + 2))
    if ! other_benchmark_jobs && awk -v b="$busy" -v m="$max_other_cores" 'BEGIN { exit !(b <= m) }'; then
      echo "quiet after ${waited}s (other work: $busy cores)"
      return 0
    fi
    if [ "$waited" -ge "$quiet_wait" ]; then
      echo "still busy after ${waited}s (other work: $busy cores); measuring anyway"
      return 0
    fi
    sleep 3
    waited=$((waited + 3))
  done
}

# run_timed_job DIR [ENV=VALUE...] -- PROGRAM : one job of one process under
# Open MPI's launcher, run in DIR (where the product writes its results file).
# The process itself runs under /usr/bin/time -v (DIR/time.txt); the launcher
# under /usr/bin/time as well (DIR/job-time.txt); console in DIR/console.txt.
# DIR/machine.txt gets the machine's busy jiffies before and after.
run_timed_job() {
  local dir=$1
  shift
  local launcher=(mpirun.openmpi -np 1)
  [ "$(id -u)" -eq 0 ] && launcher+=(--allow-run-as-root)
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    launcher+=(-x "$1")
    shift
  done
  shift
  mkdir -p "$dir"
  machine_busy_jiffies >"$dir/machine.txt"
  (
    cd "$dir" &&
      timeout "$job_timeout" /usr/bin/time -f "%e %U %S" -o "$dir/job-time.txt" \
        "${launcher[@]}" /usr/bin/time -v -o "$dir/time.txt" "$@" \
        </dev/null >"$dir/console.txt" 2>"$dir/stderr.txt"
  )
  local status=$?
  machine_busy_jiffies >>"$dir/machine.txt"
  [ "$status" -eq 0 ] || { cat "$dir/stderr.txt" >&2; die "job in $dir ended with status $status"; }
}

# Cores kept busy by everything but the job in DIR, on average while it ran.
other_cores_during() {
  local dir=$1
  awk -v hz="$(getconf CLK_TCK)" '
    FILENAME ~ /machine.txt$/ { jiffies[++n] = $1 }
    FILENAME ~ /job-time.txt$/ { wall = $(NF - 2); cpu = $(NF - 1) + $NF }
    END { others = ((jiffies[2] - jiffies[1]) / hz - cpu) / wall
          printf "%.2f\n", others < 0 ? 0 : others }' "$dir/machine.txt" "$dir/job-time.txt"
}

# run_quiet_job DIR [ENV=VALUE...] -- PROGRAM : run_timed_job after waiting
# for a quiet machine, taken again while other work disturbed it. Prints one
# line per attempt.
run_quiet_job() {
  local dir=$1 attempt others
  for ((attempt = 1; ; attempt++)); do
    echo "  $(basename "$dir"), attempt $attempt: $(wait_for_quiet_machine)"
    run_timed_job "$@"
    others=$(other_cores_during "$dir")
    if awk -v o="$others" -v m="$max_other_cores" 'BEGIN { exit !(o <= m) }'; then
      echo "  kept (other work during the run: $others cores)"
      return 0
    fi
    if [ "$attempt" -gt "$noisy_retries" ]; then
      echo "  kept although other work used $others cores during the run (no retries left)"
      return 0
    fi
    echo "  set aside: other work used $others cores during the run"
    mkdir -p "$(dirname "$dir")/discarded"
    mv "$dir" "$(dirname "$dir")/discarded/$(basename "$dir")-attempt-$attempt"
  done
}

describe_machine() {
  echo "cpu: $(awk -F': ' '/^model name/ { name = $2 } /^cpu family/ { family = $2 }
    /^model\t/ { model = $2 } /^cpu MHz/ { mhz = $2 } /^flags/ { vm = $2 ~ /hypervisor/ }
    END { printf "%s (family %s, model %s, %.0f MHz)%s", name, family, model, mhz,
          vm ? ", virtual machine" : "" }' /proc/cpuinfo)"
  echo "cores: $(nproc)"
  echo "memory: $(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "kernel: $(uname -sr)"
  echo "os: $( (. /etc/os-release && echo "$PRETTY_NAME") 2>/dev/null)"
  echo "compiler: $(mpicxx.openmpi --version | head -n 1)"
  echo "mpi: $(mpirun.openmpi --version 2>&1 | head -n 1)"
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
}
