"""Shared helpers of the vellastron-report tests: running the command, and
running the real benchmark under the real launcher with the test-only MPI
profiling library preloaded into its ranks.

The build passes what the jobs need through the environment:
VELLASTRON_BINARY, VELLASTRON_SHIM, VELLASTRON_MPIEXEC and
VELLASTRON_MPI_FLAVOUR ("openmpi" or "mpich").
"""

import json
import math
import os
import pathlib
import subprocess
import sys
from dataclasses import dataclass

import pytest

HERE = pathlib.Path(__file__).resolve().parent
COMMAND = HERE.parent / "vellastron-report"
DATA = HERE / "data"
ITERATIONS = 16777216
RESULTS_PREFIX = "results_memory_windows_clusters_mac_mx @ "

# The package itself, for the few tests of its parts.
sys.path.insert(0, str(HERE.parent))

# 2024-11-05 09:41:07 in UTC: the start time of every scripted job.
EPOCH = 1730799667
STARTED = "2024-11-05T09:41:07"
TIME_TEXT = "local date 2024.11.05 time 09.41.07"


# Two MPI_Wtime readings per measurement, start then end: the root's three
# baseline kernels, or a worker's three phases. data/four-processes.txt and
# its console log were written by the benchmark with this job.
ROOT_CLOCK = [0, 0.25, 1, 1.5, 2, 3]
FOUR_PROCESSES = {
    "clocks": {0: ROOT_CLOCK,
               1: [0, 0.5, 0, 0.75, 0, 1.0],
               # 30% slower than its peers in the low speed phase only.
               2: [0, 0.49, 0, 0.975, 0, 0.96],
               3: [0, 0.52, 0, 0.78, 0, 1.04]},
    "names": {0: "node-00", 1: "node-a", 2: "node-b", 3: "node-b"},
}


def g(value):
    """value as the report writes it ("%g"), read back."""
    return float("%g" % value)


def seconds_of(readings, index):
    return readings[2 * index + 1] - readings[2 * index]


def rate_of(seconds):
    return math.inf if seconds == 0 else ITERATIONS / seconds


def millions(readings, index):
    """The millions per second of measurement index of a clock script."""
    return g(rate_of(seconds_of(readings, index)) / 1e6)


@dataclass
class Result:
    status: int
    stdout: str
    stderr: str

    @property
    def error_lines(self):
        return [line for line in self.stderr.splitlines() if line]


def report(*arguments, cwd=None):
    """Runs vellastron-report as a user would, through its own #! line."""
    finished = subprocess.run([str(COMMAND)] + [str(argument) for argument in arguments],
                              cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=300)
    return Result(finished.returncode, finished.stdout, finished.stderr)


def records(*files):
    """show --json of files that must all parse."""
    result = report("show", "--json", *files)
    assert result.status == 0, result.stderr
    return json.loads(result.stdout)


def number(value):
    """A figure from the JSON records, where infinity and not-a-number are strings."""
    return float(value) if isinstance(value, str) else value


def same_figure(actual, expected):
    actual = number(actual)
    if expected is None or actual is None:
        return actual is expected
    if math.isnan(expected):
        return math.isnan(actual)
    return actual == expected


@dataclass
class Job:
    console: str
    stderr: str
    results_files: list


class MpiLauncher:
    """Starts vellastron-memory jobs with the launcher options of the build's
    MPI implementation."""

    def __init__(self):
        names = ("VELLASTRON_BINARY", "VELLASTRON_SHIM", "VELLASTRON_MPIEXEC",
                 "VELLASTRON_MPI_FLAVOUR")
        missing = [name for name in names if not os.environ.get(name)]
        if missing:
            pytest.skip("real jobs need %s (set by the build's ctest)" % ", ".join(missing))
        self.binary, self.shim, self.mpiexec, self.flavour = (os.environ[n] for n in names)
        if self.flavour not in ("openmpi", "mpich"):
            pytest.fail("unknown MPI flavour %r" % self.flavour)

    def command(self, processes, settings):
        if self.flavour == "openmpi":
            command = [self.mpiexec]
            if os.geteuid() == 0:
                command.append("--allow-run-as-root")
            if processes > (os.cpu_count() or 1):
                command.append("--oversubscribe")
            command += ["-np", str(processes)]
            for name, value in settings.items():
                command += ["-x", "%s=%s" % (name, value)]
        else:
            command = [self.mpiexec, "-np", str(processes)]
            for name, value in settings.items():
                command += ["-genv", name, str(value)]
        return command + [self.binary]

    def run(self, directory, processes, clocks=None, names=None, extra=None):
        """Runs a job of at most 6 processes in directory. clocks and names map
        a rank to its scripted MPI_Wtime readings and its processor name."""
        assert processes <= 6
        settings = {"LD_PRELOAD": self.shim, "TZ": "UTC", "VELLASTRON_TEST_EPOCH": EPOCH}
        for rank, readings in (clocks or {}).items():
            settings["VELLASTRON_TEST_WTIME_%d" % rank] = ",".join(repr(r) for r in readings)
        for rank, name in (names or {}).items():
            settings["VELLASTRON_TEST_NAME_%d" % rank] = name
        settings.update(extra or {})
        before = set(pathlib.Path(directory).iterdir())
        # stdin from /dev/null: the root's closing prompt then ends at once.
        finished = subprocess.run(self.command(processes, settings), cwd=directory,
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                  timeout=600)
        assert finished.returncode == 0, finished.stderr
        created = sorted(path for path in pathlib.Path(directory).iterdir()
                         if path not in before and path.name.startswith(RESULTS_PREFIX))
        return Job(finished.stdout, finished.stderr, created)


@pytest.fixture(scope="session")
def launcher():
    return MpiLauncher()
