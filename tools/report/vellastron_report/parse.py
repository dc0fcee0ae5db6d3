"""Reading what vellastron-memory writes: its results file, or a saved copy
of its console output.

Both carry the same report: the banner, the process count, the root's
baseline of the three kernels and, when the job had workers, the three
cluster phases with one block of lines per worker and a summary. The console
adds a few lines of its own around the report and words some lines
differently; both wordings are accepted wherever they occur.

A file that cannot be read as such a report raises InputError, which names the
file and the line.
"""

import codecs
import datetime
import math
import os
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional

ITERATIONS = 16777216


@dataclass(frozen=True)
class PhaseKind:
    key: str            # name in JSON and CSV
    name: str           # name for people
    title: str          # title line in the report
    unit: str           # word after "Millions" on the rate lines
    has_mb: bool        # whether the phase gives megabytes per second


PHASES = (
    PhaseKind("allocation_power", "allocation power", "Power of Memory Allocation.",
              "Allocations", False),
    PhaseKind("low_speed", "low speed", "Low speeds:", "Executions", True),
    PhaseKind("high_speed", "high speed", "High speeds:", "Executions", True),
)
PHASE_BY_KEY = {kind.key: kind for kind in PHASES}


@dataclass
class Measurement:
    """The root's own figures for one kernel."""
    seconds: float
    millions: float
    mb: Optional[float] = None


@dataclass
class Worker:
    rank: int
    host: str
    seconds: float
    millions: float
    mb: Optional[float] = None


@dataclass
class Summary:
    """A phase's closing figures, as the report prints them."""
    total_millions: float
    total_mb: Optional[float]
    improvement: float
    average_millions: float
    average_mb: Optional[float]


@dataclass
class Phase:
    kind: PhaseKind
    workers: List[Worker]
    summary: Summary


@dataclass
class Run:
    path: str
    source: str                       # "results file" or "console log"
    host: Optional[str]               # the root's processor name, from the file name
    started: Optional[datetime.datetime]  # local time of the root, from the file name
    processes: int
    baseline: Dict[str, Measurement]  # by phase key
    phases: List[Phase] = field(default_factory=list)

    def phase(self, key):
        for phase in self.phases:
            if phase.kind.key == key:
                return phase
        return None


class InputError(Exception):
    """A file that is not a complete report. str() gives the one-line message."""

    def __init__(self, path, line, message):
        super().__init__(message)
        self.path = path
        self.line = line
        self.message = message

    def __str__(self):
        if self.line is None:
            return "%s: %s" % (self.path, self.message)
        return "%s:%d: %s" % (self.path, self.line, self.message)


# --- figures -----------------------------------------------------------------

_NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")
_INFINITY = re.compile(r"([-+]?)(?:inf|infinity|1\.#inf0*)", re.IGNORECASE)
_NOT_A_NUMBER = re.compile(r"[-+]?(?:nan(?:\([0-9a-z_]*\))?|1\.#(?:ind|qnan|snan)0*)",
                           re.IGNORECASE)


def parse_figure(text):
    """A figure as a C library prints a double ("%g" and the like): plain or
    scientific notation, infinity and not-a-number, including the forms of
    Microsoft's older runtime (1.#INF, 1.#IND, 1.#QNAN). None when it is none
    of these."""
    if _NUMBER.fullmatch(text):
        return float(text)
    match = _INFINITY.fullmatch(text)
    if match:
        return -math.inf if match.group(1) == "-" else math.inf
    if _NOT_A_NUMBER.fullmatch(text):
        return math.nan
    return None


# --- the results file name ---------------------------------------------------

_RESULTS_NAME = re.compile(
    r"results_memory_windows_clusters_mac_mx @ (?P<host>.*) @ local date "
    r"(?P<Y>\d{4})\.(?P<m>\d\d)\.(?P<d>\d\d) time (?P<H>\d\d)\.(?P<M>\d\d)\.(?P<S>\d\d)"
    r"(?: \(\d+\))?\.txt")


def name_details(name):
    """(host, start time) from a results file name, or (None, None) when the
    name is not one the benchmark gives. A second run within the same second
    gets " (2)" and so on before ".txt"."""
    match = _RESULTS_NAME.fullmatch(name)
    if not match:
        return None, None
    try:
        started = datetime.datetime(*(int(match.group(part)) for part in "YmdHMS"))
    except ValueError:
        started = None
    return match.group("host"), started


# --- the report's lines -------------------------------------------------------

BANNER_START = "Koravel :: Vellastron Benchmark MultiProcessor Memory"
_PROCESSES = re.compile(r"Thread\(s\): (\S+)")
_SPENT = r"(?:This thread spent|The system spent|The spent): (\S+) Secs\."
_BASELINE_SPENT = re.compile(_SPENT)
_WORKER_SPENT = re.compile(r"Thread:(-?\d+) @(.*) " + _SPENT)
_MEGABYTES = re.compile(r"Conventionally, it was: (\S+) MB/sec\.")
_IMPROVEMENT = re.compile(r"Multi-Thread Improvements: (\S+) times\.")
# The console's average line says "Millions Millions Executions", the file's
# "Millions Allocations" in every phase; the file has two blanks before "was".
_AVERAGE = re.compile(r"Among all nodes, the average per thread {1,2}was: (\S+) "
                      r"Millions (?:Millions Executions|Executions|Allocations)/sec\.")
