#!/usr/bin/env python3
"""One Slurm test: brings up a real Slurm cluster of three nodes on this
machine (slurmcluster.py), starts the real benchmark on it by one launch
route, checks what came out and tears the cluster down.

    run_case.py CASE --binary BENCHMARK [--launcher MPIEXEC]
    run_case.py cleanup
    run_case.py readme                   (needs no cluster)
    run_case.py --list openmpi|mpich     (the cases of one implementation)

Exit status: 0 passed, 1 failed, 77 skipped (no namespaces or no Slurm
here; the reason is printed on one line). With VELLASTRON_MULTIHOST_REQUIRED=1
in the environment a machine that cannot run the cluster fails instead.
"""

import argparse
import collections
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "multihost"))

import report_layout  # noqa: E402
import slurmcluster  # noqa: E402
import testcluster  # noqa: E402

SCRIPTS = os.path.join(HERE, "..", "..", "scripts", "slurm")

# Names in Slurm's own (sorted) order, the first one, the root's, the
# longest: a shorter name reported after it shows any character left behind.
NODES = ["alpha-head-node", "beta", "gamma-3"]
TASKS_PER_NODE = 2

# A job bound that only a hang reaches, below ctest's TIMEOUT, so that a
# hang is reported and the cluster still torn down here.
JOB_TIMEOUT = 240

# How a route's outcome is judged.
ONE_JOB = "one job"              # one MPI job of every task: one report, one file
SEPARATE_JOBS = "separate jobs"  # every task an MPI job of its own

Case = collections.namedtuple("Case", "flavour route launch nodes expect")

CASES = {
    # Open MPI: direct launch by srun through PMIx, and mpirun in a batch job.
    "openmpi_srun_pmix": Case("openmpi", "srun", ["--mpi=pmix"], 3, ONE_JOB),
    "openmpi_sbatch_mpirun": Case("openmpi", "sbatch", "openmpi.sbatch", 3, ONE_JOB),
    # MPICH: direct launch by srun through PMI-2, and Hydra in a batch job.
    "mpich_srun_pmi2": Case("mpich", "srun", ["--mpi=pmi2"], 3, ONE_JOB),
    "mpich_sbatch_mpirun": Case("mpich", "sbatch", "mpich.sbatch", 3, ONE_JOB),
    # The wrong routes: MPICH's processes find no process manager they can
    # talk to (PMIx, or none where the site's default is none), each starts
    # as an MPI job of one, and every one succeeds.
    "mpich_srun_pmix_trap": Case("mpich", "srun", ["--mpi=pmix"], 3, SEPARATE_JOBS),
    "mpich_srun_bare_trap": Case("mpich", "srun", [], 3, SEPARATE_JOBS),
}


class Failure(Exception):
    pass


# --- running a job -----------------------------------------------------------
class Outcome:
    def __init__(self, job_id, console, status, job, stderr):
        self.job_id = job_id
        self.console = console      # the report's lines as the route delivers them
        self.status = status        # the client's exit status (srun), None for sbatch
        self.job = job              # the controller's record of the job
        self.stderr = stderr

    def diagnostics(self, cluster):
        record = " ".join("%s=%s" % item for item in sorted((self.job or {}).items()))
        return ("--- console (%d lines) ---\n%s\n--- stderr ---\n%s\n--- job ---\n%s\n%s"
                % (len(self.console), "\n".join(self.console), self.stderr, record,
                   cluster.logs()))


def srun_command(case, binary):
    """The srun line of a route, as the README gives it."""
    return (["srun"] + case.launch
            + ["-N%d" % case.nodes, "-n%d" % (case.nodes * TASKS_PER_NODE), binary])


