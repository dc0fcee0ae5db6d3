"""A cluster of test hosts on one machine, made of Linux namespaces.

Every host is a network, UTS and mount namespace of its own: its own
hostname (so MPI_Get_processor_name differs per host), one interface eth0
with an address in 10.231.0.0/24, and an /etc/hosts that names all the
hosts. The hosts' interfaces are joined by a bridge that lives in a further
network namespace, so nothing is ever added to the machine's own network.

A namespace lives as long as a process is in it: each one is held by a
sleeping holder process, which is this process's child and dies with it
(parent-death signal). Nothing is written to /run/netns or anywhere else
outside the cluster's own directory. Tearing down kills every process found
in the cluster's namespaces, then the holders; the namespaces, the bridge
and the veth pairs go with them.

The bridge's namespace may be a host too, the gateway: then it has a
hostname, an address on the bridge itself (10.231.0.254) and the same
/etc/hosts, and it serves as the place from which the hosts are driven (a
batch system's controller and its client commands, say).

The hosts are reached through host-agent.sh, which stands in for ssh: it
reads the holder of the named host from the cluster directory (found in
VELLASTRON_TEST_CLUSTER) and runs the command inside that host's namespaces.
"""

import ctypes
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time

SUBNET = "10.231.0.0/24"
ADDRESS_PREFIX = "10.231.0."
GATEWAY_ADDRESS = ADDRESS_PREFIX + "254"
HOST_INTERFACE = "eth0"
AGENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "host-agent.sh")

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # Runs in the child between fork and exec.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class Unavailable(Exception):
    """The machine cannot make the cluster; the message says why in one line."""


def check_prerequisites():
    """Raises Unavailable when namespaces cannot be made here."""
    if os.geteuid() != 0:
        raise Unavailable("namespaces need root (running as uid %d)" % os.geteuid())
    for tool in ("ip", "unshare", "nsenter", "mount", "hostname"):
        if shutil.which(tool) is None:
            raise Unavailable("'%s' is not installed (iproute2, util-linux)" % tool)
    probe = subprocess.run(
        ["unshare", "--net", "--uts", "--mount", "--", "ip", "link", "add", "probe0",
         "type", "bridge"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        text=True, timeout=30)
    if probe.returncode != 0:
        lines = probe.stderr.strip().splitlines()
        raise Unavailable("cannot make namespaces or a bridge here: %s"
                          % (lines[-1] if lines else "status %d" % probe.returncode))


def _namespace_id(pid, kind):
    return os.readlink("/proc/%d/ns/%s" % (pid, kind))


def _process_ids():
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]


class _Holder:
    """A sleeping process that keeps a set of new namespaces alive.

    `setup` is a shell script run inside the new namespaces before the
    holder reports ready and turns into `sleep`.
    """

    def __init__(self, label, unshare_flags, setup, log_path):
        self.label = label
        self.log = open(log_path, "w")
        script = "set -e\n%s\necho ready\nexec sleep infinity\n" % setup
        self.process = subprocess.Popen(
            ["unshare"] + unshare_flags + ["--", "sh", "-c", script],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.log,
            text=True, preexec_fn=_die_with_parent)
        self.pid = self.process.pid
        if self.process.stdout.readline().strip() != "ready":
            self.process.wait(timeout=10)
            self.log.flush()
            with open(log_path) as log:
                raise RuntimeError("%s could not be set up (status %s): %s"
                                   % (label, self.process.returncode, log.read().strip()))
        self.net = _namespace_id(self.pid, "net")

    def enter(self, argv, namespaces=("--net",)):
        return ["nsenter", "--target", str(self.pid)] + list(namespaces) + ["--"] + list(argv)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()
        self.log.close()


class BuiltOnEntry:
    """Built on entry, torn down on exit whatever happened in between; a
    build that fails half-way is torn down too. Subclasses give _build and
    _tear_down."""

    def __enter__(self):
        try:
            self._build()
        except BaseException:
            self.tear_down()
            raise
        return self

    def __exit__(self, *exc):
        self.tear_down()
        return False

    def tear_down(self):
        # A second signal must not cut the teardown short.
        blocked = signal.pthread_sigmask(
            signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})
        try:
            self._tear_down()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


