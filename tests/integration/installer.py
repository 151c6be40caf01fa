"""setup and kvuninst as the black-box tests run them. Both always get an image
root inside the temporary directory: run() refuses anything else, because the
suite runs as root and the programs without --root change the machine itself.
KORVANET_REGISTRY is dropped from the environment unless a test names one,
so the registry is the root's. SystemWatch records the real places an
installation occupies, to show afterwards that none of them changed."""
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from harness import BINARY

BIN_DIR = BINARY.parent
SETUP = BIN_DIR / "setup"
KVUNINST = BIN_DIR / "kvuninst"

INSTDIR = "/opt/korvanet/"
PROGRAM_FILES = ("korvanet", "config.htm", "proxy.pac", "ReadMe.txt", "Admin.url")
MODES = {"korvanet": 0o755, "kvuninst": 0o755}
MENU_FILES = ("korvanet.desktop", "korvanet-readme.desktop", "korvanet-uninstall.desktop", "korvanet-admin.desktop")
UNIT = "etc/systemd/system/korvanet.service"
WANTS_LINK = "etc/systemd/system/multi-user.target.wants/korvanet.service"
MENU_DIR = "usr/local/share/applications"
LOGROTATE = "etc/logrotate.d/korvanet"
REGISTRY = "etc/korvanet/registry.reg"
PRODUCT_KEY = "HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet"
UNINSTALL_KEY = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvanet"

NOTE = ("Installation was successful.\n"
        "Now you can run Korvanet and set proxy in your WWW browsers to the IP address or DNS name of this "
        "computer and port number to 3128.\n"
        "To configure Korvanet point your WWW browser to the port 3129 of this computer.\n")
UNINSTALLED = "Uninstallation completed.\nKorvanet was successfuly uninstalled from the system.\n"

# Where an installation on the running system would leave traces.
SYSTEM_PLACES = ("/etc/korvanet", "/etc/systemd/system/korvanet.service",
                 "/etc/systemd/system/multi-user.target.wants/korvanet.service", "/etc/logrotate.d/korvanet",
                 "/usr/local/sbin/kvuninst", "/opt/korvanet", "/var/log/korvanet", "/var/cache/korvanet",
                 "/var/spool/korvanet", "/etc/passwd", "/etc/group", "/etc/shadow", "/etc/gshadow")


def _inside_temp(root):
    real = Path(root).resolve()
    temp = Path(tempfile.gettempdir()).resolve()
    return real != temp and temp in real.parents


def run(program, root, *args, env=None, timeout=60):
    """Runs setup or kvuninst with --root root (first) and args; the
    CompletedProcess with text output."""
    if not _inside_temp(root) or "--root" in args:
        raise AssertionError(f"refusing to run {program.name} outside a temporary image root: {root}")
    clean = {k: v for k, v in os.environ.items() if k != "KORVANET_REGISTRY"}
    clean.update(env or {})
    return subprocess.run([str(program), "--root", str(root), *args], capture_output=True, text=True, env=clean,
                          timeout=timeout, stdin=subprocess.DEVNULL)


def run_setup(root, *args, **kw):
    return run(SETUP, root, *args, **kw)


def run_kvuninst(root, *args, **kw):
    return run(KVUNINST, root, *args, **kw)


def unit_keys(text):
    """{key: value} of a unit or desktop file (the last of a repeated key)."""
    keys = {}
    for line in text.splitlines():
        if "=" in line and not line.startswith(("#", ";", "[")):
            k, _, v = line.partition("=")
            keys[k] = v
    return keys


def tree(root):
    """Every path below root (relative, sorted), a link shown as 'path -> target'."""
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            p = Path(dirpath) / name
            rel = str(p.relative_to(root))
            out.append(f"{rel} -> {os.readlink(p)}" if p.is_symlink() else rel)
    return sorted(out)


class SystemWatch:
    """The state of SYSTEM_PLACES now; unchanged() compares it with later."""

    def __init__(self):
        self.before = self._state()

    @staticmethod
    def _state():
        state = {}
        for place in SYSTEM_PLACES:
            try:
                st = os.lstat(place)
                state[place] = (st.st_mode, st.st_size, st.st_mtime_ns, st.st_ino)
            except FileNotFoundError:
                state[place] = None
        return state

    def changed(self):
        after = self._state()
        return [p for p in SYSTEM_PLACES if after[p] != self.before[p]]


class LockHolder:
    """A process that holds the instance lock of a registry as a running
    server would, writing text into the lock file ("PID", "PID s", or junk);
    with ignore_term it survives SIGTERM."""

    CODE = r"""
import fcntl, os, signal, sys
path, text, ignore = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
if ignore:
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
fcntl.flock(fd, fcntl.LOCK_EX)
os.ftruncate(fd, 0)
os.write(fd, text.replace("PID", str(os.getpid())).encode())
print("locked", flush=True)
while True:
    signal.pause()
"""

    def __init__(self, registry, text="PID", ignore_term=False):
        self.proc = subprocess.Popen([sys.executable, "-c", self.CODE, f"{registry}.lock", text,
                                      "1" if ignore_term else "0"], stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline() == "locked\n"

    def alive(self):
        return self.proc.poll() is None

    def close(self):
        if self.alive():
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(5)


def wait_for(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()
