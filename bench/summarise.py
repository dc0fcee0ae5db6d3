#!/usr/bin/env python3
"""Turns the run directories written by fidelity.sh and scaling.sh into
Markdown tables.

    summarise.py fidelity DIR    DIR/product-K and DIR/reference-K, K = 1, 2, ...
    summarise.py scaling DIR     DIR/size-N-K
    summarise.py profile DIR     DIR/perf-script.txt and DIR/strace.txt of
                                 profile_reporting.sh

Each run directory holds time.txt (/usr/bin/time -v of the process),
job-time.txt ("wall user system" of the whole launcher), machine.txt (the
machine's busy jiffies before and after the job) and console.txt.
"""

import os
import re
import statistics
import sys

HZ = os.sysconf("SC_CLK_TCK")
MIB = 1024.0
SPENT = re.compile(r"^The system spent: (\S+) Secs\. $")
KERNELS = ("allocation_power_test", "low_speed_test", "high_speed_test")


def parse_elapsed(text):
    seconds = 0.0
    for part in text.split(":"):
        seconds = seconds * 60 + float(part)
    return seconds


def read_time_v(path):
    fields = {}
    with open(path) as f:
        for line in f:
            key, sep, value = line.strip().rpartition(": ")
            if sep:
                fields[key] = value
    return {
        "wall": parse_elapsed(fields["Elapsed (wall clock) time (h:mm:ss or m:ss)"]),
        "user": float(fields["User time (seconds)"]),
        "system": float(fields["System time (seconds)"]),
        "max_rss_kib": int(fields["Maximum resident set size (kbytes)"]),
        "involuntary": int(fields["Involuntary context switches"]),
    }


def read_run(directory, kernel_seconds):
    run = read_time_v(os.path.join(directory, "time.txt"))
    with open(os.path.join(directory, "job-time.txt")) as f:
        job_wall, job_user, job_system = (float(v) for v in f.read().split()[-3:])
    with open(os.path.join(directory, "machine.txt")) as f:
        before, after = (float(v) for v in f.read().split())
    run["job_wall"] = job_wall
    # Cores kept busy by everything but this job, on average, while it ran.
    run["others"] = max(0.0, ((after - before) / HZ - job_user - job_system) / job_wall)
    with open(os.path.join(directory, "console.txt"), errors="replace") as f:
        run["kernels"] = kernel_seconds(f)
    if len(run["kernels"]) != 3:
        sys.exit(f"{directory}: found {len(run['kernels'])} kernel timings instead of 3")
    run["outside"] = run["wall"] - sum(run["kernels"])
    return run


def product_seconds(console):
    """The baseline's three "The system spent" figures: the first three."""
    found = []
    for line in console:
        match = SPENT.match(line.rstrip("\n"))
        if match:
            found.append(float(match.group(1)))
            if len(found) == 3:
                break
    return found


def reference_seconds(console):
    found = {}
    for line in console:
        parts = line.split()
        if len(parts) == 2 and parts[0] in KERNELS:
            found[parts[0]] = float(parts[1])
    return [found[k] for k in KERNELS if k in found]


def runs_of(directory, prefix, kernel_seconds):
    runs = {}
    for name in os.listdir(directory):
        match = re.fullmatch(re.escape(prefix) + r"(\d+)", name)
        if match:
            runs[int(match.group(1))] = read_run(os.path.join(directory, name), kernel_seconds)
    return runs


def median(values):
    return statistics.median(values)


def spread(values):
    return f"{min(values):.3f}–{max(values):.3f}"


def noise_line(runs, directory):
    others = [r["others"] for r in runs]
    discarded_dir = os.path.join(directory, "discarded")
    discarded = len(os.listdir(discarded_dir)) if os.path.isdir(discarded_dir) else 0
    involuntary = [r["involuntary"] for r in runs]
    return (
        f"Other work on the machine during the runs: median {median(others):.2f} cores, "
        f"max {max(others):.2f} cores (of {os.cpu_count()}); involuntary context switches "
        f"of the measured process: median {median(involuntary):.0f}, max {max(involuntary)}. "
        f"Runs set aside and taken again because other work disturbed them: {discarded}."
    )


def verdict(ok):
    return "met" if ok else "**missed**"