class TestCluster(BuiltOnEntry):
    """Hosts named `host_names`, addresses 10.231.0.1, .2, ... in that order.

    With `gateway`, the bridge's namespace is a host of that name as well,
    at GATEWAY_ADDRESS (see enter_gateway).

    Use as a context manager: the cluster is built on entry and torn down on
    exit, whatever happened in between.
    """

    def __init__(self, host_names, directory, gateway=None):
        if len(host_names) > 250:
            raise ValueError("at most 250 hosts fit the address range")
        self.host_names = list(host_names)
        self.directory = directory
        self.gateway = gateway
        self.addresses = {name: ADDRESS_PREFIX + str(index + 1)
                          for index, name in enumerate(self.host_names)}
        if gateway is not None:
            self.addresses[gateway] = GATEWAY_ADDRESS
        self.bridge = None
        self.hosts = {}

    # --- building ----------------------------------------------------------
    def _build(self):
        os.makedirs(os.path.join(self.directory, "hosts"), exist_ok=True)
        hosts_file = os.path.join(self.directory, "etc-hosts")
        with open(hosts_file, "w") as out:
            out.write("127.0.0.1\tlocalhost\n")
            for name in self.host_names + ([self.gateway] if self.gateway else []):
                out.write("%s\t%s\n" % (self.addresses[name], name))

        bridge_setup = "ip link set lo up\nip link add br0 type bridge\nip link set br0 up"
        if self.gateway is None:
            self.bridge = _Holder("bridge", ["--net"], bridge_setup,
                                  os.path.join(self.directory, "bridge.log"))
        else:
            self.bridge = _Holder(
                "bridge", ["--net", "--uts", "--mount"],
                "hostname '%s'\nmount --bind '%s' /etc/hosts\n%s\n"
                "ip addr add %s/24 dev br0" % (self.gateway, hosts_file, bridge_setup,
                                               GATEWAY_ADDRESS),
                os.path.join(self.directory, "bridge.log"))

        for index, name in enumerate(self.host_names):
            # unshare makes the new mount namespace's mounts private, so the
            # bind mount over /etc/hosts is seen by this host alone.
            holder = _Holder(
                name, ["--net", "--uts", "--mount"],
                "hostname '%s'\nmount --bind '%s' /etc/hosts\nip link set lo up"
                % (name, hosts_file),
                os.path.join(self.directory, "holder-%s.log" % name))
            self.hosts[name] = holder
            port = "port%d" % (index + 1)
            self._run(self.bridge.enter(
                ["ip", "link", "add", port, "type", "veth", "peer", "name", HOST_INTERFACE,
                 "netns", str(holder.pid)]))
            self._run(self.bridge.enter(["ip", "link", "set", port, "master", "br0", "up"]))
            self._run(holder.enter(
                ["ip", "addr", "add", self.addresses[name] + "/24", "dev", HOST_INTERFACE]))
            self._run(holder.enter(["ip", "link", "set", HOST_INTERFACE, "up"]))
            # The agent finds the host's namespaces through this file.
            with open(os.path.join(self.directory, "hosts", name), "w") as out:
                out.write("%d\n" % holder.pid)

        # Every host must reach every other one before a job is started on them.
        for name in self.host_names:
            for other in self.addresses.values():
                self._wait_reachable(name, other)

    def _run(self, argv):
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, timeout=30)
        if result.returncode != 0:
            raise RuntimeError("%s failed (status %d): %s"
                               % (" ".join(argv), result.returncode, result.stdout.strip()))
        return result.stdout

    def _wait_reachable(self, name, address):
        # A new bridge port forwards only after a moment; probe with a TCP
        # connection attempt (refused means reached), which needs no ping.
        probe = ("import socket,sys\n"
                 "s=socket.socket(); s.settimeout(1)\n"
                 "try: s.connect((sys.argv[1], 9))\n"
                 "except ConnectionRefusedError: sys.exit(0)\n"
                 "except OSError: sys.exit(1)\n")
        deadline = time.monotonic() + 20
        while True:
            result = subprocess.run(
                self.enter(name, [sys.executable, "-c", probe, address]),
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, timeout=30)
            if result.returncode == 0:
                return
            if time.monotonic() > deadline:
                raise RuntimeError("host %s cannot reach %s" % (name, address))
            time.sleep(0.2)

    # --- use ---------------------------------------------------------------
    def enter(self, name, argv, working_directory=None):
        """The command line that runs argv on host `name`."""
        namespaces = ["--net", "--uts", "--mount"]
        if working_directory is not None:
            namespaces.append("--wd=" + working_directory)
        return self.hosts[name].enter(argv, namespaces)

    def enter_gateway(self, argv, working_directory=None):
        """The command line that runs argv on the gateway."""
        if self.gateway is None:
            raise ValueError("this cluster has no gateway")
        namespaces = ["--net", "--uts", "--mount"]
        if working_directory is not None:
            namespaces.append("--wd=" + working_directory)
        return self.bridge.enter(argv, namespaces)

    def environment(self):
        """What the launcher needs in its environment to use the agent."""
        return {"VELLASTRON_TEST_CLUSTER": self.directory}

    def processes_on(self, name):
        """Ids of the processes running on host `name`, its holder left out."""
        holder = self.hosts[name]
        found = []
        for pid in _process_ids():
            if pid == holder.pid:
                continue
            try:
                if _namespace_id(pid, "net") == holder.net:
                    found.append(pid)
            except OSError:
                pass  # gone meanwhile
        return found

    def owned_namespaces(self):
        holders = ([self.bridge] if self.bridge else []) + list(self.hosts.values())
        return {holder.net for holder in holders}

    # --- tearing down ------------------------------------------------------
    def _tear_down(self):
        """Kills everything in the cluster's namespaces, then the holders."""
        holders = ([self.bridge] if self.bridge else []) + list(self.hosts.values())
        namespaces = {holder.net for holder in holders if hasattr(holder, "net")}
        holder_pids = {holder.pid for holder in holders}
        # Kill until none is left: a launcher's daemon may start another
        # process while its siblings are being killed.
        for _ in range(50):
            strays = []
            for pid in _process_ids():
                if pid in holder_pids or pid == os.getpid():
                    continue
                try:
                    if _namespace_id(pid, "net") in namespaces:
                        strays.append(pid)
                except OSError:
                    pass
            if not strays:
                break
            for pid in strays:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.1)
        for holder in holders:
            holder.stop()
        self.bridge = None
        self.hosts = {}