def run_srun(cluster, case, binary, launch_directory, label=False):
    argv = srun_command(case, binary)
    if label:
        # Tells the tasks' interleaved lines apart.
        argv.insert(-1, "--label")
    env = cluster.environment()
    process = subprocess.Popen(cluster.client_command(argv, launch_directory),
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=env,
                               start_new_session=True)
    try:
        stdout, stderr = process.communicate(timeout=JOB_TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        stdout, stderr = process.communicate()
        raise Failure("srun did not end within %d s\n%s\n%s\n%s"
                      % (JOB_TIMEOUT, stdout, stderr, cluster.logs()))
    jobs = cluster.jobs()
    if len(jobs) != 1:
        raise Failure("srun made %d jobs, not one: %s\n%s" % (len(jobs), sorted(jobs), stderr))
    job_id = next(iter(jobs))
    record = wait_for_end(cluster, job_id)
    return Outcome(job_id, stdout.splitlines(), process.returncode, record, stderr)


def run_sbatch(cluster, case, binary, launcher, launch_directory):
    # The batch script calls the launcher by its usual name; the one of this
    # build comes first on the job's PATH, as a loaded module would put it.
    # A script, not a link: Hydra looks for its proxy beside the path it was
    # started by.
    bin_directory = os.path.join(launch_directory, "..", "bin")
    os.makedirs(bin_directory)
    name = "mpirun" if case.flavour == "openmpi" else "mpirun.mpich"
    wrapper = os.path.join(bin_directory, name)
    with open(wrapper, "w") as out:
        out.write("#!/bin/sh\nexec '%s' \"$@\"\n" % launcher)
    os.chmod(wrapper, 0o755)
    env = cluster.environment()
    env["PATH"] = os.path.abspath(bin_directory) + ":" + env.get("PATH", "")
    if case.flavour == "openmpi":
        env.update({"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1"})
    script = os.path.join(SCRIPTS, case.launch)
    result = subprocess.run(cluster.client_command(["sbatch", script, binary], launch_directory),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, timeout=60)
    submitted = re.fullmatch(r"Submitted batch job (\d+)\s*", result.stdout)
    if result.returncode != 0 or not submitted:
        raise Failure("sbatch failed (status %d): %s%s"
                      % (result.returncode, result.stdout, result.stderr))
    job_id = int(submitted.group(1))
    record = wait_for_end(cluster, job_id)
    output = os.path.join(launch_directory, "vellastron-%d.out" % job_id)
    errors = os.path.join(launch_directory, "vellastron-%d.err" % job_id)
    console = read_lines(output) if os.path.exists(output) else []
    stderr = open(errors).read() if os.path.exists(errors) else "(no %s)\n" % errors
    return Outcome(job_id, console, None, record, stderr)


def wait_for_end(cluster, job_id):
    """Polls the controller until the job is in a final state; its record."""
    deadline = time.monotonic() + JOB_TIMEOUT
    while True:
        record = cluster.jobs().get(job_id)
        if record is not None and record.get("JobState") in slurmcluster.FINAL_STATES:
            return record
        if time.monotonic() > deadline:
            cluster.client(["scancel", str(job_id)], check=False)
            raise Failure("job %d did not end within %d s (%s)\n%s"
                          % (job_id, JOB_TIMEOUT, (record or {}).get("JobState"),
                             cluster.logs()))
        time.sleep(0.5)


def read_lines(path):
    with open(path, newline="") as text:
        return text.read().splitlines()


def placement_of(cluster, record):
    """The host of every rank: Slurm's block distribution over the job's
    nodes in Slurm's order, TASKS_PER_NODE each."""
    hosts = cluster.client(["scontrol", "show", "hostnames", record["NodeList"]]).stdout.split()
    return [host for host in hosts for _ in range(TASKS_PER_NODE)]


def benchmark_left(cluster, binary):
    """Benchmark processes still on any node a while after the job ended."""
    real_binary = os.path.realpath(binary)
    deadline = time.monotonic() + 15
    while True:
        left = []
        for node in cluster.node_names:
            for pid in cluster.hosts.processes_on(node):
                try:
                    if os.path.realpath("/proc/%d/exe" % pid) == real_binary:
                        left.append("%s: %d" % (node, pid))
                except OSError:
                    pass
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.2)