def fidelity(directory):
    product = runs_of(directory, "product-", product_seconds)
    reference = runs_of(directory, "reference-", reference_seconds)
    rounds = sorted(set(product) & set(reference))
    if not rounds:
        sys.exit(f"{directory}: no complete pair of runs")
    p = [product[k] for k in rounds]
    r = [reference[k] for k in rounds]

    print(f"Runs: {len(rounds)} of each, alternating.\n")
    print("| kernel | product s (median) | reference s (median) | ratio of medians "
          "| median of paired ratios | product range | reference range | within 2% |")
    print("|---|---|---|---|---|---|---|---|")
    for i, kernel in enumerate(KERNELS):
        ps = [run["kernels"][i] for run in p]
        rs = [run["kernels"][i] for run in r]
        ratio = median(ps) / median(rs)
        paired = median([a / b for a, b in zip(ps, rs)])
        print(f"| {kernel} | {median(ps):.4f} | {median(rs):.4f} | {ratio:.4f} | {paired:.4f} "
              f"| {spread(ps)} | {spread(rs)} | {verdict(abs(ratio - 1) <= 0.02)} |")

    print()
    print("| whole process | product (median) | reference (median) | ratio / difference "
          "| median of paired | target |")
    print("|---|---|---|---|---|---|")
    pw = [run["wall"] for run in p]
    rw = [run["wall"] for run in r]
    ratio = median(pw) / median(rw)
    print(f"| wall time, s | {median(pw):.2f} | {median(rw):.2f} | {ratio:.4f} "
          f"| {median([a / b for a, b in zip(pw, rw)]):.4f} "
          f"| within 3%: {verdict(abs(ratio - 1) <= 0.03)} |")
    po = [run["outside"] for run in p]
    ro = [run["outside"] for run in r]
    print(f"| wall time outside the kernels, s | {median(po):.3f} | {median(ro):.3f} "
          f"| {median(po) - median(ro):+.3f} s "
          f"| {median([a - b for a, b in zip(po, ro)]):+.3f} s | — |")
    pj = [run["job_wall"] for run in p]
    rj = [run["job_wall"] for run in r]
    print(f"| job wall time with the launcher, s | {median(pj):.2f} | {median(rj):.2f} "
          f"| {median(pj) / median(rj):.4f} | {median([a / b for a, b in zip(pj, rj)]):.4f} | — |")
    pm = [run["max_rss_kib"] / MIB for run in p]
    rm = [run["max_rss_kib"] / MIB for run in r]
    difference = median(pm) - median(rm)
    print(f"| peak resident memory, MiB | {median(pm):.1f} | {median(rm):.1f} "
          f"| {difference:+.1f} MiB | {median([a - b for a, b in zip(pm, rm)]):+.1f} MiB "
          f"| within 5 MiB: {verdict(abs(difference) <= 5)} |")
    print()
    print(noise_line(p + r, directory))


