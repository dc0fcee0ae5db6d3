"""Results files and console logs written by the real benchmark under the
real launcher, with a scripted clock: the figures in them are known, and are
worked out here from the clock readings, not from the benchmark's output."""

import math
import re
import statistics
import struct

import pytest

from conftest import (FOUR_PROCESSES, ITERATIONS, ROOT_CLOCK, STARTED, TIME_TEXT, g, millions,
                      rate_of, records, report, same_figure, seconds_of)

PHASE_KEYS = ("allocation_power", "low_speed", "high_speed")
PHASE_NAMES = ("allocation power", "low speed", "high speed")
MB_FACTOR = {"allocation_power": None, "low_speed": 16.0, "high_speed": 8.0}

# Figures at the edges of the "%g" format: scientific notation both ways, a
# negative time, and infinite rates from a zero time, whose improvement over
# an infinite baseline rate is not a number.
TWO_PROCESSES = {
    "clocks": {0: [0, 1.234e-05, 0, 0.5, 4, 4],
               1: [0, 4e-05, 10, 9.5, 7, 7]},
    "names": {0: "node-00", 1: "edge node"},
}
ONE_PROCESS = {"clocks": {0: ROOT_CLOCK}, "names": {0: "node-00"}}


def megabytes(rate, key):
    factor = MB_FACTOR[key]
    return None if factor is None else g(rate * factor / 1024 / 1024)


def expected_record(processes, clocks, names):
    """The record that show --json must give for a job with these clocks."""
    baseline = {}
    for index, key in enumerate(PHASE_KEYS):
        seconds = seconds_of(clocks[0], index)
        rate = rate_of(seconds)
        baseline[key] = {"seconds": g(seconds), "millions_per_sec": g(rate / 1e6),
                         "mb_per_sec": megabytes(rate, key)}
    phases = {}
    for index, key in enumerate(PHASE_KEYS if processes > 1 else ()):
        total = 0.0
        workers = []
        for rank in range(1, processes):
            seconds = seconds_of(clocks[rank], index)
            rate = rate_of(seconds)
            total += rate
            workers.append({"rank": rank, "host": names[rank], "seconds": g(seconds),
                            "millions_per_sec": g(rate / 1e6),
                            "mb_per_sec": megabytes(rate, key)})
        rates = [worker["millions_per_sec"] for worker in workers]
        median = statistics.median(rates)
        for worker in workers:
            worker["relative_to_median"] = (worker["millions_per_sec"] / median
                                            if math.isfinite(median) else None)
        average = total / (processes - 1)
        phases[key] = {
            "median_millions_per_sec": median,
            "workers": workers,
            "summary": {"total_millions_per_sec": g(total / 1e6),
                        "total_mb_per_sec": megabytes(total, key),
                        "improvement": g(total / rate_of(seconds_of(clocks[0], index))),
                        "average_millions_per_sec": g(average / 1e6),
                        "average_mb_per_sec": megabytes(average, key)}}
    return {"host": names[0], "started": STARTED, "processes": processes,
            "baseline": baseline, "phases": phases}


def assert_matches(actual, expected, where="record"):
    """Every figure of expected is in actual with the same value (nan
    matching nan); texts and counts are equal."""
    if isinstance(expected, dict):
        assert set(actual) >= set(expected), where
        for name, value in expected.items():
            assert_matches(actual[name], value, "%s.%s" % (where, name))
    elif isinstance(expected, list):
        assert len(actual) == len(expected), where
        for index, (item, value) in enumerate(zip(actual, expected)):
            assert_matches(item, value, "%s[%d]" % (where, index))
    elif isinstance(expected, float):
        assert same_figure(actual, expected), "%s: %r, expected %r" % (where, actual, expected)
    else:
        assert actual == expected, "%s: %r, expected %r" % (where, actual, expected)


@pytest.fixture(scope="module")
def four_process_job(launcher, tmp_path_factory):
    directory = tmp_path_factory.mktemp("four")
    job = launcher.run(directory, 4, **FOUR_PROCESSES)
    assert len(job.results_files) == 1
    console = directory / "console.log"
    console.write_text(job.console)
    return job.results_files[0], console


@pytest.mark.parametrize("case, processes", [
    (ONE_PROCESS, 1),
    (TWO_PROCESSES, 2),
    (FOUR_PROCESSES, 4),
], ids=["1 process", "2 processes", "4 processes"])
def test_results_file_and_console_log_give_the_scripted_figures(launcher, tmp_path, case,
                                                                 processes):
    job = launcher.run(tmp_path, processes, **case)
    assert [path.name for path in job.results_files] == [
        "results_memory_windows_clusters_mac_mx @ node-00 @ %s.txt" % TIME_TEXT]
    console = tmp_path / "console.log"
    console.write_text(job.console)

    from_file, from_console = records(job.results_files[0], console)
    expected = expected_record(processes, case["clocks"], case["names"])
    assert_matches(from_file, dict(expected, source="results file"))
    # The console words several lines differently and adds its own; its
    # closing line names the results file, which gives the host and time.
    assert_matches(from_console, dict(expected, source="console log"))


def test_a_second_run_in_the_same_second_is_read_with_its_numbered_name(launcher, tmp_path):
    first = launcher.run(tmp_path, 1, **ONE_PROCESS).results_files
    second = launcher.run(tmp_path, 1, **ONE_PROCESS).results_files
    assert second[0].name.endswith(" (2).txt")
    for record in records(first[0], second[0]):
        assert (record["host"], record["started"]) == ("node-00", STARTED)


