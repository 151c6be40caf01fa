"""The program's shells seen from outside: the command line, the status lines
a desktop run prints, hiding them, one instance per registry, the signals,
the restart, and service mode with its notifications on a socket the test
binds (as the service manager does). Standard output and standard error are
kept apart, so every printed line is compared whole."""
import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import time

import pytest

from clients import admin_get, connect, read_until
from harness import BINARY, KEY, ROOT, Server, parse_registry
from mail_peers import Pop3Provider, pop3_account, start_exchange, wait_for

PROXY, ADMIN, ECHO, FAULT = 7628, 7629, 7601, 7603
TEST_PORTS = {"KORVANET_TEST_ECHO_PORTS": str(ECHO), "KORVANET_TEST_FAULT_PORT": str(FAULT)}

NORMAL_START = "Korvanet : starting\nPlease wait ...\n Korvanet\n 0 connection\n"
NORMAL_END = "Please wait ...\nKorvanet : going down\nKorvanet is stopped.\n"
FAILURE = ("Korvanet can't start\nThere were some problems while Korvanet\n"
           " tried to start. For details see file error.log in\nlogs directory.\n")
FAILURE_NO_LOG = "Korvanet can't start\nCan't open/create file error.log in logs directory.\n"
USAGE = "usage: korvanet [/hide] [--service] [PID [s]]\n"