# --- a test runner's start ------------------------------------------------------------
def exit_on_signals():
    """SIGTERM and SIGHUP end the runner as an exception would, so that its
    clusters are torn down on the way out (SIGINT does so already)."""
    def leave(signum, _frame):
        raise SystemExit(128 + signum)
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, leave)


SKIP_STATUS = 77


def unavailable_status(check, what):
    """None when check() finds the machine able; otherwise prints why on one
    line and returns the runner's status: 77, a skip, or 1, a failure, where
    VELLASTRON_MULTIHOST_REQUIRED=1 (the project's CI) demands the tests."""
    try:
        check()
    except Unavailable as reason:
        if os.environ.get("VELLASTRON_MULTIHOST_REQUIRED") == "1":
            print("FAIL: %s are required, but %s" % (what, reason))
            return 1
        print("SKIP: %s cannot run here: %s" % (what, reason))
        return SKIP_STATUS
    return None


# --- checking a harness's teardown --------------------------------------------------
def hold_and_stop(command, sig, start_timeout=120, stop_timeout=90):
    """Runs `command`, a harness that builds a cluster, prints its state as
    one line of JSON and holds the cluster, then stops it with `sig` (None:
    the harness is to fail by itself once it has printed).

    Returns (state, problems): the state printed, None if none came, and
    what went wrong in the stopping.
    """
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    problems = []
    state = None
    try:
        ready, _, _ = select.select([child.stdout], [], [], start_timeout)
        line = child.stdout.readline() if ready else ""
        state = json.loads(line) if line else None
        if state is None:
            child.send_signal(signal.SIGTERM)
            child.wait(timeout=stop_timeout)
            problems.append("the held cluster did not come up: %s" % child.stderr.read())
            return None, problems
        if sig is not None:
            child.send_signal(sig)
        child.wait(timeout=stop_timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
        problems.append("the harness did not end within %d s" % stop_timeout)
    finally:
        child.stdout.close()
        child.stderr.close()
    if child.returncode == 0:
        problems.append("the harness ended with status 0")
    return state, problems


def left_behind(pids, namespaces):
    """Which of `pids` still run, and which processes are still in any of
    the network namespaces `namespaces`: described, and killed."""
    alive = [pid for pid in pids if _alive(pid)]
    members = []
    for pid in _process_ids():
        try:
            if _namespace_id(pid, "net") in namespaces:
                members.append(pid)
        except OSError:
            pass
    for pid in set(alive + members):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if alive or members:
        return ["left behind processes %s (namespace members %s)" % (alive, members)]
    return []


def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False