# --- judging -------------------------------------------------------------------
# What a good route may write on its standard error. Hydra starts its proxies,
# one per node, with srun inside the batch job, which inherits the job's
# tasks per node and says that it ignores them.
HARMLESS_MESSAGES = [
    re.compile(r"srun: Warning: can't honor --ntasks-per-node set to \d+ which doesn't match "
               r"the requested tasks \d+ with the number of requested nodes \d+\. "
               r"Ignoring --ntasks-per-node\."),
]


def check_messages(outcome, problems):
    """A launch that works says nothing on standard error, but the above."""
    unexpected = [line for line in outcome.stderr.splitlines()
                  if not any(p.fullmatch(line) for p in HARMLESS_MESSAGES)]
    if unexpected:
        problems.append("unexpected messages on standard error: %s" % unexpected)


def check_accounting(outcome, problems):
    job = outcome.job
    if job.get("JobState") != "COMPLETED" or job.get("ExitCode") != "0:0":
        problems.append("Slurm recorded job %d as %s with ExitCode=%s, not COMPLETED with "
                        "ExitCode=0:0" % (outcome.job_id, job.get("JobState"),
                                          job.get("ExitCode")))
    if outcome.status not in (None, 0):
        problems.append("srun ended with status %d, not 0" % outcome.status)


def check_one_job(cluster, outcome, launch_directory, problems):
    """The whole report of one job of every task, on the console and in
    the one results file, named after rank 0's host."""
    placement = placement_of(cluster, outcome.job)
    if sorted(set(placement)) != sorted(cluster.node_names):
        problems.append("the job ran on %s, not on %s" % (sorted(set(placement)),
                                                          cluster.node_names))
    # Where the README sends a user to look for the results file.
    if outcome.job.get("BatchHost") != placement[0]:
        problems.append("Slurm gives %s as BatchHost, rank 0 ran on %s"
                        % (outcome.job.get("BatchHost"), placement[0]))
    names = sorted(n for n in os.listdir(launch_directory) if n.startswith("results_"))
    pattern = re.compile(report_layout.results_file_name_pattern(placement[0]))
    if len(names) != 1 or not pattern.fullmatch(names[0]):
        problems.append("expected one results file named after %s in the job's working "
                        "directory, found %s" % (placement[0], names))
        return
    file_lines = read_lines(os.path.join(launch_directory, names[0]))
    expected = report_layout.expected_report(placement, launch_directory)
    report_problems, captures, _ = report_layout.check_report(outcome.console, file_lines,
                                                              expected)
    problems += report_problems
    if not report_problems and captures.get("results_file") != names[0]:
        problems.append("the console names %r, the folder holds %r"
                        % (captures.get("results_file"), names[0]))
    if not report_problems:
        print("job %d: the whole report of %d processes on %s, one results file %r"
              % (outcome.job_id, len(placement), ", ".join(sorted(set(placement))), names[0]))


def check_separate_jobs(cluster, outcome, launch_directory, problems):
    """Every task's own one-process report, told apart by srun's labels,
    each with a results file of its own named after its host."""
    placement = placement_of(cluster, outcome.job)
    by_task = collections.defaultdict(list)
    for line in outcome.console:
        labelled = re.fullmatch(r"\s*(\d+): ?(.*)", line)
        if labelled is None:
            problems.append("a console line without a task label: %r" % line)
            return
        by_task[int(labelled.group(1))].append(labelled.group(2))
    if sorted(by_task) != list(range(len(placement))):
        problems.append("reports came from tasks %s, not from all %d"
                        % (sorted(by_task), len(placement)))
        return
    named = []
    for task, host in enumerate(placement):
        console = by_task[task]
        if "Thread(s): 1" not in console:
            problems.append("task %d's report does not say \"Thread(s): 1\"" % task)
            continue
        path_line = next((l for l in console if l.startswith("Results have been saved")), "")
        name = path_line.rsplit("/", 1)[-1]
        if not os.path.isfile(os.path.join(launch_directory, name)):
            problems.append("task %d names no results file in the working directory: %r"
                            % (task, path_line))
            continue
        # Two processes of a host may end in the same second: the second
        # one's file gets a number.
        expected = report_layout.expected_report([host], launch_directory, numbered=True)
        task_problems, captures, _ = report_layout.check_report(
            console, read_lines(os.path.join(launch_directory, name)), expected)
        problems += ["task %d: %s" % (task, p) for p in task_problems]
        named.append(captures.get("results_file"))
    files = sorted(n for n in os.listdir(launch_directory) if n.startswith("results_"))
    if not problems and sorted(named) != files:
        problems.append("the reports name %s, the folder holds %s" % (sorted(named), files))
    if not problems:
        print("job %d: %d separate one-process reports (\"Thread(s): 1\"), %d results files, "
              "and Slurm recorded ExitCode=0:0" % (outcome.job_id, len(placement), len(files)))