def listening(port):
    """Whether a socket listens on the port, read from /proc/net/tcp: unlike
    a connect, looking adds no connection to the count the server prints."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False


class Shell:
    """One program run on its own registry: argv and environment as given,
    stdout and stderr each in a file of its own."""

    runs = 0

    def __init__(self, home, settings=None, args=(), env=None, status=None, lists=None):
        base = {"ProxyPort": PROXY, "AdminPort": ADMIN}
        base.update(settings or {})
        self.server = Server(home, base, lists, env, status)
        self.env = dict(self.server.env)
        self.env.update(TEST_PORTS)
        self.env.update(env or {})
        self.args = [str(a) for a in args]
        self.proc = None
        # Runs may share a home (a second start on the same registry).
        Shell.runs += 1
        self.out_path = self.server.home / f"stdout{Shell.runs}.txt"
        self.err_path = self.server.home / f"stderr{Shell.runs}.txt"

    def start(self):
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([str(BINARY), *self.args], env=self.env, stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL)
        return self

    def out(self):
        return self.out_path.read_text(errors="replace") if self.out_path.exists() else ""

    def err(self):
        return self.err_path.read_text(errors="replace") if self.err_path.exists() else ""

    def wait_out(self, text, timeout=10):
        assert wait_for(lambda: text in self.out() or self.proc.poll() is not None, timeout), self.out()
        assert text in self.out(), (self.out(), self.err())

    def wait_listening(self, port=PROXY, timeout=10):
        assert wait_for(lambda: listening(port) or self.proc.poll() is not None, timeout)
        assert self.proc.poll() is None, (self.out(), self.err())

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout=10):
        return self.proc.wait(timeout)

    def lock_text(self):
        lock = self.server.registry.parent / (self.server.registry.name + ".lock")
        return lock.read_text() if lock.exists() else None

    def registry(self):
        return parse_registry(self.server.registry)


@pytest.fixture
def shell(tmp_path):
    """Factory: shell(settings=None, args=(), env=None, status=None) starts a
    Shell; every one started is stopped at the end."""
    made = []

    def start(settings=None, args=(), env=None, status=None, lists=None, home=None):
        s = Shell(home or tmp_path / f"kv{len(made)}", settings, args, env, status, lists).start()
        made.append(s)
        return s

    yield start
    for s in made:
        if s.proc.poll() is None:
            s.proc.kill()
            s.proc.wait()


def blocked_signals(pid):
    """The signals the process's threads block, from /proc. Any thread will
    do: the main thread blocks them before it starts the others, and while
    it waits in sigtimedwait the kernel shows them unblocked there."""
    found = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith("SigBlk:"):
                        found |= int(line.split()[1], 16)
        except FileNotFoundError:  # the thread ended meanwhile
            pass
    return found


def signals_blocked(s):
    mask = 1 << (signal.SIGUSR1 - 1) | 1 << (signal.SIGTERM - 1)
    return wait_for(lambda: s.proc.poll() is None and blocked_signals(s.proc.pid) & mask == mask, 10)


def hold_echo():
    c = connect(ECHO)
    c.sendall(b"hi\n")
    assert read_until(c, b"\n") == b"hi\n"
    return c


# --- desktop: the status lines -------------------------------------------------

@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_desktop_run_prints_its_lines_and_stops_at_once_with_a_connection_open(shell, sig):
    s = shell(status={"Hit": 7})
    s.wait_out(NORMAL_START)
    held = hold_echo()
    s.wait_out(" 1 connection\n")
    began = time.monotonic()
    s.signal(sig)
    assert s.wait() == 0
    assert time.monotonic() - began < 3
    held.close()
    assert s.out() == NORMAL_START + " 1 connection\n" + NORMAL_END
    assert s.err() == ""
    status = s.registry()[KEY + "\\Status"]
    assert status["Hit"] == 7 and status["iv"] == 10  # the statistics were saved at the stop


def test_connection_counts_are_looked_at_once_a_second(shell):
    s = shell()
    s.wait_out(NORMAL_START)
    held = hold_echo()
    s.wait_out(" 1 connection\n")
    held.close()
    s.wait_out(" 1 connection\n 0 connection\n")
    # A burst of short connections: a line or two, not two per connection.
    for _ in range(40):
        hold_echo().close()
    time.sleep(1.5)
    s.signal(signal.SIGTERM)
    assert s.wait() == 0
    counts = s.out()[len(NORMAL_START):-len(NORMAL_END)].splitlines()
    assert counts[:2] == [" 1 connection", " 0 connection"]
    assert len(counts) <= 2 + 4, counts
    assert all(line.endswith(" connection") for line in counts)


@pytest.mark.parametrize("args,status", [(["/hide"], None), (["/HIDE"], None), ([], {"HideOnStartup": 1})])
def test_hidden_runs_print_nothing_and_keep_hide_on_startup(shell, args, status):
    s = shell(args=args, status=status)
    s.wait_listening()
    held = hold_echo()
    time.sleep(1.2)  # a count look with a connection open
    held.close()
    s.signal(signal.SIGTERM)
    assert s.wait() == 0
    assert s.out() == ""
    assert s.registry()[KEY + "\\Status"]["HideOnStartup"] == (1 if status else 0)


@pytest.mark.parametrize("hide", [False, True])
@pytest.mark.parametrize("cause", ["admin port held", "logs dir under a file"])
def test_start_failure_is_printed_even_hidden_and_exits_3(shell, tmp_path, hide, cause):
    taken = socket.socket()
    taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    taken.bind(("0.0.0.0", ADMIN))
    taken.listen(1)
    try:
        settings = {}
        if cause != "admin port held":
            blocker = tmp_path / "plain-file"
            blocker.write_text("x")
            settings = {"LogsDir": str(blocker / "logs"), "AdminPort": ADMIN + 10}
        s = shell(settings, args=["/hide"] if hide else [])
        assert s.wait() == 3
    finally:
        taken.close()
    expected = FAILURE if cause == "admin port held" else FAILURE_NO_LOG
    assert s.out() == ("" if hide else "Korvanet : starting\nPlease wait ...\n") + expected


# --- the command line ------------------------------------------------------------

@pytest.mark.parametrize("args", [["12ab"], ["s"], ["/hide", "/hide"], ["1", "2", "3"], ["99999999999"], ["0"],
                                  ["--bogus"], ["/hide", "12 x"]])
def test_a_bad_command_line_is_a_usage_error_before_the_lock(shell, args):
    s = shell(args=args)
    assert s.wait() == 2
    assert s.err() == USAGE
    assert s.out() == ""
    assert s.lock_text() is None
    assert not (s.server.logs_dir / "error.log").exists()


def test_pid_waits_for_that_process_and_pid_s_then_leaves(shell):
    sleeper = subprocess.Popen(["sleep", "30"])
    try:
        leaver = shell(args=[sleeper.pid, "s"])
        starter = shell(args=[f"{sleeper.pid}", "/hide"], settings={"ProxyPort": PROXY + 50, "AdminPort": ADMIN + 50})
        time.sleep(1)
        assert leaver.proc.poll() is None and starter.proc.poll() is None
        assert not listening(PROXY + 50)
        sleeper.kill()  # ended, and left a zombie until collected: both take that as gone
        assert leaver.wait() == 0
        assert leaver.out() == "" and leaver.err() == ""
        assert leaver.lock_text() is None and not listening(PROXY)
        starter.wait_listening(PROXY + 50)
    finally:
        sleeper.kill()
        sleeper.wait()


# --- one instance per registry -------------------------------------------------------

def test_second_start_is_refused_and_the_first_runs_on(shell, tmp_path):
    first = shell()
    first.wait_out(NORMAL_START)
    again = shell(home=first.server.home, args=["/hide"])
    assert again.wait() == 1
    assert again.out() == f"Korvanet is already running. pid {first.proc.pid}\n"
    assert first.proc.poll() is None and listening(PROXY)
    # A second registry is a second server.
    other = shell({"ProxyPort": PROXY + 1, "AdminPort": ADMIN + 1})
    other.wait_out(NORMAL_START)
    assert listening(PROXY) and listening(PROXY + 1)
    first.signal(signal.SIGTERM)
    other.signal(signal.SIGTERM)
    assert first.wait() == 0 and other.wait() == 0
    assert first.out() == NORMAL_START + NORMAL_END


@pytest.mark.parametrize("text,line", [("junk", "Korvanet is already running.\n"),
                                       ("", "Korvanet is already running.\n"),
                                       ("999999 s", "Korvanet is already running as a service. pid 999999\n"
                                                    "\nUse systemctl to control Korvanet.\n")])
def test_refusal_reads_what_the_holder_wrote(shell, tmp_path, text, line):
    reg_home = tmp_path / "held"
    reg_home.mkdir()
    lock = reg_home / "registry.reg.lock"
    lock.write_text(text)
    with open(lock, "r") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        s = shell(home=reg_home)
        assert s.wait() == 1
    assert s.out() == line
    assert lock.read_text() == text


# --- signals ----------------------------------------------------------------------------

def test_sigusr1_runs_a_mail_exchange_and_floods_lose_no_stop(korvanet, tmp_path):
    provider = Pop3Provider([b"Subject: one\r\n\r\nbody\r\n"])
    server = start_exchange(korvanet, accounts=[pop3_account("jim", "pw", provider.port, "ann")],
                            settings={"MailSendRcvTime": "0:0"})
    pid = server.proc.pid
    os.kill(pid, signal.SIGUSR1)
    assert wait_for(lambda: any("PASS pw" in line for s in provider.sessions for line in s), 15), provider.sessions
    provider.wait_idle()
    for _ in range(50):
        os.kill(pid, signal.SIGUSR1)
    time.sleep(1)
    assert server.proc.poll() is None
    server.proc.send_signal(signal.SIGTERM)
    for _ in range(50):
        try:
            os.kill(pid, signal.SIGUSR1)
        except ProcessLookupError:
            break
    assert server.proc.wait(10) == 0
    assert server.output().endswith(NORMAL_END)


def test_sigusr1_during_start_is_ignored(shell):
    s = shell()
    assert signals_blocked(s)
    for _ in range(50):
        os.kill(s.proc.pid, signal.SIGUSR1)
    s.wait_out(NORMAL_START)
    time.sleep(0.5)
    assert s.proc.poll() is None
    s.signal(signal.SIGTERM)
    assert s.wait() == 0
    assert s.out() == NORMAL_START + NORMAL_END


# --- service mode --------------------------------------------------------------------

class Notifications:
    """The service manager's end: a datagram socket at a path or an abstract
    name, reading each datagram with the sender's pid."""

    def __init__(self, tmp_path, abstract):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        if abstract:
            name = f"kv-notify-{os.getpid()}-{time.monotonic_ns()}"
            self.sock.bind("\0" + name)
            self.value = "@" + name
        else:
            self.value = str(tmp_path / "notify")
            self.sock.bind(self.value)

    def next(self, timeout=10):
        """(text, sender pid), or (None, None) after timeout."""
        self.sock.settimeout(timeout)
        try:
            data, anc, _, _ = self.sock.recvmsg(4096, socket.CMSG_SPACE(12))
        except socket.timeout:
            return None, None
        pid = None
        for level, kind, payload in anc:
            if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                pid = struct.unpack("iII", payload[:12])[0]
        return data.decode(), pid

    def close(self):
        self.sock.close()


