"""The vellastron-report command line.

Exit status: 0 done; 1 wrong usage or an output that cannot be written;
2 some input file could not be read as a report (the others were still
processed); 3 (slow only) some worker is slow. 2 wins over 3.
"""

import argparse
import os
import sys

from . import analysis, output
from .parse import InputError, read_run

EXIT_OK = 0
EXIT_USAGE = 1
EXIT_INPUT = 2
EXIT_SLOW = 3

PROGRAM = "vellastron-report"


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, "%s: %s\n" % (self.prog, message))


def _threshold(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text)
    if not 0 <= value < 100:
        raise argparse.ArgumentTypeError("must be at least 0 and below 100: %r" % text)
    return value


def _arguments():
    parser = _Parser(
        prog=PROGRAM,
        description="Reads the results files (or saved console logs) of vellastron-memory.",
        epilog="Exit status: 0 done, 1 wrong usage, 2 an input file failed "
               "(the others are still processed), 3 slow workers found (slow).")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    show = commands.add_parser("show", help="a table per file; or the records as JSON or CSV")
    show.add_argument("files", nargs="+", metavar="FILE")
    formats = show.add_mutually_exclusive_group()
    formats.add_argument("--json", action="store_true", help="write the records as JSON")
    formats.add_argument("--csv", action="store_true", help="write the records as CSV")

    slow = commands.add_parser(
        "slow", help="name the workers more than PCT%% below their phase's median")
    slow.add_argument("files", nargs="+", metavar="FILE")
    slow.add_argument("--threshold", type=_threshold, default=10.0, metavar="PCT",
                      help="percent below the phase's median (default 10)")

    compare = commands.add_parser("compare", help="each host's change per phase, NEW against OLD")
    compare.add_argument("old", metavar="OLD")
    compare.add_argument("new", metavar="NEW")

    plot = commands.add_parser("plot", help="bar chart of the workers' rates per phase")
    plot.add_argument("files", nargs="+", metavar="FILE")
    plot.add_argument("-o", "--output", required=True, metavar="CHART",
                      help="the chart to write, .png or .svg")
    plot.add_argument("--threshold", type=_threshold, default=10.0, metavar="PCT",
                      help="highlight workers this many percent below the median (default 10)")
    plot.add_argument("--max-bars", type=int, default=300, metavar="N",
                      help="above N workers draw the sorted distribution instead of bars "
                           "(default 300)")
    return parser


def _report(failure):
    sys.stderr.write("%s: %s\n" % (PROGRAM, failure))


def _read_all(paths):
    """The runs that could be read, in the order given, and whether any failed.
    Every failure is reported as it is met."""
    runs, failed = [], False
    for path in paths:
        try:
            runs.append(read_run(path))
        except InputError as failure:
            _report(failure)
            failed = True
    return runs, failed


def _show(arguments):
    runs, failed = _read_all(arguments.files)
    if arguments.json:
        output.write_json(runs, sys.stdout)
    elif arguments.csv:
        output.write_csv(runs, sys.stdout)
    else:
        sys.stdout.write("\n\n".join(output.run_table(run) for run in runs))
        if runs:
            sys.stdout.write("\n")
    return EXIT_INPUT if failed else EXIT_OK


def _slow(arguments):
    runs, failed = _read_all(arguments.files)
    any_slow = False
    texts = []
    for run in runs:
        found = analysis.slow_workers(run, arguments.threshold)
        any_slow = any_slow or bool(found)
        texts.append(output.slow_text(run, found, arguments.threshold))
    if texts:
        sys.stdout.write("\n\n".join(texts) + "\n")
    if failed:
        return EXIT_INPUT
    return EXIT_SLOW if any_slow else EXIT_OK


def _compare(arguments):
    runs, failed = _read_all([arguments.old, arguments.new])
    if failed:
        return EXIT_INPUT
    old, new = runs
    sys.stdout.write(output.compare_text(old, new, analysis.compare_runs(old, new)) + "\n")
    return EXIT_OK


def _is_input(path, inputs):
    if not os.path.exists(path):
        return False
    for other in inputs:
        try:
            if os.path.samefile(path, other):
                return True
        except OSError:
            pass
    return False


def _plot(arguments):
    extension = os.path.splitext(arguments.output)[1].lower()
    if extension not in (".png", ".svg"):
        raise UsageError("the chart's name must end in .png or .svg: %s" % arguments.output)
    if arguments.max_bars < 1:
        raise UsageError("--max-bars must be at least 1")
    if _is_input(arguments.output, arguments.files):
        raise UsageError("the chart would overwrite an input file: %s" % arguments.output)
    try:
        from . import chart
        chart.load_matplotlib()
    except ImportError:
        raise UsageError("plot needs matplotlib (Debian: python3-matplotlib)")

    runs, failed = _read_all(arguments.files)
    drawable = [run for run in runs if run.phases]
    for run in runs:
        if not run.phases:
            sys.stderr.write("%s: %s: no cluster phases (1 process), left out of the chart\n"
                             % (PROGRAM, run.path))
    if drawable:
        try:
            chart.draw(drawable, arguments.output, extension[1:], arguments.threshold,
                       arguments.max_bars)
        except OSError as failure:
            raise UsageError("cannot write %s: %s" % (arguments.output,
                                                      failure.strerror or failure))
        except ValueError as failure:
            # matplotlib refuses images of 2^16 pixels or more in either direction.
            raise UsageError("cannot draw %s: %s (give fewer files or a lower --max-bars)"
                             % (arguments.output, failure))
    elif not failed:
        raise UsageError("nothing to draw: no file has cluster phases")
    return EXIT_INPUT if failed else EXIT_OK


def main(argv=None):
    arguments = _arguments().parse_args(argv)
    command = {"show": _show, "slow": _slow, "compare": _compare, "plot": _plot}
    try:
        status = command[arguments.command](arguments)
        sys.stdout.flush()
        return status
    except UsageError as failure:
        _report(failure)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (| head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