_SAVED = re.compile(r"Results (?:have been saved in a file and you can find it at|"
                    r"could not be saved in a file at): (.*)")
# The benchmark's own diagnostics on standard error, which a saved console
# log may have mixed in.
_DIAGNOSTIC_PREFIX = "vellastron-memory: "

# Lines with text between the console's banner and its process count: the
# rights notice and the support contact, with room for a few more.
_CONSOLE_HEADER_LINES = 4

_REFUSALS = (
    ("The number of threads has reached the limits",
     "the job was refused: more processes than the benchmark accepts"),
    ("MPI do not Support Multiple thread",
     "the job was refused: the MPI library lacks multiple-thread support"),
)


def _rate_pattern(unit):
    return re.compile(r"It was: (\S+) Millions %s/sec\." % unit)


def _overall_pattern(unit):
    return re.compile(r"Overall, [iI]t was: (\S+) Millions %s/sec\." % unit)


def _shorten(text, limit=60):
    return text if len(text) <= limit else text[:limit - 3] + "..."


class _Reader:
    """Walks the lines of one report. Blank lines carry no figures and are
    skipped wherever they stand, so a copy whose blank lines were lost or
    doubled still reads."""

    def __init__(self, path, lines, console):
        self.path = path
        self.lines = lines
        self.console = console
        self.index = 0
        self.where = "in the banner"

    def error(self, line_number, message):
        return InputError(self.path, line_number, message)

    def next_line(self, what):
        """The next line with text, as (line number, text); at the end of the
        file the report is cut short."""
        while self.index < len(self.lines):
            text = self.lines[self.index]
            self.index += 1
            if text == "":
                continue
            if self.console and text.startswith(_DIAGNOSTIC_PREFIX):
                continue
            return self.index, text
        raise self.error(max(len(self.lines), 1),
                         "truncated: ends %s, before %s" % (self.where, what))

    def expect(self, pattern, what):
        number, text = self.next_line(what)
        match = pattern.fullmatch(text)
        if not match:
            raise self.error(number, "expected %s, found %r" % (what, _shorten(text)))
        return number, match

    def expect_text(self, expected):
        self.expect(re.compile(re.escape(expected)), repr(expected))

    def figure(self, number, text, what):
        value = parse_figure(text)
        if value is None:
            raise self.error(number, "bad number %r in %s" % (_shorten(text, 30), what))
        return value

    def expect_figure(self, pattern, what):
        number, match = self.expect(pattern, what)
        return self.figure(number, match.group(1), what)

    # -- the blocks of the report --

    def processes(self):
        number, match = self.expect(_PROCESSES, "the line 'Thread(s): N'")
        text = match.group(1)
        if not re.fullmatch(r"\d+", text) or int(text) < 1:
            raise self.error(number, "bad process count %r" % _shorten(text, 30))
        self.expect_text("Force to be single thread.")
        return int(text)

    def baseline(self):
        figures = {}
        for kind in PHASES:
            self.where = "in the root's %s measurement" % kind.name
            self.expect_text(kind.title)
            seconds = self.expect_figure(_BASELINE_SPENT, "the root's %s seconds" % kind.name)
            millions = self.expect_figure(_rate_pattern(kind.unit),
                                          "the root's %s rate" % kind.name)
            mb = None
            if kind.has_mb:
                mb = self.expect_figure(_MEGABYTES, "the root's %s MB/sec" % kind.name)
            figures[kind.key] = Measurement(seconds, millions, mb)
        self.where = "after the root's baseline"
        return figures

    def phase(self, kind, processes):
        workers_expected = processes - 1
        self.expect_text("Multi-Thread Enabled:")
        self.where = "at the start of the %s phase" % kind.name
        self.expect_text(kind.title)
        workers = []
        rate_pattern = _rate_pattern(kind.unit)
        for rank in range(1, processes):
            what = "the lines of worker %d of %d" % (rank, workers_expected)
            number, text = self.next_line(what)
            match = _WORKER_SPENT.fullmatch(text)
            if not match:
                raise self.error(number, "expected %s ('Thread:%d @HOST ... Secs.'), found %r"
                                 % (what, rank, _shorten(text)))
            if int(match.group(1)) != rank:
                raise self.error(number, "expected %s, found worker %s"
                                 % (what, match.group(1)))
            host = match.group(2)
            seconds = self.figure(number, match.group(3), "worker %d's seconds" % rank)
            self.where = "in the %s phase in the lines of worker %d of %d" % (
                kind.name, rank, workers_expected)
            label = "Thread:%d @%s " % (rank, host)
            what = "worker %d's rate line ('%sIt was: ...')" % (rank, label)
            number, text = self.next_line(what)
            match = rate_pattern.fullmatch(text[len(label):]) if text.startswith(label) else None
            if not match:
                raise self.error(number, "expected %s, found %r" % (what, _shorten(text)))
            millions = self.figure(number, match.group(1), "worker %d's rate" % rank)
            mb = None
            if kind.has_mb:
                mb = self.expect_figure(_MEGABYTES, "worker %d's MB/sec" % rank)
            workers.append(Worker(rank, host, seconds, millions, mb))
            self.where = "in the %s phase after worker %d of %d" % (
                kind.name, rank, workers_expected)
        self.where = "in the %s phase's summary" % kind.name
        total = self.expect_figure(_overall_pattern(kind.unit),
                                   "the %s phase's total" % kind.name)
        total_mb = None
        if kind.has_mb:
            total_mb = self.expect_figure(_MEGABYTES, "the %s phase's total MB/sec" % kind.name)
        improvement = self.expect_figure(_IMPROVEMENT,
                                         "the %s phase's improvement" % kind.name)
        average = self.expect_figure(_AVERAGE, "the %s phase's average" % kind.name)
        average_mb = None
        if kind.has_mb:
            average_mb = self.expect_figure(_MEGABYTES,
                                            "the %s phase's average MB/sec" % kind.name)
        self.where = "after the %s phase" % kind.name
        return Phase(kind, workers, Summary(total, total_mb, improvement, average, average_mb))

    def closing(self):
        """What follows the report: nothing in a results file; in a console log
        the line that names the results file (its name tells the host and the
        start time) and then anything, which is not read."""
        while self.index < len(self.lines):
            text = self.lines[self.index]
            self.index += 1
            if text == "" or (self.console and text.startswith(_DIAGNOSTIC_PREFIX)):
                continue
            match = _SAVED.fullmatch(text)
            if self.console:
                return match.group(1) if match else None
            raise self.error(self.index, "unexpected text after the end of the report: %r"
                             % _shorten(text))
        return None