@pytest.fixture
def notify(tmp_path):
    made = []

    def make(abstract=False):
        made.append(Notifications(tmp_path, abstract))
        return made[-1]

    yield make
    for n in made:
        n.close()


@pytest.mark.parametrize("abstract", [False, True])
def test_service_notifies_each_state_from_its_own_pid(shell, notify, abstract):
    n = notify(abstract)
    s = shell(env={"NOTIFY_SOCKET": n.value})
    pid = s.proc.pid
    assert n.next() == ("STATUS=Korvanet : starting", pid)
    text, sender = n.next()
    listened = listening(PROXY) and listening(ADMIN)
    assert (text, sender) == ("READY=1\nSTATUS=0 connection", pid)
    assert listened  # every port listened before READY came
    assert s.lock_text() == f"{pid} s"
    held = hold_echo()
    assert n.next() == ("STATUS=1 connection", pid)
    held.close()
    assert n.next() == ("STATUS=0 connection", pid)
    # A second start on the same registry names the service.
    again = shell(home=s.server.home)
    assert again.wait() == 1
    assert again.out() == (f"Korvanet is already running as a service. pid {pid}\n"
                           "\nUse systemctl to control Korvanet.\n")
    s.signal(signal.SIGTERM)
    assert n.next() == ("STOPPING=1\nSTATUS=Korvanet : going down", pid)
    assert s.wait() == 0
    assert s.out() == "" and s.err() == ""
    assert n.next(0.3) == (None, None)


