"""Charts of the workers' rates: one row of panels per run, one panel per
phase. Up to max_bars workers each worker is a bar with its host on the axis;
beyond that the rates are drawn as a sorted distribution. The phase's median
is marked and the workers that slow would name are highlighted."""

import io
import math
import os
import tempfile

from . import analysis

BAR_COLOUR = "#4c72b0"
SLOW_COLOUR = "#d62728"
MEDIAN_COLOUR = "#222222"
THRESHOLD_COLOUR = "#d62728"

# Vertical space per worker bar, and what a row needs besides its bars.
INCHES_PER_BAR = 0.2
ROW_MARGIN_INCHES = 1.3
DISTRIBUTION_ROW_INCHES = 3.2
LEGEND_INCHES = 0.4


def _finite(value):
    return value is not None and math.isfinite(value)


def _row_title(run):
    parts = ["root %s" % run.host if run.host is not None else run.path]
    if run.started is not None:
        parts.append(run.started.strftime("%Y-%m-%d %H:%M:%S"))
    parts.append("%d workers" % (run.processes - 1))
    return ", ".join(parts)


def _mark_median(axes, reference, threshold, vertical):
    if not _finite(reference):
        return
    line = axes.axvline if vertical else axes.axhline
    line(reference, color=MEDIAN_COLOUR, linestyle="--", linewidth=1)
    line(reference * (1 - threshold / 100.0), color=THRESHOLD_COLOUR, linestyle=":",
         linewidth=1)


def _bars(axes, phase, threshold, labels):
    reference = analysis.phase_median(phase)
    rates = [worker.millions for worker in phase.workers]
    positions = list(range(len(rates)))
    colours = [SLOW_COLOUR if analysis.is_slow(rate, reference, threshold) else BAR_COLOUR
               for rate in rates]
    axes.barh(positions, [rate if math.isfinite(rate) else 0 for rate in rates],
              color=colours, height=0.8)
    for position, rate in zip(positions, rates):
        if not math.isfinite(rate):
            axes.text(0, position, " %g" % rate, va="center", fontsize=7)
    axes.set_yticks(positions)
    axes.set_yticklabels(labels, fontsize=7 if len(labels) > 40 else 9)
    axes.set_ylim(len(rates) - 0.5, -0.5)   # rank 1 at the top
    axes.margins(x=0.02)
    _mark_median(axes, reference, threshold, vertical=True)
    axes.set_xlabel("millions per second")


def _distribution(axes, phase, threshold):
    reference = analysis.phase_median(phase)
    rates = sorted(rate for rate in (worker.millions for worker in phase.workers)
                   if math.isfinite(rate))
    positions = list(range(1, len(rates) + 1))
    axes.plot(positions, rates, color=BAR_COLOUR, linewidth=1)
    slow = [(position, rate) for position, rate in zip(positions, rates)
            if analysis.is_slow(rate, reference, threshold)]
    if slow:
        axes.scatter([p for p, _ in slow], [r for _, r in slow], color=SLOW_COLOUR, s=8,
                     zorder=3)
    _mark_median(axes, reference, threshold, vertical=False)
    axes.set_xlabel("workers, sorted by rate")
    axes.xaxis.get_major_locator().set_params(integer=True)
    axes.set_ylabel("millions per second")


def load_matplotlib():
    """Imports matplotlib for drawing into files; ImportError without it."""
    import matplotlib
    matplotlib.use("Agg")
    # Text stays text in SVG (searchable, selectable), and ids are stable.
    matplotlib.rcParams["svg.fonttype"] = "none"
    matplotlib.rcParams["svg.hashsalt"] = "vellastron-report"
    return matplotlib


def draw(runs, output, image_format, threshold, max_bars):
    """Writes the chart of the runs that have cluster phases to output."""
    load_matplotlib()
    from matplotlib import pyplot
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    heights = []
    for run in runs:
        workers = run.processes - 1
        heights.append(INCHES_PER_BAR * workers + ROW_MARGIN_INCHES if workers <= max_bars
                       else DISTRIBUTION_ROW_INCHES)
    figure = pyplot.figure(figsize=(13, sum(heights) + LEGEND_INCHES), layout="constrained")
    rows = figure.subfigures(len(runs) + 1, 1, squeeze=False,
                             height_ratios=heights + [LEGEND_INCHES])[:, 0]
    for row, run in zip(rows, runs):
        bars = run.processes - 1 <= max_bars
        panels = row.subplots(1, len(run.phases), sharey=bars, squeeze=False)[0]
        labels = ["%s (%d)" % (worker.host, worker.rank) for worker in run.phases[0].workers]
        for axes, phase in zip(panels, run.phases):
            if bars:
                _bars(axes, phase, threshold, labels)
            else:
                _distribution(axes, phase, threshold)
            reference = analysis.phase_median(phase)
            axes.set_title("%s, median %s M/s" % (
                phase.kind.name, "n/a" if reference is None else "%g" % reference), fontsize=10)
            axes.grid(axis="x" if bars else "y", linestyle=":", linewidth=0.5)
        row.suptitle(_row_title(run), x=0.01, ha="left", fontsize=11)
    rows[-1].legend(
        handles=[Patch(color=BAR_COLOUR, label="worker"),
                 Patch(color=SLOW_COLOUR, label="slow worker"),
                 Line2D([], [], color=MEDIAN_COLOUR, linestyle="--", label="phase median"),
                 Line2D([], [], color=THRESHOLD_COLOUR, linestyle=":",
                        label="%g%% below the median" % threshold)],
        loc="center", ncol=4, frameon=False, fontsize=9)
    metadata = {"Date": None} if image_format == "svg" else {"Software": None}
    # Drawn in full before the chart's file is touched, which then appears
    # whole or not at all.
    image = io.BytesIO()
    try:
        figure.savefig(image, format=image_format, dpi=100, metadata=metadata)
    finally:
        pyplot.close(figure)
    directory = os.path.dirname(os.path.abspath(output))
    descriptor, temporary = tempfile.mkstemp(prefix=".chart-", dir=directory)
    try:
        with os.fdopen(descriptor, "wb") as stream:
            stream.write(image.getvalue())
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, output)
    except BaseException:
        os.unlink(temporary)
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
