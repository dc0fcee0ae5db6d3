"""Figures derived from a run: phase medians, each worker against its
phase's median, slow workers, per-host medians and run-to-run changes.

Rates are the millions of operations per second as the report prints them.
A rate that is not a number (nan) takes no part in a median and is never
called slow; an infinite rate sorts like any other.
"""

import math
from dataclasses import dataclass
from typing import List, Optional

from .parse import PHASES


def median(values):
    """The median of the values that are numbers; None when there are none."""
    numbers = sorted(value for value in values if not math.isnan(value))
    if not numbers:
        return None
    middle = len(numbers) // 2
    if len(numbers) % 2:
        return numbers[middle]
    low, high = numbers[middle - 1], numbers[middle]
    if low == high:  # also keeps inf + inf from becoming nan below
        return low
    return (low + high) / 2


def relative(rate, reference):
    """rate / reference, or None when that has no meaning."""
    if reference is None or math.isnan(rate) or reference == 0 or not math.isfinite(reference):
        return None
    return rate / reference


def phase_median(phase):
    return median(worker.millions for worker in phase.workers)


def is_slow(rate, reference, threshold):
    """Whether rate lies more than threshold percent below reference."""
    if reference is None or math.isnan(rate):
        return False
    return rate < reference * (1 - threshold / 100.0)


def percent_below(rate, reference):
    ratio = relative(rate, reference)
    return None if ratio is None else (1 - ratio) * 100


@dataclass
class SlowWorker:
    phase: object    # parse.Phase
    worker: object   # parse.Worker
    median: float


def slow_workers(run, threshold):
    """The workers of a run whose rate in some phase is more than threshold
    percent below that phase's median, in phase order, then rank order."""
    found = []
    for phase in run.phases:
        reference = phase_median(phase)
        for worker in phase.workers:
            if is_slow(worker.millions, reference, threshold):
                found.append(SlowWorker(phase, worker, reference))
    return found


@dataclass
class HostGroup:
    host: str
    ranks: List[int]
    medians: List[Optional[float]]   # one per phase of the run, in order


def host_groups(run):
    """Every host of the run's workers with its ranks and its median rate per
    phase, in the order in which the hosts first appear."""
    ranks_by_host = {}
    for phase in run.phases[:1]:
        for worker in phase.workers:
            ranks_by_host.setdefault(worker.host, []).append(worker.rank)
    groups = []
    for host, ranks in ranks_by_host.items():
        medians = [median(worker.millions for worker in phase.workers if worker.host == host)
                   for phase in run.phases]
        groups.append(HostGroup(host, ranks, medians))
    return groups


def percent_change(old, new):
    """The change from old to new in percent, or None when it has no meaning."""
    if old is None or new is None:
        return None
    ratio = relative(new, old)
    if ratio is None or not math.isfinite(ratio):
        return None
    return (ratio - 1) * 100


@dataclass
class HostChange:
    host: str
    changes: List[Optional[float]]   # percent, one per phase kind


@dataclass
class Comparison:
    common: List[HostChange]
    only_old: List[HostGroup]
    only_new: List[HostGroup]
    baseline: List[Optional[float]]  # the root's own change per phase kind


def compare_runs(old, new):
    """Lines up the workers' hosts of two runs (a host's rate is the median of
    its processes) and gives each common host's change per phase."""
    old_groups = {group.host: group for group in host_groups(old)}
    new_groups = {group.host: group for group in host_groups(new)}

    def host_median(run, groups, host, kind):
        for index, phase in enumerate(run.phases):
            if phase.kind is kind:
                return groups[host].medians[index]
        return None

    common = []
    for host in old_groups:
        if host in new_groups:
            common.append(HostChange(host, [
                percent_change(host_median(old, old_groups, host, kind),
                               host_median(new, new_groups, host, kind))
                for kind in PHASES]))
    baseline = [percent_change(old.baseline[kind.key].millions, new.baseline[kind.key].millions)
                for kind in PHASES]
    return Comparison(
        common=common,
        only_old=[group for host, group in old_groups.items() if host not in new_groups],
        only_new=[group for host, group in new_groups.items() if host not in old_groups],
        baseline=baseline)