def test_service_sighup_reopens_the_logs_and_runs_on(shell, notify):
    n = notify()
    s = shell(args=["--service"], env={"NOTIFY_SOCKET": n.value})
    assert n.next()[0] == "STATUS=Korvanet : starting"
    assert n.next()[0].startswith("READY=1")
    logs = s.server.logs_dir
    (logs / "error.log").rename(logs / "error.log.1")
    s.signal(signal.SIGHUP)
    assert wait_for(lambda: (logs / "error.log").exists(), 5)
    c = connect(FAULT)  # a handler fault: one error-log entry
    try:
        c.recv(10)
    except ConnectionResetError:
        pass
    c.close()
    assert wait_for(lambda: "caused an exception" in s.server.read_log("error.log"), 5)
    assert "caused an exception" not in (logs / "error.log.1").read_text(errors="replace")
    assert s.proc.poll() is None and listening(PROXY)
    s.signal(signal.SIGTERM)
    assert s.wait() == 0
    assert s.out() == ""


@pytest.mark.parametrize("error_log", [True, False])
def test_service_start_failure_prints_the_log_path_and_never_gets_ready(shell, notify, tmp_path, error_log):
    n = notify()
    if error_log:
        logs = tmp_path / "logs-ok"
        taken = socket.socket()
        taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        taken.bind(("0.0.0.0", ADMIN))
        taken.listen(1)
    else:
        (tmp_path / "plain-file").write_text("x")
        logs = tmp_path / "plain-file" / "logs"
        taken = None
    try:
        s = shell({"LogsDir": str(logs)}, env={"NOTIFY_SOCKET": n.value})
        assert s.wait() == 3
    finally:
        if taken:
            taken.close()
    assert n.next()[0] == "STATUS=Korvanet : starting"
    assert n.next()[0] == "STATUS=Korvanet can't start"
    assert n.next(0.3) == (None, None)
    if error_log:
        assert s.out() == ("There were some problems while Korvanet\n tried to start. For details see file : \n"
                           f'"{logs}/error.log"\n')
    else:
        assert s.out() == f'Can\'t open/create file : \n"{logs}/error.log"\n'


