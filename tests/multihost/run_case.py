#!/usr/bin/env python3
"""One multi-host test: builds a cluster of three namespaced hosts, runs a
real job of the benchmark across them with the given MPI launcher, checks
it and tears the cluster down.

    run_case.py CASE --flavour openmpi|mpich --launcher MPIEXEC --binary BENCHMARK

Exit status: 0 passed, 1 failed, 77 skipped (namespaces cannot be made
here; the reason is printed on one line). With VELLASTRON_MULTIHOST_REQUIRED=1
in the environment a machine that cannot make namespaces fails instead.
"""

import argparse
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import report_layout  # noqa: E402
import testcluster  # noqa: E402

# Three hosts whose names differ in length. The root's host, whose worker is
# received first in every phase, has the longest, so a shorter name received
# after it shows any character left behind.
HOSTS = ["vellastron-head", "n2", "node-three"]
PROCESSES_PER_HOST = 2
PLACEMENT = [host for host in HOSTS for _ in range(PROCESSES_PER_HOST)]

# Bounds that only a hung job reaches; they stay well below ctest's TIMEOUT
# so that a hang is reported and cleaned up here.
JOB_TIMEOUT = 300
GRACE = 15


class Failure(Exception):
    pass


# --- the job -------------------------------------------------------------------
def launcher_command(flavour, launcher, binary, hostfile):
    if flavour == "openmpi":
        return [launcher, "--allow-run-as-root", "--hostfile", hostfile,
                "-np", str(len(PLACEMENT)), "--bind-to", "none",
                "--mca", "plm", "rsh",
                "--mca", "plm_rsh_agent", testcluster.AGENT,
                "--mca", "plm_rsh_no_tree_spawn", "1",
                "--mca", "pml", "ob1", "--mca", "btl", "self,tcp",
                "--mca", "btl_tcp_if_include", testcluster.SUBNET,
                "--mca", "oob_tcp_if_include", testcluster.SUBNET,
                binary]
    # Hydra: proxies are started through the agent and call back to the
    # launcher on the bridge address of its interface. MPICH's messages are
    # left to UCX, which sees one kernel and uses shared memory between the
    # hosts' processes: forced onto TCP (UCX_TLS=tcp), Debian 12's MPICH 4.0.2
    # with UCX 1.13 hangs in MPI_Finalize, whatever the program.
    return [launcher, "-rmk", "user", "-launcher", "ssh", "-launcher-exec", testcluster.AGENT,
            "-f", hostfile, "-n", str(len(PLACEMENT)), "-iface", testcluster.HOST_INTERFACE,
            binary]


def write_hostfile(flavour, path):
    with open(path, "w") as out:
        for host in HOSTS:
            if flavour == "openmpi":
                out.write("%s slots=%d\n" % (host, PROCESSES_PER_HOST))
            else:
                out.write("%s:%d\n" % (host, PROCESSES_PER_HOST))


