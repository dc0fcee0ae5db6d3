"""What the commands print: tables, JSON and CSV records, the slow-worker
list and the comparison of two runs."""

import csv
import json
import math

from . import analysis
from .parse import PHASES


def figure(value):
    """A figure the way the report writes it (six significant digits)."""
    return "-" if value is None else "%g" % value


def ratio_text(value):
    return "-" if value is None else "%.3f" % value


def percent_text(value):
    return "n/a" if value is None else "%+.1f%%" % value


def run_title(run):
    details = []
    if run.host is not None:
        details.append("host %s" % run.host)
    if run.started is not None:
        details.append("started %s" % run.started.strftime("%Y-%m-%d %H:%M:%S"))
    details.append("%d process%s" % (run.processes, "" if run.processes == 1 else "es"))
    details.append(run.source)
    return "%s\n  %s" % (run.path, ", ".join(details))


def _groups(header):
    """(start, end) of each header cell with the None cells that follow it."""
    index = 0
    while index < len(header):
        end = index + 1
        while end < len(header) and header[end] is None:
            end += 1
        yield index, end
        index = end


def _render(header_rows, rows, right_from):
    """Aligned columns: the first right_from columns to the left, the others to
    the right. A header cell of None belongs to the group on its left."""
    count = max(len(row) for row in header_rows + rows)
    widths = [0] * count
    for row in rows:
        for index, cell in enumerate(row):
            widths[index] = max(widths[index], len(cell))

    def span(index, end):
        return sum(widths[index:end]) + 2 * (end - index - 1)

    # A group title spans its columns; the last column of the group widens
    # when the title is longer than the group.
    for header in header_rows:
        for index, end in _groups(header):
            if len(header[index]) > span(index, end):
                widths[end - 1] += len(header[index]) - span(index, end)
    lines = []
    for header in header_rows:
        cells = []
        for index, end in _groups(header):
            if end - index == 1 and index >= right_from:
                cells.append(header[index].rjust(span(index, end)))
            else:
                cells.append(header[index].ljust(span(index, end)))
        lines.append("  ".join(cells).rstrip())
    for row in rows:
        cells = [cell.ljust(widths[i]) if i < right_from else cell.rjust(widths[i])
                 for i, cell in enumerate(row)]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def run_table(run):
    """One run as a table: the phases as column groups, one row per worker
    (rank, host, millions per second, MB/s where the phase has it, and the
    rate against the phase's median), the root's baseline first and the
    phase summaries last."""
    group_row = ["", ""]
    column_row = ["rank", "host"]
    for kind in PHASES:
        columns = ["M/s", "MB/s", "rel"] if kind.has_mb else ["M/s", "rel"]
        group_row += [kind.name] + [None] * (len(columns) - 1)
        column_row += columns

    def cells(values, kind):
        millions, mb, rel = values
        return [millions, mb, rel] if kind.has_mb else [millions, rel]

    root_row = ["0", "%s (root, baseline)" % (run.host if run.host is not None else "?")]
    for kind in PHASES:
        measured = run.baseline[kind.key]
        root_row += cells((figure(measured.millions), figure(measured.mb), ""), kind)
    rows = [root_row]

    medians = {phase.kind.key: analysis.phase_median(phase) for phase in run.phases}
    for index in range(run.processes - 1):
        first = run.phases[0].workers[index]
        row = [str(first.rank), first.host]
        for phase in run.phases:
            worker = phase.workers[index]
            rel = analysis.relative(worker.millions, medians[phase.kind.key])
            row += cells((figure(worker.millions), figure(worker.mb), ratio_text(rel)),
                         phase.kind)
        rows.append(row)

    if run.phases:
        summary_rows = [("median", lambda phase: (medians[phase.kind.key], None)),
                        ("total", lambda phase: (phase.summary.total_millions,
                                                 phase.summary.total_mb)),
                        ("improvement (times)", lambda phase: (phase.summary.improvement, None)),
                        ("average", lambda phase: (phase.summary.average_millions,
                                                   phase.summary.average_mb))]
        for label, values in summary_rows:
            row = ["", label]
            for phase in run.phases:
                millions, mb = values(phase)
                row += cells((figure(millions), "" if mb is None else figure(mb), ""),
                             phase.kind)
            rows.append(row)

    legend = ("M/s: millions of operations per second; rel: rate / the phase's median "
              "worker rate")
    if not run.phases:
        legend += "\nno cluster phases: a job of one process measures the root only"
    return "%s\n\n%s\n\n%s" % (run_title(run), _render([group_row, column_row], rows, 2), legend)


# --- records -----------------------------------------------------------------

def _number(value):
    """A figure for JSON, which has no infinity or not-a-number: those become
    the strings "inf", "-inf" and "nan"."""
    if value is None or math.isfinite(value):
        return value
    if math.isnan(value):
        return "nan"
    return "inf" if value > 0 else "-inf"