def test_thousands_of_workers(launcher, tmp_path):
    """The profiling library makes up 4095 workers around one real process;
    their seconds are 0.25 per phase number plus a millionth per rank."""
    job = launcher.run(tmp_path, 1, names={0: "node-00"},
                       extra={"VELLASTRON_TEST_SIMULATED_SIZE": 4096})
    (record,) = records(job.results_files[0])
    assert record["processes"] == 4096
    for index, key in enumerate(PHASE_KEYS):
        phase = record["phases"][key]
        total = 0.0
        for rank, worker in enumerate(phase["workers"], start=1):
            seconds = 0.25 * (index + 1) + 1e-6 * rank
            total += ITERATIONS / seconds
            assert (worker["rank"], worker["host"]) == (rank, "simulated-node-%d" % rank)
            assert same_figure(worker["seconds"], g(seconds))
            assert same_figure(worker["millions_per_sec"], g(ITERATIONS / seconds / 1e6))
        assert rank == 4095
        assert same_figure(phase["summary"]["total_millions_per_sec"], g(total / 1e6))
        assert same_figure(phase["summary"]["average_millions_per_sec"], g(total / 4095 / 1e6))

    # Too many workers for bars: the chart is the sorted distribution, whose
    # height does not grow with the number of workers.
    chart = tmp_path / "chart.png"
    assert report("plot", job.results_files[0], "-o", chart).status == 0
    data = chart.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    assert 800 <= width <= 2000 and 200 <= height <= 1000
    # As bars they would not fit in an image: refused, and nothing written.
    too_tall = tmp_path / "too-tall.png"
    refused = report("plot", job.results_files[0], "--max-bars", "5000", "-o", too_tall)
    assert refused.status == 1 and "cannot draw" in refused.stderr
    assert not too_tall.exists() and not list(tmp_path.glob(".chart-*"))


# --- slow on a real run -------------------------------------------------------

def flagged(stdout):
    """(rank, host, phase) of every worker that slow names."""
    return [(int(rank), host, phase) for rank, host, phase in
            re.findall(r"^\s+rank (\d+)\s+(\S+)\s+(allocation power|low speed|high speed)\s",
                       stdout, re.MULTILINE)]


@pytest.mark.parametrize("threshold, status, expected", [
    (None, 3, [(2, "node-b", "low speed")]),
    ("19", 3, [(2, "node-b", "low speed")]),
    # Worker 3 is 4% slower than the median in the allocation power and the
    # high speed phases.
    ("3", 3, [(3, "node-b", "allocation power"), (2, "node-b", "low speed"),
              (3, "node-b", "high speed")]),
    ("25", 0, []),
])
def test_slow_names_the_slow_worker_and_no_other(four_process_job, threshold, status, expected):
    results_file, _ = four_process_job
    arguments = ["slow", results_file] + (["--threshold", threshold] if threshold else [])
    result = report(*arguments)
    assert result.status == status, result.stderr
    assert flagged(result.stdout) == expected


def test_slow_gives_the_figure_and_the_median_and_the_shared_hosts(four_process_job):
    results_file, console = four_process_job
    clocks = FOUR_PROCESSES["clocks"]
    for path in (results_file, console):
        result = report("slow", path)
        assert result.status == 3
        slow_rate = millions(clocks[2], 1)
        median = millions(clocks[3], 1)
        below = (1 - slow_rate / median) * 100
        assert re.search(r"rank 2\s+node-b\s+low speed\s+%s M/s\s+%.1f%% below\s+median %s M/s"
                         % (re.escape("%g" % slow_rate), below, re.escape("%g" % median)),
                         result.stdout), result.stdout
        # node-b runs ranks 2 and 3: its median per phase is theirs.
        host_line = next(line for line in result.stdout.splitlines()
                         if line.strip().startswith("node-b"))
        for index, name in enumerate(PHASE_NAMES):
            host_median = (millions(clocks[2], index) + millions(clocks[3], index)) / 2
            assert "%s %g M/s" % (name, host_median) in host_line
        assert "node-a" not in result.stdout.split("hosts with several processes")[1]


# --- compare two real runs ----------------------------------------------------

def test_compare_lines_up_the_hosts_of_two_runs(launcher, four_process_job, tmp_path):
    old_file, _ = four_process_job
    new_clocks = {0: [0, 0.5, 0, 0.5, 0, 2], 1: [0, 0.4, 0, 1.5, 0, 1], 2: [0, 1, 0, 1, 0, 1]}
    job = launcher.run(tmp_path, 3, clocks=new_clocks,
                       names={0: "node-00", 1: "node-a", 2: "node-c"})
    result = report("compare", old_file, job.results_files[0])
    assert result.status == 0, result.stderr

    old_clocks = FOUR_PROCESSES["clocks"]
    lines = result.stdout.splitlines()

    def changes(old_readings, new_readings):
        return ["%+.1f%%" % ((millions(new_readings, i) / millions(old_readings, i) - 1) * 100)
                for i in range(3)]

    node_a = next(line for line in lines if line.startswith("node-a"))
    assert node_a.split()[1:] == changes(old_clocks[1], new_clocks[1])
    root = next(line for line in lines if line.startswith("root baseline"))
    assert root.split()[-3:] == changes(old_clocks[0], new_clocks[0])
    text = result.stdout
    assert re.search(r"only in old:\n  node-b \(ranks 2,3\)\n", text)
    assert re.search(r"only in new:\n  node-c \(rank 2\)\n", text)
    assert not any(line.startswith(("node-b", "node-c")) for line in lines)