def run_case(name, args, workdir):
    case = CASES[name]
    launch_directory = os.path.join(workdir, "launch")
    os.makedirs(launch_directory)
    started = time.monotonic()
    with slurmcluster.SlurmCluster(NODES[:case.nodes], os.path.join(workdir, "slurm")) as cluster:
        ready = time.monotonic()
        if case.route == "srun":
            outcome = run_srun(cluster, case, args.binary, launch_directory,
                               label=case.expect == SEPARATE_JOBS)
        else:
            outcome = run_sbatch(cluster, case, args.binary, args.launcher, launch_directory)
        problems = []
        check_accounting(outcome, problems)
        if case.expect == ONE_JOB:
            check_messages(outcome, problems)
            check_one_job(cluster, outcome, launch_directory, problems)
        else:
            check_separate_jobs(cluster, outcome, launch_directory, problems)
        left = benchmark_left(cluster, args.binary)
        if left:
            problems.append("benchmark processes still running after the job: %s"
                            % ", ".join(left))
        if problems:
            raise Failure("\n".join(problems) + "\n" + outcome.diagnostics(cluster))
    messages = outcome.stderr.splitlines()
    print("%s: cluster up in %.1f s, job and checks %.1f s, %.1f s in all; %s"
          % (name, ready - started, time.monotonic() - ready, time.monotonic() - started,
             "the launcher's messages:\n" + "\n".join(messages) if messages
             else "no message from the launcher"))


# --- the README's Slurm section ------------------------------------------------------
README = os.path.join(HERE, "..", "..", "README.md")


def case_readme():
    """The README gives the routes that are run here, as they are run: the
    batch scripts whole or by their launcher line, and each srun line."""
    with open(README) as text:
        readme = text.read()
    problems = []
    fences = re.findall(r"^```[a-z]*\n(.*?)^```$", readme, re.S | re.M)
    for name, case in CASES.items():
        if case.route == "sbatch":
            path = os.path.join(SCRIPTS, case.launch)
            with open(path) as script:
                lines = script.read().splitlines()
            launch_line = next(line for line in lines if line.startswith("exec "))
            if "scripts/slurm/" + case.launch not in readme:
                problems.append("%s: the README does not name scripts/slurm/%s"
                                % (name, case.launch))
            if not any(launch_line in fence.splitlines() for fence in fences):
                problems.append("%s: no README example holds the line %r"
                                % (name, launch_line))
        else:
            line = " ".join(srun_command(case, "build/%s/vellastron-memory" % case.flavour))
            if line + " </dev/null" not in readme:
                problems.append("%s: the README does not give %r" % (name, line + " </dev/null"))
    with open(os.path.join(SCRIPTS, "openmpi.sbatch")) as script:
        whole = script.read()
    if whole not in fences:
        problems.append("the README does not show scripts/slurm/openmpi.sbatch as it stands")
    if problems:
        raise Failure("\n".join(problems))
    print("the README gives all %d routes as they are run" % len(CASES))


