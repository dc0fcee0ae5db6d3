"""show, compare and plot on the benchmark's own files (data/four-processes.*,
written by the job FOUR_PROCESSES of conftest), usage errors, and the
promise never to write into an input."""

import csv
import io
import json
import re
import shutil
import statistics
import struct
import xml.etree.ElementTree as ElementTree
import zlib

import pytest

from conftest import DATA, FOUR_PROCESSES, TIME_TEXT, g, millions, rate_of, report, seconds_of

GOOD = DATA / "four-processes.txt"
CONSOLE = DATA / "four-processes.console.log"
RESULTS_NAME = "results_memory_windows_clusters_mac_mx @ node-00 @ %s.txt" % TIME_TEXT
CLOCKS = FOUR_PROCESSES["clocks"]
HOSTS = FOUR_PROCESSES["names"]


@pytest.fixture
def named(tmp_path):
    """The results file under the name that the benchmark gave it."""
    path = tmp_path / RESULTS_NAME
    shutil.copyfile(GOOD, path)
    return path


@pytest.fixture
def one_process(tmp_path):
    """A job of one process: banner and baseline only."""
    lines = GOOD.read_text().split("\n")[:20]
    lines[2] = "Thread(s): 1"
    path = tmp_path / "one-process.txt"
    path.write_text("\n".join(lines) + "\n")
    return path


def megabytes(rate, factor):
    return g(rate * factor / 1024 / 1024)


def test_show_table_has_a_row_per_worker_and_the_phases_as_columns(named):
    result = report("show", named)
    assert result.status == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == str(named)
    assert lines[1] == "  host node-00, started 2024-11-05 09:41:07, 4 processes, results file"
    assert re.match(r"\s+allocation power\s+low speed\s+high speed$", lines[3])
    assert lines[4].split() == ["rank", "host"] + ["M/s", "rel"] + ["M/s", "MB/s", "rel"] * 2

    rows = {line.split()[0]: line.split() for line in lines[5:] if line.strip()}
    root = [figure for index in range(3) for figure in
            [millions(CLOCKS[0], index)] + ([megabytes(rate_of(seconds_of(CLOCKS[0], index)),
                                                       (16, 8)[index - 1])] if index else [])]
    assert rows["0"] == ["0", "node-00", "(root,", "baseline)"] + ["%g" % f for f in root]

    medians = [statistics.median(millions(CLOCKS[rank], index) for rank in (1, 2, 3))
               for index in range(3)]
    for rank in (1, 2, 3):
        expected = [str(rank), HOSTS[rank]]
        for index, factor in enumerate((None, 16, 8)):
            rate = millions(CLOCKS[rank], index)
            expected.append("%g" % rate)
            if factor:
                expected.append("%g" % megabytes(rate_of(seconds_of(CLOCKS[rank], index)),
                                                 factor))
            expected.append("%.3f" % (rate / medians[index]))
        assert rows[str(rank)] == expected

    summary = {line.split()[0]: line.split()[1:] for line in lines
               if line.split()[:1] in (["median"], ["total"], ["improvement"], ["average"])}
    assert summary["median"] == ["%g" % m for m in medians]
    totals = [sum(rate_of(seconds_of(CLOCKS[rank], index)) for rank in (1, 2, 3))
              for index in range(3)]
    assert summary["total"] == ["%g" % g(totals[0] / 1e6),
                                "%g" % g(totals[1] / 1e6), "%g" % megabytes(totals[1], 16),
                                "%g" % g(totals[2] / 1e6), "%g" % megabytes(totals[2], 8)]
    assert summary["improvement"] == ["(times)"] + [
        "%g" % g(totals[index] / rate_of(seconds_of(CLOCKS[0], index))) for index in range(3)]


def test_json_and_csv_carry_the_same_records(named):
    (record,) = json.loads(report("show", "--json", named).stdout)
    rows = list(csv.DictReader(io.StringIO(report("show", "--csv", named).stdout)))
    assert len(rows) == 3 + 3 * (3 + 2)

    def value(text):
        return None if text == "" else float(text)

    for row in rows:
        assert (row["file"], row["run_host"], row["started"], row["processes"]) == (
            str(named), "node-00", "2024-11-05T09:41:07", "4")
        phase = record["phases"].get(row["phase"])
        if row["row"] == "baseline":
            expected = dict(record["baseline"][row["phase"]], relative_to_median=None,
                            improvement=None, rank=0, host="node-00")
        elif row["row"] == "worker":
            expected = dict(phase["workers"][int(row["rank"]) - 1], improvement=None)
        else:
            summary = phase["summary"]
            expected = {"seconds": None, "relative_to_median": None, "rank": "", "host": "",
                        "millions_per_sec": summary[row["row"] + "_millions_per_sec"],
                        "mb_per_sec": summary[row["row"] + "_mb_per_sec"],
                        "improvement": summary["improvement"] if row["row"] == "total" else None}
        for name in ("seconds", "millions_per_sec", "mb_per_sec", "relative_to_median",
                     "improvement"):
            assert value(row[name]) == expected[name], (row, name)
        assert (row["rank"], row["host"]) == (str(expected["rank"]), expected["host"])


def test_compare_a_run_with_itself_and_with_a_run_without_workers(named, one_process):
    same = report("compare", named, CONSOLE)
    assert same.status == 0, same.stderr
    table = same.stdout.split("change per phase")[1]
    assert [line.split() for line in table.splitlines()[2:]] == [
        ["node-a", "+0.0%", "+0.0%", "+0.0%"],
        ["node-b", "+0.0%", "+0.0%", "+0.0%"],
        ["root", "baseline", "(node-00", "->", "node-00)", "+0.0%", "+0.0%", "+0.0%"]]
    assert "only in" not in same.stdout

    alone = report("compare", named, one_process)
    assert alone.status == 0, alone.stderr
    assert "only in old:\n  node-a (rank 1)\n  node-b (ranks 2,3)\n" in alone.stdout
    assert "only in new" not in alone.stdout


