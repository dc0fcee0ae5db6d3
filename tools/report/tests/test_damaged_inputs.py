"""Inputs that are not a complete report, and inputs that are one in another
dress. The starting point is data/four-processes.txt, a results file that the
benchmark wrote for a job of 4 processes under the scripted clock of
test_real_runs (FOUR_PROCESSES), and data/four-processes.console.log, that
job's console output."""

import codecs
import json
import math

import pytest

from conftest import DATA, TIME_TEXT, report

GOOD = DATA / "four-processes.txt"
CONSOLE = DATA / "four-processes.console.log"


def good_lines():
    return GOOD.read_bytes().split(b"\n")[:-1]


def joined(lines):
    return b"\n".join(lines) + b"\n"


def replaced(line_number, old, new):
    lines = good_lines()
    assert old in lines[line_number - 1]
    lines[line_number - 1] = lines[line_number - 1].replace(old, new)
    return joined(lines)


PROCESS_COUNT_REFUSAL = (
    b"\nKoravel ::  Vellastron Benchmark MultiProcessor Memory for Windows Clusters on Zoz Az "
    b"system 2023.03.06.\nrights\nsupport\n\n"
    b"The number of threads has reached the limits, the program terminates.\n\n")

# (case, content of the damaged file, line named in the error, what the error says)
DAMAGED = [
    ("cut mid-phase", joined(good_lines()[:46]), 46,
     "truncated: ends in the low speed phase after worker 2 of 3, "
     "before the lines of worker 3 of 3"),
    ("cut mid-line", joined(good_lines()[:44]) + b"Thread:2 @node-b It was: 17.2", 45,
     "expected worker 2's rate line"),
    ("cut after the baseline", joined(good_lines()[:21]), 21,
     "truncated: ends after the root's baseline, before 'Multi-Thread Enabled:'"),
    ("cut in the summary", joined(good_lines()[:74]), 74,
     "truncated: ends in the high speed phase's summary, before the high speed phase's "
     "improvement"),
    ("bad number in a worker's line", replaced(44, b"0.975", b"0.9x75"), 44,
     "bad number '0.9x75' in worker 2's seconds"),
    ("bad number in a summary", replaced(54, b"1.82051", b"1.82.051"), 54,
     "bad number '1.82.051' in the low speed phase's improvement"),
    ("bad process count", replaced(3, b"4", b"four"), 3, "bad process count 'four'"),
    ("a worker missing", joined(good_lines()[:46] + good_lines()[49:]), 48,
     "expected the lines of worker 3 of 3"),
    ("a worker out of order", replaced(29, b"Thread:3", b"Thread:4"), 29,
     "expected the lines of worker 3 of 3, found worker 4"),
    ("a line of another phase", replaced(41, b"The spent: 0.75 Secs.", b"It was: 22.3696 Millions "
                                         b"Executions/sec."), 41,
     "expected the lines of worker 1 of 3"),
    ("text after the end of the report", GOOD.read_bytes() + b"one more line\n", 80,
     "unexpected text after the end of the report: 'one more line'"),
    ("another kind of file", b"cmake_minimum_required(VERSION 3.16)\nproject(x)\n", 1,
     "not a results file"),
    ("a refused job's console", PROCESS_COUNT_REFUSAL, 6,
     "the job was refused: more processes than the benchmark accepts"),
    ("empty", b"", 1, "empty: not a results file"),
    ("blank lines only", b"\n\n\r\n", 1, "empty: not a results file"),
    ("not UTF-8", replaced(44, b"node-b", b"n\xe9ud-b"), 44, "not UTF-8 text (byte 0xe9)"),
    ("binary", b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 1, "not UTF-8 text (byte 0x89)"),
    ("NUL bytes in text", replaced(11, b"Low", b"L\0w"), 11, "not a text file (NUL byte)"),
]


@pytest.mark.parametrize("content, line, message", [case[1:] for case in DAMAGED],
                         ids=[case[0] for case in DAMAGED])
def test_a_damaged_file_fails_alone_with_its_file_and_line(tmp_path, content, line, message):
    damaged = tmp_path / "damaged.txt"
    damaged.write_bytes(content)
    result = report("show", "--json", GOOD, damaged, CONSOLE)

    assert result.status == 2
    assert len(result.error_lines) == 1, result.stderr
    error = result.error_lines[0]
    assert error.startswith("vellastron-report: %s:%d: " % (damaged, line)), error
    assert message in error
    # The files before and after it were still read.
    assert [record["file"] for record in json.loads(result.stdout)] == [str(GOOD), str(CONSOLE)]


@pytest.mark.parametrize("make, reason", [
    (lambda directory: directory / "absent.txt", "cannot read: No such file or directory"),
    (lambda directory: directory, "cannot read: Is a directory"),
], ids=["missing", "a directory"])
def test_an_unreadable_file_fails_alone(tmp_path, make, reason):
    path = make(tmp_path)
    result = report("show", GOOD, path)
    assert result.status == 2
    assert result.error_lines == ["vellastron-report: %s: %s" % (path, reason)]
    assert result.stdout.startswith(str(GOOD))


