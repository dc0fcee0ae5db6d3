#!/usr/bin/env bash
# Usage: scripts/run.sh [PROCESSES]
# Installs what is missing, builds the benchmark and runs it under Open MPI's
# mpirun in the current directory, where the results file is written.
set -euo pipefail
source "$(dirname "$0")/setup.sh"

if [ $# -gt 1 ] || { [ $# -eq 1 ] && ! [[ $1 =~ ^[1-9][0-9]*$ ]]; }; then
  echo "usage: $0 [PROCESSES]" >&2
  exit 2
fi

ensure_packages "${run_packages[@]}"
mkdir -p "$project_root/build"
build_benchmark openmpi >/dev/null

cores=$(nproc)
if [ $# -eq 1 ]; then
  processes=$1
else
  # One process per core, at least 2, and about 1 GiB of free memory for each.
  processes=$(( cores < 2 ? 2 : cores ))
  available_kib=$(awk '/^MemAvailable:/ {print $2}' /proc/meminfo)
  memory_limit=$(( available_kib / 1048576 ))
  [ "$memory_limit" -lt 1 ] && memory_limit=1
  [ "$processes" -gt "$memory_limit" ] && processes=$memory_limit
fi

command=(mpirun.openmpi)
[ "$(id -u)" -eq 0 ] && command+=(--allow-run-as-root)
[ "$processes" -gt "$cores" ] && command+=(--oversubscribe)
command+=(-np "$processes" "$project_root/build/openmpi/vellastron-memory")

echo "${command[*]}"
if [ -t 0 ]; then
  exec "${command[@]}"
else
  # mpirun forwards standard input to rank 0; a closed one would leave the
  # final prompt waiting forever, an empty one ends it at once.
  exec "${command[@]}" </dev/null
fi
