#!/usr/bin/env bash
# Installs what the tests need, builds everything once per MPI implementation
# (build/openmpi, build/mpich) and runs the whole suite with each.
set -euo pipefail
source "$(dirname "$0")/setup.sh"

ensure_packages "${run_packages[@]}" mpich libmpich-dev googletest libgtest-dev \
  iproute2 util-linux procps python3 python3-pytest python3-matplotlib \
  slurmctld slurmd slurm-client munge

# On CI the multi-host and Slurm tests must run, never be skipped.
if [ "${CI:-}" = true ]; then export VELLASTRON_MULTIHOST_REQUIRED=1; fi

failed=()
for implementation in openmpi mpich; do
  echo "=== $implementation ==="
  mkdir -p "$project_root/build"
  if ! build_benchmark "$implementation" -DVELLASTRON_BUILD_TESTS=ON; then
    failed+=("$implementation (build)")
    continue
  fi
  if ! (cd "$project_root/build/$implementation" && ctest --output-on-failure </dev/null); then
    failed+=("$implementation")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "All test suites passed."