def test_every_command_goes_on_past_a_damaged_file_and_exits_2(tmp_path):
    damaged = tmp_path / "damaged.txt"
    damaged.write_bytes(joined(good_lines()[:46]))

    # The good file has a slow worker, which alone would give 3: a failed
    # file takes precedence.
    slow = report("slow", damaged, GOOD)
    assert slow.status == 2
    assert "rank 2  node-b  low speed" in slow.stdout
    assert len(slow.error_lines) == 1

    chart = tmp_path / "chart.svg"
    plot = report("plot", GOOD, damaged, "-o", chart)
    assert plot.status == 2 and len(plot.error_lines) == 1
    assert chart.read_bytes().startswith(b"<?xml")

    csv = report("show", "--csv", damaged, GOOD)
    assert csv.status == 2 and csv.stdout.count("\n") == 1 + 3 + 3 * (3 + 2)

    compare = report("compare", GOOD, damaged)
    assert compare.status == 2 and compare.stdout == ""
    assert compare.error_lines[0].startswith("vellastron-report: %s:46: truncated" % damaged)


# --- the same report in other dress ------------------------------------------

def console_bytes():
    return CONSOLE.read_bytes()


def with_noise(data):
    """A console log as scripts/run.sh leaves it with 2>&1: its command line
    first, a diagnostic of the benchmark amid the report, the launcher's
    notices after it."""
    lines = data.split(b"\n")
    lines.insert(40, b"vellastron-memory: a diagnostic on standard error")
    return (b"mpirun.openmpi --allow-run-as-root -np 4 /work/build/vellastron-memory\n"
            + b"\n".join(lines)
            + b"--------------------------------------------------------------------------\n"
              b"mpirun noticed something\n")


VARIANTS = [
    ("CR LF line ends", GOOD.read_bytes().replace(b"\n", b"\r\n")),
    ("UTF-8 byte order mark", codecs.BOM_UTF8 + GOOD.read_bytes()),
    ("trailing blanks lost", GOOD.read_bytes().replace(b" \n", b"\n")),
    ("blank lines lost", GOOD.read_bytes().replace(b"\n\n", b"\n").replace(b"\n\n", b"\n")),
    ("blank lines doubled", GOOD.read_bytes().replace(b"\n\n", b"\n\n\n\n")),
    ("other spellings of a figure", replaced(25, b"0.5 Secs.", b"5.00000E-01 Secs.")),
    ("console log", console_bytes()),
    ("console log saved as UTF-16", console_bytes().decode().encode("utf-16")),
    ("console log with blank lines doubled", console_bytes().replace(b"\n\n", b"\n\n\n\n")),
    ("console log with CR LF and noise", with_noise(console_bytes()).replace(b"\n", b"\r\n")),
]


def figures_only(record):
    return {key: value for key, value in record.items() if key not in ("file", "source")}


@pytest.mark.parametrize("content", [case[1] for case in VARIANTS],
                         ids=[case[0] for case in VARIANTS])
def test_the_same_report_in_other_dress_gives_the_same_records(tmp_path, content):
    name = "results_memory_windows_clusters_mac_mx @ node-00 @ %s.txt" % TIME_TEXT
    original = tmp_path / name
    original.write_bytes(GOOD.read_bytes())
    (tmp_path / "variant").mkdir()
    variant = tmp_path / "variant" / name
    variant.write_bytes(content)
    result = report("show", "--json", original, variant)
    assert result.status == 0, result.stderr
    original, read = json.loads(result.stdout)
    assert figures_only(read) == figures_only(original)
    assert len(read["phases"]["low_speed"]["workers"]) == 3


@pytest.mark.parametrize("text, value", [
    ("67.1089", 67.1089), ("512", 512.0), ("-33.5544", -33.5544), ("1.23457e+06", 1.23457e6),
    ("1.234e-05", 1.234e-05), ("1E+300", 1e300), (".5", 0.5),
    ("inf", math.inf), ("-inf", -math.inf), ("INF", math.inf), ("1.#INF", math.inf),
    ("-1.#INF", -math.inf), ("nan", math.nan), ("-nan", math.nan), ("nan(ind)", math.nan),
    ("1.#IND", math.nan), ("-1.#IND", math.nan), ("1.#QNAN", math.nan),
    ("1.2.3", None), ("0x10", None), ("1e", None), ("--1", None), ("infinite", None),
    ("", None), ("12,5", None),
])
def test_figures_as_a_c_library_prints_them(text, value):
    from vellastron_report.parse import parse_figure
    parsed = parse_figure(text)
    if value is None or math.isnan(value):
        assert parsed is value or (value is not None and math.isnan(parsed))
    else:
        assert parsed == value