def run_record(run):
    """A run as plain data: what show --json writes for each file."""
    record = {
        "file": run.path,
        "source": run.source,
        "host": run.host,
        "started": run.started.isoformat() if run.started is not None else None,
        "processes": run.processes,
        "baseline": {},
        "phases": {},
    }
    for kind in PHASES:
        measured = run.baseline[kind.key]
        record["baseline"][kind.key] = {
            "seconds": _number(measured.seconds),
            "millions_per_sec": _number(measured.millions),
            "mb_per_sec": _number(measured.mb),
        }
    for phase in run.phases:
        reference = analysis.phase_median(phase)
        summary = phase.summary
        record["phases"][phase.kind.key] = {
            "median_millions_per_sec": _number(reference),
            "workers": [{
                "rank": worker.rank,
                "host": worker.host,
                "seconds": _number(worker.seconds),
                "millions_per_sec": _number(worker.millions),
                "mb_per_sec": _number(worker.mb),
                "relative_to_median": _number(analysis.relative(worker.millions, reference)),
            } for worker in phase.workers],
            "summary": {
                "total_millions_per_sec": _number(summary.total_millions),
                "total_mb_per_sec": _number(summary.total_mb),
                "improvement": _number(summary.improvement),
                "average_millions_per_sec": _number(summary.average_millions),
                "average_mb_per_sec": _number(summary.average_mb),
            },
        }
    return record


def write_json(runs, stream):
    json.dump([run_record(run) for run in runs], stream, indent=2, allow_nan=False)
    stream.write("\n")


CSV_COLUMNS = ["file", "run_host", "started", "processes", "phase", "row", "rank", "host",
               "seconds", "millions_per_sec", "mb_per_sec", "relative_to_median",
               "improvement"]


def _csv_figure(value):
    if value is None:
        return ""
    return repr(float(value)) if math.isfinite(value) else _number(value)


def write_csv(runs, stream):
    """The same records, one row per figure group: "baseline" (the root's own
    measurement), "worker", "total" (with the phase's improvement) and
    "average"."""
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(CSV_COLUMNS)
    for run in runs:
        common = [run.path, run.host or "",
                  run.started.isoformat() if run.started is not None else "", run.processes]
        for kind in PHASES:
            measured = run.baseline[kind.key]
            writer.writerow(common + [kind.key, "baseline", 0, run.host or "",
                                      _csv_figure(measured.seconds),
                                      _csv_figure(measured.millions),
                                      _csv_figure(measured.mb), "", ""])
        for phase in run.phases:
            reference = analysis.phase_median(phase)
            for worker in phase.workers:
                writer.writerow(common + [
                    phase.kind.key, "worker", worker.rank, worker.host,
                    _csv_figure(worker.seconds), _csv_figure(worker.millions),
                    _csv_figure(worker.mb),
                    _csv_figure(analysis.relative(worker.millions, reference)), ""])
            summary = phase.summary
            writer.writerow(common + [phase.kind.key, "total", "", "", "",
                                      _csv_figure(summary.total_millions),
                                      _csv_figure(summary.total_mb), "",
                                      _csv_figure(summary.improvement)])
            writer.writerow(common + [phase.kind.key, "average", "", "", "",
                                      _csv_figure(summary.average_millions),
                                      _csv_figure(summary.average_mb), "", ""])


# --- slow --------------------------------------------------------------------

def slow_text(run, found, threshold):
    lines = [run.path]
    if not run.phases:
        lines.append("  no cluster phases (1 process): no worker to compare")
        return "\n".join(lines)
    if not found:
        lines.append("  no slow worker: none more than %g%% below its phase's median" % threshold)
    else:
        lines.append("  slow, more than %g%% below the phase's median:" % threshold)
        rows = []
        for item in found:
            rows.append(["rank %d" % item.worker.rank, item.worker.host, item.phase.kind.name,
                         figure(item.worker.millions) + " M/s",
                         "%.1f%% below" % analysis.percent_below(item.worker.millions,
                                                                 item.median),
                         "median " + figure(item.median) + " M/s"])
        lines += ["    " + line for line in _render([], rows, 3).split("\n")]
    shared = [group for group in analysis.host_groups(run) if len(group.ranks) > 1]
    if shared:
        lines.append("  hosts with several processes, median per host:")
        rows = []
        for group in shared:
            row = [group.host, "ranks " + ",".join(str(rank) for rank in group.ranks)]
            for phase, host_median in zip(run.phases, group.medians):
                change = analysis.percent_change(analysis.phase_median(phase), host_median)
                row.append("%s %s M/s (%s)" % (phase.kind.name, figure(host_median),
                                               percent_text(change)))
            rows.append(row)
        lines += ["    " + line for line in _render([], rows, 99).split("\n")]
    return "\n".join(lines)


# --- compare -----------------------------------------------------------------

def compare_text(old, new, comparison):
    lines = ["old: " + run_title(old).replace("\n", "\n     "),
             "new: " + run_title(new).replace("\n", "\n     "),
             "",
             "change per phase, new against old (a host's rate is the median of its processes)"]
    header = ["host"] + [kind.name for kind in PHASES]
    rows = []
    for change in comparison.common:
        rows.append([change.host] + [percent_text(value) for value in change.changes])
    rows.append(["root baseline (%s -> %s)" % (old.host or "?", new.host or "?")]
                + [percent_text(value) for value in comparison.baseline])
    lines.append(_render([header], rows, 1))
    for label, groups in (("only in old", comparison.only_old),
                          ("only in new", comparison.only_new)):
        if groups:
            lines.append("")
            lines.append(label + ":")
            for group in groups:
                lines.append("  %s (rank%s %s)" % (group.host, "s" if len(group.ranks) > 1 else "",
                                                   ",".join(str(r) for r in group.ranks)))
    if not old.phases or not new.phases:
        lines.append("")
        lines.append("note: a run of one process has no workers to line up")
    return "\n".join(lines)