# --- plot ---------------------------------------------------------------------

def png_size(data):
    """Width and height of a PNG whose signature, header chunk and end chunk
    are sound."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, kind = struct.unpack(">I4s", data[8:16])
    assert (length, kind) == (13, b"IHDR")
    header = data[16:29]
    assert struct.unpack(">I", data[29:33])[0] == zlib.crc32(b"IHDR" + header)
    assert data[-12:] == b"\0\0\0\0IEND\xaeB`\x82"
    return struct.unpack(">II", header[:8])


def test_plot_writes_a_png_with_a_bar_per_worker_and_phase(tmp_path, named):
    chart = tmp_path / "chart.png"
    result = report("plot", named, "-o", chart)
    assert result.status == 0, result.stderr
    width, height = png_size(chart.read_bytes())
    assert width == 1300 and 150 <= height <= 600

    # Three times the runs: three rows of panels.
    taller = tmp_path / "taller.png"
    assert report("plot", named, GOOD, CONSOLE, "-o", taller).status == 0
    assert png_size(taller.read_bytes()) == (1300, pytest.approx(3 * height, rel=0.15))


def svg_texts(path):
    root = ElementTree.parse(path).getroot()
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    assert float(root.get("width").rstrip("pt")) == 936
    return root, ["".join(element.itertext()) for element in root.iter()
                  if element.tag.endswith("}text")]


def test_plot_svg_marks_the_median_and_highlights_the_slow_worker(tmp_path, named):
    chart = tmp_path / "chart.svg"
    result = report("plot", named, "-o", chart)
    assert result.status == 0, result.stderr
    root, texts = svg_texts(chart)
    assert {"node-a (1)", "node-b (2)", "node-b (3)"} <= set(texts)
    medians = [statistics.median(millions(CLOCKS[rank], index) for rank in (1, 2, 3))
               for index in range(3)]
    for name, median in zip(("allocation power", "low speed", "high speed"), medians):
        assert "%s, median %g M/s" % (name, median) in texts
    # One red bar: the worker that slow names (rank 2, low speed).
    red = [element for element in root.iter() if "fill: #d62728" in element.get("style", "")]
    assert len(red) == 2    # the bar and the legend's swatch

    strict = tmp_path / "strict.svg"
    assert report("plot", named, "--threshold", "3", "-o", strict).status == 0
    root, _ = svg_texts(strict)
    # Worker 3 too, in the allocation power and high speed phases.
    assert len([element for element in root.iter()
                if "fill: #d62728" in element.get("style", "")]) == 4


def test_plot_draws_a_sorted_distribution_beyond_max_bars(tmp_path, named):
    chart = tmp_path / "chart.svg"
    assert report("plot", named, "--max-bars", "2", "-o", chart).status == 0
    _, texts = svg_texts(chart)
    assert texts.count("workers, sorted by rate") == 3
    assert "node-a (1)" not in texts


@pytest.mark.parametrize("arguments, message", [
    (["plot", GOOD, "-o", "{tmp}/chart.pdf"], "must end in .png or .svg"),
    (["plot", GOOD, "-o", "{tmp}/missing/chart.png"], "cannot write"),
    (["plot", "{one}", "-o", "{tmp}/chart.png"], "nothing to draw"),
    (["plot", GOOD, "--max-bars", "0", "-o", "{tmp}/chart.png"], "--max-bars"),
    (["plot", GOOD], "-o/--output"),
    (["slow", GOOD, "--threshold", "100"], "must be at least 0 and below 100"),
    (["slow", GOOD, "--threshold", "ten"], "not a number"),
    (["show", "--json", "--csv", GOOD], "not allowed with"),
    (["show"], "FILE"),
    (["compare", GOOD], "NEW"),
    (["frobnicate", GOOD], "invalid choice"),
    ([], "COMMAND"),
])
def test_wrong_usage_exits_1_and_says_why(tmp_path, one_process, arguments, message):
    arguments = [str(argument).format(tmp=tmp_path, one=one_process) for argument in arguments]
    result = report(*arguments)
    assert result.status == 1
    assert message in result.stderr
    assert result.stdout == ""
    assert not list(tmp_path.glob("chart.*"))


def test_no_command_writes_into_its_inputs(tmp_path):
    inputs = tmp_path / "inputs"
    inputs.mkdir()
    # A console log that someone saved under a chart's name.
    files = [inputs / RESULTS_NAME, inputs / "console.svg"]
    shutil.copyfile(GOOD, files[0])
    shutil.copyfile(CONSOLE, files[1])
    damaged = inputs / "damaged.txt"
    damaged.write_text("Thread(s): 4\n")
    files.append(damaged)

    def state():
        return {path.name: (path.read_bytes(), path.stat().st_mtime_ns)
                for path in inputs.iterdir()}

    before = state()
    for arguments in (["show"] + files, ["show", "--json"] + files, ["show", "--csv"] + files,
                      ["slow"] + files, ["compare"] + files[:2],
                      ["plot"] + files + ["-o", tmp_path / "chart.png"]):
        assert report(*arguments).status in (0, 2, 3)
    # A chart that is one of the inputs, by any path, is refused.
    for target in (files[1], "%s/./%s" % (inputs, files[1].name)):
        refused = report("plot", files[0], files[1], "-o", target)
        assert refused.status == 1
        assert "would overwrite an input file" in refused.stderr
    assert state() == before