# --- the harness's own teardown -------------------------------------------------------
def hold_cluster(workdir, fail):
    """Child of case_cleanup: a cluster with a job running, held until told."""
    base = os.path.join(workdir, "slurm")
    with slurmcluster.SlurmCluster(NODES, base) as cluster:
        env = cluster.environment()
        srun = subprocess.Popen(cluster.client_command(
            ["srun", "--nodes=%d" % len(NODES), "sleep", "600"], workdir),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=env)
        deadline = time.monotonic() + 60
        while not all(cluster.hosts.processes_on(n) and _sleeping(cluster, n) for n in NODES):
            if time.monotonic() > deadline or srun.poll() is not None:
                raise RuntimeError("the held job did not start\n" + cluster.logs())
            time.sleep(0.1)
        print(json.dumps({
            "base": base,
            "daemons": [p.pid for p in cluster.daemons.values()],
            "holders": [cluster.hosts.bridge.pid] + [h.pid for h in cluster.hosts.hosts.values()],
            "namespaces": sorted(cluster.hosts.owned_namespaces()),
            "jobs": sorted(cluster.jobs())}), flush=True)
        if fail:
            raise RuntimeError("failing on purpose")
        while True:
            signal.pause()


def _sleeping(cluster, node):
    for pid in cluster.hosts.processes_on(node):
        try:
            with open("/proc/%d/comm" % pid) as comm:
                if comm.read().strip() == "sleep":
                    return True
        except OSError:
            pass
    return False


def case_cleanup(workdir):
    """A running cluster goes away whole when the harness fails or is told
    to stop: daemons, job, namespaces and base folder."""
    ways = [("an error", None), ("SIGTERM", signal.SIGTERM), ("SIGINT", signal.SIGINT)]
    problems = []
    for number, (way, sig) in enumerate(ways):
        child_dir = os.path.join(workdir, "held-%d" % number)
        os.makedirs(child_dir)
        command = [sys.executable, os.path.abspath(__file__), "hold",
                   "--workdir", child_dir] + (["--fail"] if sig is None else [])
        started = time.monotonic()
        state, stopping = testcluster.hold_and_stop(command, sig)
        way_problems = ["%s: %s" % (way, problem) for problem in stopping]
        if state is not None:
            if len(state["jobs"]) != 1:
                way_problems.append("%s: the held cluster had jobs %s, not one"
                                    % (way, state["jobs"]))
            way_problems += ["%s: %s" % (way, problem) for problem in testcluster.left_behind(
                state["daemons"] + state["holders"], set(state["namespaces"]))]
            if os.path.exists(state["base"]):
                way_problems.append("%s: the base folder %s is still there"
                                    % (way, state["base"]))
        if not way_problems:
            print("%s: held and torn down in %.1f s" % (way, time.monotonic() - started))
        problems += way_problems
    if problems:
        raise Failure("\n".join(problems))


def main():
    if sys.argv[1:2] == ["--list"]:
        # The cases of one implementation, for the build tree that tests it.
        flavour = sys.argv[2] if len(sys.argv) > 2 else None
        print(";".join(name for name, case in CASES.items() if case.flavour == flavour))
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES) + ["cleanup", "readme", "hold"])
    parser.add_argument("--binary")
    parser.add_argument("--launcher")
    parser.add_argument("--workdir")
    parser.add_argument("--fail", action="store_true")
    args = parser.parse_args()

    testcluster.exit_on_signals()

    if args.case == "hold":
        hold_cluster(args.workdir, args.fail)
        return 0
    if args.case == "readme":
        try:
            case_readme()
        except Failure as failure:
            print("FAIL: %s" % failure)
            return 1
        return 0

    status = testcluster.unavailable_status(slurmcluster.check_prerequisites, "Slurm tests")
    if status is not None:
        return status
    if args.case in CASES and not args.binary:
        parser.error("%s needs --binary" % args.case)
    if args.case in CASES and CASES[args.case].route == "sbatch" and not args.launcher:
        parser.error("%s needs --launcher" % args.case)

    workdir = tempfile.mkdtemp(prefix="vellastron-slurm-")
    try:
        if args.case == "cleanup":
            case_cleanup(workdir)
        else:
            run_case(args.case, args, workdir)
    except Failure as failure:
        print("FAIL: %s" % failure)
        return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
