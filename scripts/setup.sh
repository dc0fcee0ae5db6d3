# Shared set-up of the project's scripts: installs what is missing from
# Debian's or Ubuntu's packages, and builds the benchmark.
# Sourced by run.sh and test.sh; not meant to be run on its own.

project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# ensure_packages PACKAGE... : installs the packages that are not installed yet.
# As root it uses apt-get; otherwise it prints the command to run and stops.
ensure_packages() {
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "Missing packages: ${missing[*]} (this script knows only apt-get; install them by hand)." >&2
    exit 1
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq </dev/null
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

run_packages=(g++ make cmake openmpi-bin libopenmpi-dev)

# build_benchmark IMPLEMENTATION [CMAKE ARGS...] : configures and builds
# build/IMPLEMENTATION with that MPI implementation's compiler wrappers and launcher.
build_benchmark() {
  local implementation=$1
  shift
  local build_dir="$project_root/build/$implementation"
  cmake -S "$project_root" -B "$build_dir" \
    -DMPI_C_COMPILER="mpicc.$implementation" \
    -DMPI_CXX_COMPILER="mpicxx.$implementation" \
    -DMPIEXEC_EXECUTABLE="$(command -v "mpirun.$implementation")" \
    "$@" >"$build_dir.configure.log" 2>&1 || { cat "$build_dir.configure.log" >&2; return 1; }
  cmake --build "$build_dir" -j "$(nproc)"
}
