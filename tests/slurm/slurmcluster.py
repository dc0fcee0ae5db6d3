"""A real Slurm cluster on one machine, for tests.

The nodes are the test hosts of testcluster.py (network, UTS and mount
namespaces of their own, joined by a bridge); the bridge's namespace is the
gateway host, where slurmctld and every client command (srun, sbatch,
scontrol) run. Each node runs its own slurmd, entered with nsenter into the
node's namespaces, so it sees its own hostname and address and the machine's
/sys and cgroups unchanged.

Everything else lives under one base folder: munge's key, socket (in a
folder of mode 711), seed, log and pid; slurm.conf and its state, spool,
log and pid files; and one configuration folder per node, whose mpi.conf
gives the node's PMIx clients a temporary folder of their own (step folders
of several nodes would collide in one shared /tmp). The daemons are started
here in the foreground, with no service manager, and the cluster is ready
once sinfo shows every node idle.

Tearing down (also after a failure, a timeout or a signal): every job is
cancelled, the daemons are sent SIGTERM all at once and SIGKILL after 10 s,
whatever is left in the nodes' namespaces is killed, the namespaces are
dropped and the base folder is removed.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "multihost"))

import testcluster  # noqa: E402
from testcluster import Unavailable  # noqa: E402

CONTROLLER = "slurm-control"
CONTROLLER_PORT = 26817
NODE_PORT = 26818
SRUN_PORTS = "26900-26999"
CPUS_PER_NODE = 2
PARTITION = "vellastron"

# The programs the cluster runs, with the Debian package of each.
PROGRAMS = {"munged": "munge", "slurmctld": "slurmctld", "slurmd": "slurmd",
            "srun": "slurm-client", "sbatch": "slurm-client", "scontrol": "slurm-client",
            "sinfo": "slurm-client", "scancel": "slurm-client"}

# The states of a job that has ended, one way or another.
FINAL_STATES = {"COMPLETED", "FAILED", "CANCELLED", "TIMEOUT", "NODE_FAIL", "PREEMPTED",
                "OUT_OF_MEMORY", "BOOT_FAIL", "DEADLINE"}

READY_TIMEOUT = 90
STOP_GRACE = 10


def _which(program):
    # The daemons live in sbin, which a plain user's PATH may lack.
    return shutil.which(program, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")


def check_prerequisites():
    """Raises Unavailable when the machine cannot run the cluster."""
    testcluster.check_prerequisites()
    missing = sorted({package for program, package in PROGRAMS.items()
                      if _which(program) is None})
    if missing:
        raise Unavailable("Slurm is not installed (missing Debian packages: %s)"
                          % " ".join(missing))


class SlurmCluster(testcluster.BuiltOnEntry):
    """Nodes named `node_names`, each with CPUS_PER_NODE CPUs, in one
    partition; built on entry, torn down on exit."""

    def __init__(self, node_names, base):
        self.node_names = list(node_names)
        self.base = base
        self.hosts = None
        self.daemons = {}  # label -> Popen
        self.conf = os.path.join(base, "etc", "slurm.conf")

    # --- building ----------------------------------------------------------
    def path(self, *parts):
        return os.path.join(self.base, *parts)

    def _build(self):
        for folder in ("etc", "state", "log", "run", "spool", "munge-state", "tmp"):
            os.makedirs(self.path(folder), mode=0o700, exist_ok=True)
        self._start_munge()
        self.hosts = testcluster.TestCluster(self.node_names, self.path("hosts"),
                                             gateway=CONTROLLER)
        self.hosts.__enter__()
        self._write_configuration()
        self._start(["slurmctld", "-D", "-f", self.conf], "slurmctld",
                    self.hosts.enter_gateway)
        for name in self.node_names:
            self._start(["slurmd", "-D", "-f", self.node_conf(name)], "slurmd-" + name,
                        lambda argv, node=name: self.hosts.enter(node, argv))
        self._wait_until_idle()

    def _start_munge(self):
        # munged insists on a socket folder that others may enter but not
        # list or write, and on a key that only its owner can read.
        socket_folder = self.path("munge")
        os.makedirs(socket_folder, exist_ok=True)
        os.chmod(socket_folder, 0o711)
        key = self.path("munge-state", "munge.key")
        with open(os.open(key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as out:
            out.write(os.urandom(1024))
        self.munge_socket = os.path.join(socket_folder, "munge.socket")
        self._start(["munged", "--foreground", "--force",
                     "--socket=" + self.munge_socket,
                     "--key-file=" + key,
                     "--seed-file=" + self.path("munge-state", "munged.seed"),
                     "--pid-file=" + self.path("run", "munged.pid"),
                     "--log-file=" + self.path("log", "munged.log")],
                    "munged", lambda argv: argv)
        deadline = time.monotonic() + 30
        while not os.path.exists(self.munge_socket):
            self._check_alive("munged")
            if time.monotonic() > deadline:
                raise RuntimeError("munged made no socket within 30 s\n" + self.logs())
            time.sleep(0.05)

    def node_conf(self, name):
        return self.path("nodes", name, "etc", "slurm.conf")

    def _write_configuration(self):
        nodes = "\n".join(
            "NodeName=%s NodeAddr=%s CPUs=%d State=UNKNOWN"
            % (name, self.hosts.addresses[name], CPUS_PER_NODE) for name in self.node_names)
        text = CONFIGURATION.format(
            controller=CONTROLLER, controller_address=testcluster.GATEWAY_ADDRESS,
            controller_port=CONTROLLER_PORT, node_port=NODE_PORT, srun_ports=SRUN_PORTS,
            munge_socket=self.munge_socket, base=self.base, nodes=nodes,
            partition=PARTITION, all_nodes=",".join(self.node_names))
        with open(self.conf, "w") as out:
            out.write(text)
        open(self.path("etc", "plugstack.conf"), "w").close()
        for name in self.node_names:
            # A node reads slurm.conf's neighbours (mpi.conf, plugstack.conf)
            # from its own folder; slurm.conf itself is the same everywhere.
            etc = os.path.dirname(self.node_conf(name))
            pmix_tmp = self.path("nodes", name, "pmix")
            os.makedirs(etc, mode=0o700)
            os.makedirs(pmix_tmp, mode=0o700)
            os.makedirs(self.path("spool", name), mode=0o700)
            shutil.copyfile(self.conf, self.node_conf(name))
            with open(os.path.join(etc, "mpi.conf"), "w") as out:
                out.write("PMIxCliTmpDirBase=%s\n" % pmix_tmp)
            open(os.path.join(etc, "plugstack.conf"), "w").close()

    def environment(self):
        """This process's environment, with what Slurm's commands need."""
        env = dict(os.environ)
        env.update({"SLURM_CONF": self.conf, "TMPDIR": self.path("tmp")})
        return env

    def _start(self, argv, label, enter):
        log = open(self.path("log", label + ".out"), "w")
        env = self.environment()
        argv = [_which(argv[0])] + argv[1:]
        try:
            self.daemons[label] = subprocess.Popen(
                enter(argv), stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=env, cwd=self.base, preexec_fn=testcluster._die_with_parent)
        finally:
            log.close()

    def _check_alive(self, label):
        process = self.daemons[label]
        if process.poll() is not None:
            raise RuntimeError("%s ended at start-up with status %d\n%s"
                               % (label, process.returncode, self.logs()))

    def _wait_until_idle(self):
        deadline = time.monotonic() + READY_TIMEOUT
        states = {}
        while True:
            for label in self.daemons:
                self._check_alive(label)
            result = self.client(["sinfo", "--noheader", "--Node", "--format=%N %t"],
                                 check=False)
            if result.returncode == 0:
                states = dict(line.split() for line in result.stdout.splitlines()
                              if len(line.split()) == 2)
                if all(states.get(name) == "idle" for name in self.node_names):
                    return
            if time.monotonic() > deadline:
                raise RuntimeError("the nodes are not idle within %d s (sinfo: %s)\n%s"
                                   % (READY_TIMEOUT, states, self.logs()))
            time.sleep(0.3)

    # --- use ---------------------------------------------------------------
    def client_command(self, argv, working_directory=None):
        """The command line that runs a Slurm client command on the gateway."""
        return self.hosts.enter_gateway([_which(argv[0])] + list(argv[1:]), working_directory)

    def client(self, argv, check=True, timeout=60, working_directory=None):
        env = self.environment()
        result = subprocess.run(self.client_command(argv, working_directory),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env, timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed (status %d): %s"
                               % (" ".join(argv), result.returncode, result.stderr.strip()))
        return result

    def jobs(self):
        """{job id: {field: value}} of every job the controller remembers."""
        result = self.client(["scontrol", "--oneliner", "show", "job"], check=False)
        found = {}
        for line in result.stdout.splitlines():
            fields = dict(re.findall(r"(\w+)=(\S*)", line))
            if "JobId" in fields:
                found[int(fields["JobId"])] = fields
        return found

    def logs(self):
        """The daemons' logs' last lines, for a failure's message."""
        text = []
        for name in sorted(os.listdir(self.path("log"))):
            with open(self.path("log", name), errors="replace") as log:
                lines = log.read().splitlines()[-15:]
            text.append("--- %s ---\n%s" % (name, "\n".join(lines)))
        return "\n".join(text)

    # --- tearing down ------------------------------------------------------
    def _tear_down(self):
        controller = self.daemons.get("slurmctld")
        if self.hosts is not None and controller is not None and controller.poll() is None:
            self._cancel_jobs()
        # The Slurm daemons all at once, then munge, which they need until
        # they are gone.
        slurm = [p for label, p in self.daemons.items() if label != "munged"]
        self._terminate(slurm)
        self._terminate([p for label, p in self.daemons.items() if label == "munged"])
        self.daemons = {}
        if self.hosts is not None:
            self.hosts.tear_down()
            self.hosts = None
        shutil.rmtree(self.base, ignore_errors=True)

    def _cancel_jobs(self):
        """Cancels every job and waits a while for the steps to be gone."""
        try:
            self.client(["scancel", "--full", "--user=root"], check=False, timeout=20)
            deadline = time.monotonic() + STOP_GRACE
            while time.monotonic() < deadline:
                if all(job.get("JobState") in FINAL_STATES for job in self.jobs().values()):
                    return
                time.sleep(0.2)
        except (subprocess.TimeoutExpired, OSError):
            pass

    @staticmethod
    def _terminate(processes):
        running = [p for p in processes if p.poll() is None]
        for process in running:
            process.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + STOP_GRACE
        for process in running:
            try:
                process.wait(timeout=max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


CONFIGURATION = """\
# A test cluster: every path is under {base}.
ClusterName=vellastron
SlurmctldHost={controller}({controller_address})
SlurmctldPort={controller_port}
SlurmdPort={node_port}
SrunPortRange={srun_ports}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket={munge_socket}
CredType=cred/munge
StateSaveLocation={base}/state
SlurmdSpoolDir={base}/spool/%n
SlurmctldPidFile={base}/run/slurmctld.pid
SlurmdPidFile={base}/run/slurmd-%n.pid
SlurmctldLogFile={base}/log/slurmctld.log
SlurmdLogFile={base}/log/slurmd-%n.log
SlurmctldDebug=info
SlurmdDebug=info
PlugStackConfig={base}/etc/plugstack.conf
# No cgroups: the machine's own are left alone.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
# The nodes share this machine's cores: take their size from here, not
# from the hardware.
SlurmdParameters=config_overrides
MinJobAge=3600
InactiveLimit=0
KillWait=5
{nodes}
PartitionName={partition} Nodes={all_nodes} Default=YES MaxTime=INFINITE State=UP
"""
