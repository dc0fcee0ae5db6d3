"""The lines of a cluster job's report, as the root writes them.

The report is described as a sequence of report lines, each with its
pattern on the console and in the results file (None where that channel
does not carry the line). Figures are placeholders that match what the
streams' default formatting writes for a double; the check then demands
that every figure is positive and finite and that a line carried by both
channels shows the same figures on each.
"""

import math
import re

FIGURE = r"(-?(?:\d+(?:\.\d*)?|\.\d+)(?:e[-+]\d+)?|-?inf|-?nan)"
ANY_TEXT = object()
_SAME = object()

BANNER = ("Koravel :: Vellastron Benchmark MultiProcessor Memory for Windows Clusters "
          "on Zoz Az system 2023.03.06.")


class Line:
    """One report line; `{#}` in a template stands for a figure."""

    def __init__(self, console, file=_SAME):
        self.console_text = console
        self.file_text = console if file is _SAME else file
        self.console = _compile(self.console_text)
        self.file = _compile(self.file_text)

    def describe(self, channel):
        text = self.console_text if channel == "console" else self.file_text
        if text is ANY_TEXT:
            return "a line of text"
        if isinstance(text, re.Pattern):
            return "/%s/" % text.pattern
        return repr(text)


def _compile(template):
    if template is None:
        return None
    if template is ANY_TEXT:
        return re.compile(r"(?!\s*$).+")
    if isinstance(template, re.Pattern):
        return template
    return re.compile(FIGURE.join(re.escape(part) for part in template.split("{#}")))


def results_file_name_pattern(root_host, numbered=False):
    """numbered: the name may carry the " (n)" given when the plain one was
    taken, as when several runs on one host end within the same second."""
    return (re.escape("results_memory_windows_clusters_mac_mx @ %s @ " % root_host)
            + r"local date \d{4}\.\d{2}\.\d{2} time \d{2}\.\d{2}\.\d{2}"
            + (r"(?: \([2-9]\d*\)| \(1\d+\))?" if numbered else "") + r"\.txt")


_PHASES = [
    # title, blank line first, seconds text (console, file), rate unit, total text,
    # megabytes factor, average unit (console, file), blank line last
    ("Power of Memory Allocation.", False, "This thread spent: ", "This thread spent: ",
     " Millions Allocations/sec.", "Overall, it was: ", False,
     " Millions Allocations/sec.", " Millions Allocations/sec.", True),
    ("Low speeds:", True, "The system spent: ", "The spent: ",
     " Millions Executions/sec.", "Overall, It was: ", True,
     " Millions Millions Executions/sec.", " Millions Allocations/sec.", True),
    ("High speeds:", True, "The system spent: ", "The system spent: ",
     " Millions Executions/sec.", "Overall, It was: ", True,
     " Millions Millions Executions/sec.", " Millions Allocations/sec.", False),
]

_MEGABYTES = "Conventionally, it was: {#} MB/sec."