class Job:
    """A launcher running on the root's host, its console read line by line."""

    def __init__(self, cluster, args, workdir):
        self.launch_directory = os.path.join(workdir, "launch")
        os.makedirs(self.launch_directory)
        session_tmp = os.path.join(workdir, "tmp")
        os.makedirs(session_tmp)
        hostfile = os.path.join(workdir, "hostfile")
        write_hostfile(args.flavour, hostfile)
        env = dict(os.environ)
        env.update(cluster.environment())
        env.update({"TMPDIR": session_tmp,
                    "OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1"})
        self.command = launcher_command(args.flavour, args.launcher, args.binary, hostfile)
        self.stderr_path = os.path.join(workdir, "launcher.stderr")
        self.stderr = open(self.stderr_path, "w")
        self.console = []
        self._lines = queue.Queue()
        self.started = time.monotonic()
        # Standard input is empty, never closed: the root's final read must
        # end at once.
        self.process = subprocess.Popen(
            cluster.enter(HOSTS[0], self.command, working_directory=self.launch_directory),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.stderr,
            env=env, text=True, start_new_session=True,
            preexec_fn=testcluster._die_with_parent)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def deadline(self):
        return self.started + JOB_TIMEOUT

    def wait_for_console(self, pattern, after=0):
        """Waits until a console line at index >= after matches; returns its index."""
        regex = re.compile(pattern)
        for index in range(after, len(self.console)):
            if regex.fullmatch(self.console[index]):
                return index
        while True:
            remaining = self.deadline() - time.monotonic()
            if remaining <= 0:
                raise Failure("no console line /%s/ within %d s" % (pattern, JOB_TIMEOUT))
            try:
                line = self._lines.get(timeout=remaining)
            except queue.Empty:
                continue
            if line is None:
                raise Failure("the console ended without a line /%s/" % pattern)
            self.console.append(line)
            if len(self.console) - 1 >= after and regex.fullmatch(line):
                return len(self.console) - 1

    def wait_quiet(self, seconds):
        """Reads the console until it has been silent for `seconds`."""
        while time.monotonic() < self.deadline():
            try:
                line = self._lines.get(timeout=seconds)
            except queue.Empty:
                return
            if line is None:
                self._lines.put(None)
                return
            self.console.append(line)
        raise Failure("the console never fell silent within %d s" % JOB_TIMEOUT)

    def finish(self):
        """Waits for the launcher to end; returns its status, None if it hung."""
        try:
            self.process.wait(timeout=max(0.0, self.deadline() - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.stop()
            status = None
        else:
            status = self.process.returncode
        self._reader.join(timeout=GRACE)
        while True:
            try:
                line = self._lines.get_nowait()
            except queue.Empty:
                break
            if line is not None:
                self.console.append(line)
        self.stderr.close()
        return status

    def stop(self):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, sig)
            except ProcessLookupError:
                return
            try:
                self.process.wait(timeout=GRACE)
                return
            except subprocess.TimeoutExpired:
                pass

    def diagnostics(self):
        with open(self.stderr_path) as err:
            stderr = err.read()
        return ("launcher: %s\n--- console (%d lines) ---\n%s\n--- launcher stderr ---\n%s"
                % (" ".join(self.command), len(self.console), "\n".join(self.console), stderr))


def benchmark_processes(cluster, host, binary):
    """{pid: rank} of the benchmark's processes running on `host`."""
    found = {}
    real_binary = os.path.realpath(binary)
    for pid in cluster.processes_on(host):
        try:
            if os.path.realpath("/proc/%d/exe" % pid) != real_binary:
                continue
            with open("/proc/%d/environ" % pid, "rb") as env:
                variables = dict(item.split(b"=", 1) for item in env.read().split(b"\0")
                                 if b"=" in item)
        except OSError:
            continue
        rank = variables.get(b"OMPI_COMM_WORLD_RANK", variables.get(b"PMI_RANK"))
        if rank is not None:
            found[pid] = int(rank)
    return found


def left_running(cluster):
    """Processes still on any host a while after the launcher has ended."""
    deadline = time.monotonic() + GRACE
    while True:
        left = {host: cluster.processes_on(host) for host in HOSTS}
        left = {host: pids for host, pids in left.items() if pids}
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    described = []
    for host, pids in sorted(left.items()):
        for pid in pids:
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as cmd:
                    command = cmd.read().replace(b"\0", b" ").decode(errors="replace").strip()
            except OSError:
                continue
            described.append("%s: %d %s" % (host, pid, command))
    return described


def results_files(directory):
    return sorted(name for name in os.listdir(directory) if name.startswith("results_"))


def read_lines(path):
    with open(path, newline="") as text:
        return text.read().splitlines()


def the_results_file(job):
    """The one results file in the launch directory, named after the root's
    host: its name and its lines."""
    names = results_files(job.launch_directory)
    pattern = re.compile(report_layout.results_file_name_pattern(HOSTS[0]))
    if len(names) != 1 or not pattern.fullmatch(names[0]):
        raise Failure("expected one results file named after %s in the launch directory, "
                      "found %s\n%s" % (HOSTS[0], names, job.diagnostics()))
    return names[0], read_lines(os.path.join(job.launch_directory, names[0]))


def fail_on(problems, cluster, job):
    """Adds any process left on the test hosts, then fails with every problem."""
    strays = left_running(cluster)
    if strays:
        problems.append("processes still running after the job: %s" % "; ".join(strays))
    if problems:
        raise Failure("\n".join(problems) + "\n" + job.diagnostics())


# --- cases -----------------------------------------------------------------------
def case_full_report(args, cluster, workdir):
    """A whole job across the three hosts: report, results file, exit status."""
    job = Job(cluster, args, workdir)
    status = job.finish()
    problems = []
    if status is None:
        raise Failure("the job did not end within %d s\n%s" % (JOB_TIMEOUT, job.diagnostics()))
    if status != 0:
        problems.append("the launcher ended with status %d, not 0" % status)

    name, file_lines = the_results_file(job)
    expected = report_layout.expected_report(PLACEMENT, job.launch_directory)
    report_problems, captures, _ = report_layout.check_report(job.console, file_lines, expected)
    problems += report_problems
    if not report_problems and captures.get("results_file") != name:
        problems.append("the console names %r, the launch directory holds %r"
                        % (captures.get("results_file"), name))
    fail_on(problems, cluster, job)
    print("job of %d processes on %s ended with status 0 after %.1f s; %d console lines, "
          "%d results file lines checked" % (len(PLACEMENT), ", ".join(HOSTS),
                                             time.monotonic() - job.started,
                                             len(job.console), len(file_lines)))


VICTIM_RANK = 4  # the first process on the third host


def case_worker_killed(args, cluster, workdir):
    """A worker on another host is killed with SIGKILL inside a phase.

    The worker is stopped in its allocation power phase as soon as the root
    has written its banner, so that it cannot finish that phase; once the
    root has reported the workers before it in the first cluster phase and
    waits for it, it is killed. The job must then end on its own with a
    non-zero status, and the results file must hold every line that the
    console shows up to the failure, in the file's wording.
    """
    job = Job(cluster, args, workdir)
    victim_host = PLACEMENT[VICTIM_RANK]
    try:
        job.wait_for_console(re.escape("Force to be single thread."))
        victim = None
        while victim is None:
            victim = next((pid for pid, rank in benchmark_processes(
                cluster, victim_host, args.binary).items() if rank == VICTIM_RANK), None)
            if victim is None:
                if job.process.poll() is not None or time.monotonic() > job.deadline():
                    raise Failure("rank %d never appeared on %s" % (VICTIM_RANK, victim_host))
                time.sleep(0.05)
        os.kill(victim, signal.SIGSTOP)
        header = job.wait_for_console("Multi-Thread Enabled:")
        job.wait_for_console(re.escape("Thread:%d @%s It was: " % (
            VICTIM_RANK - 1, PLACEMENT[VICTIM_RANK - 1])) + ".*", after=header)
        # The root now writes that worker's lines to the file and blocks in
        # its receive from the stopped one: wait until it has gone quiet.
        job.wait_quiet(1.0)
        os.kill(victim, signal.SIGKILL)
    except Failure as failure:
        job.stop()
        job.finish()
        raise Failure("%s\n%s" % (failure, job.diagnostics()))
    killed_at = time.monotonic()
    status = job.finish()

    problems = []
    if status is None:
        raise Failure("the job did not end within %d s of the kill\n%s"
                      % (JOB_TIMEOUT, job.diagnostics()))
    if status == 0:
        problems.append("the launcher ended with status 0 after a worker was killed")
    if "Press Enter to Exit." in job.console:
        problems.append("the root reached its closing block although a worker was killed")

    _, file_lines = the_results_file(job)
    expected = report_layout.expected_report(PLACEMENT, job.launch_directory)
    report_problems, _, matched = report_layout.check_report(
        job.console, file_lines, expected, whole=False)
    problems += report_problems
    last_reported = "Thread:%d @%s It was: " % (VICTIM_RANK - 1, PLACEMENT[VICTIM_RANK - 1])
    if not any(line.startswith(last_reported) for line in job.console[:matched]):
        problems.append("the console's report stops before worker %d's lines of the first "
                        "cluster phase" % (VICTIM_RANK - 1))
    fail_on(problems, cluster, job)
    print("rank %d killed on %s; the job ended with status %d %.1f s later; the results file "
          "holds all %d lines written before the failure"
          % (VICTIM_RANK, victim_host, status, time.monotonic() - killed_at, len(file_lines)))


def hold_cluster(workdir, failure):
    """Child of case_cleanup: a cluster with a remote process, held until told."""
    with testcluster.TestCluster(HOSTS, workdir) as cluster:
        env = dict(os.environ)
        env.update(cluster.environment())
        # Started from the root's host through the agent, as a launcher starts
        # its daemons; it outlives the agent's caller.
        subprocess.Popen(cluster.enter(HOSTS[0], [testcluster.AGENT, HOSTS[1], "sleep", "600"]),
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=env,
                         start_new_session=True)
        deadline = time.monotonic() + 20
        while not cluster.processes_on(HOSTS[1]):
            if time.monotonic() > deadline:
                raise RuntimeError("the remote process did not start")
            time.sleep(0.05)
        holders = [cluster.bridge.pid] + [cluster.hosts[h].pid for h in HOSTS]
        print(json.dumps({"holders": holders,
                          "namespaces": sorted(cluster.owned_namespaces()),
                          "remote": cluster.processes_on(HOSTS[1]),
                          "remote_hostname": _hostname_of(cluster.processes_on(HOSTS[1])[0])}),
              flush=True)
        if failure:
            raise RuntimeError("failing on purpose")
        while True:
            signal.pause()


def _hostname_of(pid):
    out = subprocess.run(["nsenter", "--target", str(pid), "--uts", "hostname"],
                         stdout=subprocess.PIPE, text=True, timeout=10)
    return out.stdout.strip()


def case_cleanup(args, _cluster, workdir):
    """The cluster goes away whole when the harness fails or is told to stop."""
    ways = [("an error", None), ("SIGTERM", signal.SIGTERM), ("SIGINT", signal.SIGINT),
            ("SIGHUP", signal.SIGHUP)]
    problems = []
    for number, (way, sig) in enumerate(ways):
        child_dir = os.path.join(workdir, "held-%d" % number)
        os.makedirs(child_dir)
        command = [sys.executable, os.path.abspath(__file__), "hold",
                   "--workdir", child_dir] + (["--fail"] if sig is None else [])
        state, stopping = testcluster.hold_and_stop(command, sig, start_timeout=60,
                                                    stop_timeout=60)
        problems += ["%s: %s" % (way, problem) for problem in stopping]
        if state is None:
            continue
        if state["remote_hostname"] != HOSTS[1]:
            problems.append("%s: the agent ran its command on %r, not on %s"
                            % (way, state["remote_hostname"], HOSTS[1]))
        problems += ["%s: %s" % (way, problem) for problem in testcluster.left_behind(
            state["holders"] + state["remote"], set(state["namespaces"]))]
    if problems:
        raise Failure("\n".join(problems))
    print("cluster torn down after: %s" % ", ".join(way for way, _ in ways))


CASES = {
    "full_report": case_full_report,
    "worker_killed": case_worker_killed,
    "cleanup": case_cleanup,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES) + ["hold"])
    parser.add_argument("--flavour", choices=["openmpi", "mpich"])
    parser.add_argument("--launcher")
    parser.add_argument("--binary")
    parser.add_argument("--workdir")
    parser.add_argument("--fail", action="store_true")
    args = parser.parse_args()

    testcluster.exit_on_signals()

    if args.case == "hold":
        hold_cluster(args.workdir, args.fail)
        return 0

    status = testcluster.unavailable_status(testcluster.check_prerequisites,
                                            "multi-host tests")
    if status is not None:
        return status
    if args.case != "cleanup" and not (args.flavour and args.launcher and args.binary):
        parser.error("%s needs --flavour, --launcher and --binary" % args.case)

    workdir = tempfile.mkdtemp(prefix="vellastron-multihost-")
    try:
        if args.case == "cleanup":
            case_cleanup(args, None, workdir)
        else:
            with testcluster.TestCluster(HOSTS, os.path.join(workdir, "cluster")) as cluster:
                CASES[args.case](args, cluster, workdir)
    except Failure as failure:
        print("FAIL: %s" % failure)
        return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