@pytest.mark.parametrize("value", ["", "relative/notify", "@", "/" + "x" * 200, "plain-file", "nobody-reads"])
def test_unusable_notify_sockets_leave_the_server_running(shell, tmp_path, value):
    deaf = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    if value == "plain-file":
        value = str(tmp_path / "plain")
        (tmp_path / "plain").write_text("x")
    elif value == "nobody-reads":
        value = str(tmp_path / "deaf")
        deaf.bind(value)
    try:
        s = shell(env={"NOTIFY_SOCKET": value})
        s.wait_listening()
        # An empty value names no service manager: a desktop run.
        assert s.lock_text() == (f"{s.proc.pid} s" if value else f"{s.proc.pid}")
        s.signal(signal.SIGTERM)
        assert s.wait() == 0
        assert s.out() == ("" if value else NORMAL_START + NORMAL_END)
        assert s.err() == ""
    finally:
        deaf.close()


# --- restart ----------------------------------------------------------------------------

def restart(port=ADMIN):
    assert admin_get(port, "/admin/config/restart").startswith(b"HTTP/1.0 301")
    admin_get(port, "/admin/config/index")


def process_ended(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def test_desktop_restart_passes_the_pid_and_hide_to_a_successor_on_the_same_ports(shell):
    s = shell(args=["/hide"])
    s.wait_listening()
    old = s.proc.pid
    restart()
    assert s.wait(15) == 0
    new = None
    try:
        assert wait_for(lambda: listening(PROXY), 15)
        text = s.lock_text() or ""
        new = int(text) if text.isdigit() else None
        assert new and new != old
        with open(f"/proc/{new}/cmdline", "rb") as f:
            argv = f.read().split(b"\0")[:-1]
        assert argv[1:] == [str(old).encode(), b"/hide"]
        assert listening(ADMIN)
        assert s.out() == ""  # hidden, and the successor too
    finally:
        if new:
            os.kill(new, signal.SIGTERM)
            wait_for(lambda: process_ended(new), 10)


@pytest.mark.parametrize("hard", [0, 1])
def test_service_restart_exits_75_after_stopping_and_starts_no_successor(shell, notify, hard):
    n = notify()
    s = shell({"HardRestart": hard}, env={"NOTIFY_SOCKET": n.value})
    assert n.next()[0] == "STATUS=Korvanet : starting"
    assert n.next()[0].startswith("READY=1")
    restart()
    text, _ = n.next(15)
    while text and text.startswith("STATUS=") and "connection" in text:
        text, _ = n.next(15)
    assert text == "STOPPING=1\nSTATUS=Korvanet : going down"
    assert s.wait(15) == 75
    time.sleep(1.5)
    assert not listening(PROXY) and not listening(ADMIN)
    if not hard:
        assert s.registry()[KEY + "\\Status"]["iv"] == 10  # stopped in order: statistics saved


# --- the unit file ----------------------------------------------------------------------

def test_unit_file_template_verifies_with_the_installation_directory_filled_in(tmp_path):
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        pytest.skip("systemd-analyze is not installed")
    inst = tmp_path / "inst"
    inst.mkdir()
    (inst / "korvanet").symlink_to(BINARY)
    template = (ROOT / "setup" / "korvanet.service.in").read_text()
    unit = tmp_path / "korvanet.service"
    unit.write_text(template.replace("@INSTDIR@", f"{inst}/"))
    out = subprocess.run([analyze, "verify", str(unit)], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout + out.stderr == "", out.stdout + out.stderr
    assert f"\nExecStart={inst}/korvanet --service\n" in unit.read_text()