def scaling(directory):
    by_size = {}
    for name in os.listdir(directory):
        match = re.fullmatch(r"size-(\d+)-(\d+)", name)
        if match:
            run = read_run(os.path.join(directory, name), product_seconds)
            by_size.setdefault(int(match.group(1)), []).append(run)
    if 1 not in by_size:
        sys.exit(f"{directory}: no run of size 1 to measure against")
    sizes = sorted(by_size)
    base = by_size[1]
    base_outside = median([r["outside"] for r in base])
    base_job = median([r["job_wall"] - sum(r["kernels"]) for r in base])
    base_rss = median([r["max_rss_kib"] for r in base]) / MIB

    print(f"Runs per size: {', '.join(f'{n}: {len(by_size[n])}' for n in sizes)}. "
          "\"Outside the kernels\" is the process's wall time minus the three baseline "
          "seconds the same run printed.\n")
    print("| simulated size | workers | outside the kernels, s (median) | range "
          "| reporting cost, s | per worker, µs | job (launcher) cost, s "
          "| peak RSS, MiB | beyond one process, MiB | per worker, bytes |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for n in sizes:
        runs = by_size[n]
        outside = [r["outside"] for r in runs]
        cost = median(outside) - base_outside
        job = median([r["job_wall"] - sum(r["kernels"]) for r in runs]) - base_job
        rss = median([r["max_rss_kib"] for r in runs]) / MIB
        workers = n - 1
        per_worker = f"{cost / workers * 1e6:.0f}" if workers else "—"
        per_worker_bytes = f"{(rss - base_rss) * MIB * 1024 / workers:.0f}" if workers else "—"
        print(f"| {n} | {workers} | {median(outside):.3f} | {spread(outside)} | {cost:+.3f} "
              f"| {per_worker} | {job:+.3f} | {rss:.1f} | {rss - base_rss:+.2f} "
              f"| {per_worker_bytes} |")

    # Least squares over every run, not only the medians.
    points = [(n - 1, r["outside"], r["max_rss_kib"] / MIB) for n in sizes for r in by_size[n]]
    print()
    for label, index, unit, scale in (("time", 1, "µs", 1e6), ("peak RSS", 2, "KiB", 1024)):
        xs = [p[0] for p in points]
        ys = [p[index] for p in points]
        mx, my = statistics.fmean(xs), statistics.fmean(ys)
        sxx = sum((x - mx) ** 2 for x in xs)
        sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
        syy = sum((y - my) ** 2 for y in ys)
        slope = sxy / sxx
        r2 = sxy * sxy / (sxx * syy) if syy else 1.0
        print(f"- Linear fit of {label} against workers, all runs: {slope * scale:.2f} {unit} "
              f"per worker, R² = {r2:.3f}.")
    if 2048 in by_size and 4096 in by_size:
        def cost_of(n):
            return median([r["outside"] for r in by_size[n]]) - base_outside

        def rss_of(n):
            return median([r["max_rss_kib"] for r in by_size[n]]) / MIB - base_rss

        print(f"- From 2047 to 4095 workers: cost × {cost_of(4096) / cost_of(2048):.2f}, "
              f"memory × {rss_of(4096) / rss_of(2048):.2f} (linear growth: × 2.00).")
    if 4096 in by_size:
        cost = median([r["outside"] for r in by_size[4096]]) - base_outside
        rss = median([r["max_rss_kib"] for r in by_size[4096]]) / MIB - base_rss
        print(f"- At 4096: {cost:.3f} s beyond a one-process run (target under 1 s: "
              f"{verdict(cost < 1)}), {rss:.2f} MiB (target under 16 MiB: {verdict(rss < 16)}).")
    print()
    print(noise_line([r for n in sizes for r in by_size[n]], directory))


# Where the root's time after its baseline goes, by what the sampled call
# chain (kernel frames complete, user frames often cut short) passes through.
PROFILE_CATEGORIES = (
    ("console line writes (the launcher's pseudo-terminal)", ("pty_write", "n_tty_write")),
    ("other write system calls (results file; syscall entry and exit)",
     ("__GI___libc_write", "vfs_write", "ksys_write")),
    ("number formatting", ("__printf_fp", "vfprintf", "num_put", "hack_digit", "__mpn_")),
    ("simulated messages (profiling library)", ("mpi_test_shim", "memset")),
    ("process exit and MPI shut-down", ("exit_mmap", "vms_clear_ptes", "do_exit", "Finalize")),
)


def profile(directory):
    samples = []
    with open(os.path.join(directory, "perf-script.txt"), errors="replace") as f:
        for line in f:
            head = re.match(r"\s*(\d+\.\d+):\s*$", line)
            if head:
                samples.append((float(head.group(1)), []))
                continue
            frame = re.match(r"\s*[0-9a-f]+ (.*) \((.*)\)\s*$", line)
            if frame and samples:
                samples[-1][1].append(frame.group(1) + " " + frame.group(2))
    end_of_baseline = max(t for t, chain in samples if any("high_speed_test" in f for f in chain))
    after = [chain for t, chain in samples if t > end_of_baseline]
    span = max(t for t, _ in samples) - end_of_baseline
    counts = {label: 0 for label, _ in PROFILE_CATEGORIES}
    counts["other (stream machinery, report code, MPI calls)"] = 0
    for chain in after:
        text = " ".join(chain)
        for label, keys in PROFILE_CATEGORIES:
            if any(key in text for key in keys):
                counts[label] += 1
                break
        else:
            counts["other (stream machinery, report code, MPI calls)"] += 1
    print(f"CPU samples after the baseline's last kernel: {len(after)}, over {span:.3f} s "
          "of wall time up to the process's end.\n")
    print("| where | samples | share |")
    print("|---|---|---|")
    for label, count in counts.items():
        print(f"| {label} | {count} | {100.0 * count / max(1, len(after)):.0f}% |")
    writes = {}
    with open(os.path.join(directory, "strace.txt")) as f:
        for line in f:
            call = re.match(r"(?:\d+\s+)?(write|writev)\((\d+),", line)
            if call:
                writes[call.group(2)] = writes.get(call.group(2), 0) + 1
    print()
    print("Write system calls by file descriptor (separate run under strace): " +
          ", ".join(f"fd {fd}: {n}" for fd, n in sorted(writes.items(), key=lambda i: -i[1])) +
          ".")


if __name__ == "__main__":
    commands = {"fidelity": fidelity, "scaling": scaling, "profile": profile}
    if len(sys.argv) != 3 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    commands[sys.argv[1]](sys.argv[2])