def expected_report(placement, launch_directory, numbered=False):
    """The whole report of a job whose rank r runs on host placement[r];
    numbered as for results_file_name_pattern."""
    world_size = len(placement)
    root = placement[0]
    lines = [
        Line("", None), Line(BANNER), Line(ANY_TEXT, None), Line(ANY_TEXT, None),
        Line("", None), Line("", None), Line(""),
        Line("Thread(s): %d" % world_size), Line(""),
        Line("Force to be single thread."), Line(""),
    ]
    # The baseline run: the same fifteen lines on both channels.
    lines += [Line(text) for text in (
        "Power of Memory Allocation.", "The system spent: {#} Secs. ",
        "It was: {#} Millions Allocations/sec.", "",
        "Low speeds:", "The system spent: {#} Secs. ",
        "It was: {#} Millions Executions/sec.", _MEGABYTES, "",
        "High speeds:", "The system spent: {#} Secs. ",
        "It was: {#} Millions Executions/sec.", _MEGABYTES, "", "")]

    # A job of one process has no workers and reports no cluster phase.
    for (title, opens_blank, seconds_console, seconds_file, unit, total, megabytes,
         average_console, average_file, closes_blank) in (_PHASES if world_size > 1 else []):
        if opens_blank:
            lines.append(Line(""))
        lines += [Line("Multi-Thread Enabled:"), Line(""), Line(title)]
        for rank in range(1, world_size):
            label = "Thread:%d @%s " % (rank, placement[rank])
            lines.append(Line(label + seconds_console + "{#} Secs. ",
                              label + seconds_file + "{#} Secs. "))
            lines.append(Line(label + "It was: {#}" + unit))
            if megabytes:
                lines.append(Line(_MEGABYTES))
        lines += [Line(""), Line(total + "{#}" + unit)]
        if megabytes:
            lines += [Line(_MEGABYTES), Line("")]
        lines += [Line("Multi-Thread Improvements: {#} times."), Line(""),
                  Line("Among all nodes, the average per thread was: {#}" + average_console,
                       "Among all nodes, the average per thread  was: {#}" + average_file)]
        if megabytes:
            lines.append(Line(_MEGABYTES))
        if closes_blank:
            lines.append(Line(""))

    path_line = re.compile(
        re.escape("Results have been saved in a file and you can find it at: ")
        + re.escape(launch_directory) + r"[/\\]"
        + "(?P<results_file>" + results_file_name_pattern(root, numbered) + ")")
    lines += [Line("", None), Line("", None), Line(path_line, None), Line("", None),
              Line("Press Enter to Exit.", None)]
    return lines


def _figures(match, template):
    if template is ANY_TEXT or isinstance(template, re.Pattern):
        return []
    return list(match.groups())


def _figure_problem(where, figures):
    for text in figures:
        value = float(text)
        if not math.isfinite(value) or value <= 0:
            return "%s: figure %s is not positive and finite" % (where, text)
    return None


def check_report(console, file, expected, whole=True):
    """Matches console and results file lines against the expected report.

    whole=True: both channels must hold exactly the whole report.
    whole=False: the report was cut short; the console is matched as far as
    it carries report lines (whatever follows is the launcher's), and the
    results file must hold exactly the file's part of those lines.

    Returns (problems, captures, console_lines_matched).
    """
    problems = []
    captures = {}
    c = f = 0
    for line in expected:
        console_figures = file_figures = None
        if line.console is not None:
            match = line.console.fullmatch(console[c]) if c < len(console) else None
            if match is None:
                if whole:
                    problems.append("console line %d: expected %s, found %s" % (
                        c + 1, line.describe("console"),
                        repr(console[c]) if c < len(console) else "the end of the output"))
                break
            captures.update({k: v for k, v in match.groupdict().items() if v is not None})
            console_figures = _figures(match, line.console_text)
            problem = _figure_problem("console line %d" % (c + 1), console_figures)
            if problem:
                problems.append(problem)
            c += 1
        if line.file is not None:
            match = line.file.fullmatch(file[f]) if f < len(file) else None
            if match is None:
                problems.append("results file line %d: expected %s, found %s" % (
                    f + 1, line.describe("file"),
                    repr(file[f]) if f < len(file) else "the end of the file"))
                break
            file_figures = _figures(match, line.file_text)
            problem = _figure_problem("results file line %d" % (f + 1), file_figures)
            if problem:
                problems.append(problem)
            if console_figures is not None and console_figures != file_figures:
                problems.append("console line %d and results file line %d show different "
                                "figures: %s / %s" % (c, f + 1, console_figures, file_figures))
            f += 1
    if not problems:
        if whole and c < len(console):
            problems.append("console line %d follows the end of the report: %r"
                            % (c + 1, console[c]))
        if f < len(file):
            problems.append("results file line %d follows the report's last line: %r"
                            % (f + 1, file[f]))
    return problems, captures, c