def _decode(path, data):
    if data.startswith(codecs.BOM_UTF16_LE) or data.startswith(codecs.BOM_UTF16_BE):
        # A console log saved by a Windows shell that writes UTF-16.
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError:
            raise InputError(path, 1, "not readable as UTF-16 text despite its byte order mark")
    if data.startswith(codecs.BOM_UTF8):
        data = data[len(codecs.BOM_UTF8):]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as failure:
        line = data.count(b"\n", 0, failure.start) + 1
        raise InputError(path, line, "not UTF-8 text (byte 0x%02x)" % data[failure.start])
    if "\0" in text:
        line = text.count("\n", 0, text.index("\0")) + 1
        raise InputError(path, line, "not a text file (NUL byte)")
    return text


def parse_text(path, text):
    """The Run that the report in text describes; InputError otherwise."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    # Line ends may be CR LF, and a copy taken from a terminal may have lost
    # the blank that ends each seconds line.
    lines = [line.rstrip(" \t\r") for line in lines]
    if not any(lines):
        raise InputError(path, 1, "empty: not a results file")

    banner = next((i for i, line in enumerate(lines) if line.startswith(BANNER_START)), None)
    if banner is None:
        for i, line in enumerate(lines):
            for marker, message in _REFUSALS:
                if marker in line:
                    raise InputError(path, i + 1, message)
        first = next(i for i, line in enumerate(lines) if line)
        raise InputError(path, first + 1, "not a results file: no '%s' banner line"
                         % BANNER_START)

    # The results file starts with the banner and has the process count
    # right after it; the console has a blank line first and the notice and
    # contact lines after the banner, and whatever was logged before the run.
    following = [i for i in range(banner + 1, len(lines)) if lines[i]][:_CONSOLE_HEADER_LINES + 1]
    counts = [i for i in following if lines[i].startswith("Thread(s):")][:1]
    console = banner > 0 or bool(counts and counts[0] != following[0])
    reader = _Reader(path, lines, console)
    reader.index = counts[0] if counts else banner + 1

    processes = reader.processes()
    baseline = reader.baseline()
    phases = [reader.phase(kind, processes) for kind in PHASES] if processes > 1 else []
    saved_path = reader.closing()

    host, started = name_details(os.path.basename(path))
    if host is None and saved_path:
        saved_name = re.split(r"[\\/]", saved_path)[-1]
        host, started = name_details(saved_name)
    return Run(path=path, source="console log" if console else "results file",
               host=host, started=started, processes=processes,
               baseline=baseline, phases=phases)


def read_run(path):
    """Reads one file; InputError when it is unreadable or not a complete
    report. Opens the file for reading only."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as failure:
        raise InputError(path, None, "cannot read: %s" % (failure.strerror or failure))
    return parse_text(path, _decode(path, data))
