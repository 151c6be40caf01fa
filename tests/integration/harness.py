"""The program under test for the black-box tests: where it is, the registry
file it reads (written and parsed here), stock accounts for that file, and the
Server that starts it in the test's network namespace (the whole pytest run is
inside `unshare --net`), waits until it has started, and stops it with
SIGTERM. The korvanet fixture in conftest.py starts Servers and, when the
test ends, fails it on what the sanitizers or the fault guard reported."""
import hashlib
import os
import re
import signal
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BINARY = Path(os.environ.get("KORVANET_BIN", ROOT / "build" / "korvanet"))
KEY = "HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet"
# Set by `make tsan`: the program is built with the thread sanitizer, which
# takes the fault signals and the address checks for itself.
THREAD_SANITIZER = os.environ.get("KORVANET_SANITIZER") == "thread"


def reg_text(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def registry_file_text(settings, lists=None, status=None):
    """Regedit export text: settings (int -> dword, str -> text), lists as
    {subkey: [record text, ...]} stored as "1", "2", ..."""
    lines = ["Windows Registry Editor Version 5.00", "", f"[{KEY}]"]
    for name, value in settings.items():
        if isinstance(value, int):
            lines.append(f'"{name}"=dword:{value & 0xffffffff:08x}')
        else:
            lines.append(f'"{name}"={reg_text(value)}')
    for subkey, records in (lists or {}).items():
        lines += ["", f"[{KEY}\\{subkey}]"]
        lines += [f'"{i}"={reg_text(r)}' for i, r in enumerate(records, 1)]
    if status:
        lines += ["", f"[{KEY}\\Status]"]
        lines += [f'"{k}"=dword:{v:08x}' for k, v in status.items()]
    return "\n".join(lines) + "\n"


def parse_registry(path):
    """{key path: {value name: int or str}} of a regedit file."""
    tree, key = {}, None
    for line in Path(path).read_text().splitlines():
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1]
            tree.setdefault(key, {})
        elif line.startswith('"') and key is not None:
            name, _, value = line[1:].partition('"=')
            if value.startswith("dword:"):
                tree[key][name] = int(value[6:], 16)
            else:
                tree[key][name] = value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
    return tree


# A fault-guard entry and the service it names.
FAULT_ENTRY = re.compile(r"^Error 3408 [^\r\n]*\r?\nService (.*?) caused an exception", re.M)


def sanitizer_env(log_base):
    """Sanitizer settings that make every report fatal and leave it in a file
    log_base.PID, for the server, the unit programs and the fuzzers alike
    (the thread sanitizer's for a server built with it)."""
    return {"ASAN_OPTIONS": f"detect_leaks=1:halt_on_error=1:abort_on_error=0:log_path={log_base}",
            "UBSAN_OPTIONS": f"print_stacktrace=1:halt_on_error=1:log_path={log_base}",
            "TSAN_OPTIONS": f"halt_on_error=1:log_path={log_base}"}


class Server:
    def __init__(self, home, settings, lists=None, env=None, status=None, preexec=None):
        self.home = Path(home)
        self.home.mkdir(parents=True, exist_ok=True)
        self.registry = self.home / "registry.reg"
        self.logs_dir = self.home / "logs"
        base = {"LogsDir": str(self.logs_dir), "CacheDir": str(self.home / "cache"),
                "MailDir": str(self.home / "mail")}
        base.update(settings)
        self.settings = base
        self.registry.write_text(registry_file_text(base, lists, status))
        self.env = dict(os.environ, KORVANET_REGISTRY=str(self.registry), KORVANET_HOME=str(self.home) + "/")
        self.env.update(sanitizer_env(self.home / "sanitizer"))
        self.env.pop("NOTIFY_SOCKET", None)  # set, it would make the server a quiet service
        self.env.update(env or {})
        self.preexec = preexec  # runs in the child before the server starts (limits)
        self.proc = None
        self.stdout_path = self.home / "stdout.txt"
        self.exits = []  # (status, output) of every run that has ended
        # Services whose fault-guard entries a test provokes (the fault test row always does).
        self.provoked_faults = {"FAULT TEST"}

    def start(self, timeout=10):
        self.note_exit()
        out = open(self.stdout_path, "wb")
        self.proc = subprocess.Popen([str(BINARY)], env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, preexec_fn=self.preexec)
        out.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.output()
            if " Korvanet\n" in text or "can't start" in text:
                return self
            if self.proc.poll() is not None:
                raise RuntimeError(f"korvanet exited with {self.proc.returncode}: {text}")
            time.sleep(0.02)
        raise RuntimeError("korvanet did not start: " + self.output())

    def output(self):
        return self.stdout_path.read_text(errors="replace") if self.stdout_path.exists() else ""

    def stop(self, timeout=10):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise
        self.note_exit()
        return self.proc.returncode if self.proc else None

    def note_exit(self):
        if self.proc and self.proc.poll() is not None and (not self.exits or self.exits[-1][2] is not self.proc):
            self.exits.append((self.proc.returncode, self.output(), self.proc))

    def take_problems(self):
        """The problems found so far, forgotten afterwards (for a test that
        provokes them on purpose)."""
        found = self.problems()
        self.exits = [(0, "", p) for _, _, p in self.exits]
        for report in self.home.glob("sanitizer.*"):
            report.unlink()
        return found

    def problems(self):
        """What went wrong beyond the test's own checks: an exit status other
        than a clean stop, a start failure or a kill, a sanitizer report, or a
        fault-guard entry nobody provoked."""
        self.note_exit()
        found = []
        for status, output, _ in self.exits:
            if status not in (0, -signal.SIGKILL) and not (status == 3 and "can't start" in output):
                found.append(f"korvanet exited with status {status}:\n{output[-2000:]}")
        for report in sorted(self.home.glob("sanitizer.*")):
            found.append(f"sanitizer report {report.name}:\n{report.read_text(errors='replace')[:8000]}")
        if set(FAULT_ENTRY.findall(self.read_log("error.log"))) - self.provoked_faults:
            found.append("fault guard entry in error.log:\n" + self.read_log("error.log")[-2000:])
        return found

    def log_path(self, name):
        return self.logs_dir / name

    def read_log(self, name):
        p = self.log_path(name)
        return p.read_bytes().decode("latin-1") if p.exists() else ""

    def wait_log(self, name, text, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.read_log(name):
                return True
            time.sleep(0.02)
        return False


def random_kill_plan(default_rounds):
    """(rounds, random.Random) of a random-kill test: KORVANET_RANDOM_KILLS sets
    the rounds (a long run outside make test), KORVANET_KILL_SEED replays a
    printed seed."""
    import random
    rounds = int(os.environ.get("KORVANET_RANDOM_KILLS", default_rounds))
    seed = int(os.environ.get("KORVANET_KILL_SEED", random.randrange(1 << 30)))
    print("random kill seed", seed, "rounds", rounds)
    return rounds, random.Random(seed), seed


def digest(name, password):
    """A user's stored password digest."""
    return hashlib.md5(f"{name}:Korvanet:{password}".encode()).hexdigest()


# Stock accounts: root (password rootpw) in Admins, bob (bobpw) in no group,
# and the admin server open to Admins only.
ROOT_USER = f"000<|>root<|>{digest('root', 'rootpw')}<|>900:<|>"
BOB_USER = f"001<|>bob<|>{digest('bob', 'bobpw')}<|><|>"
ADMINS_ONLY = {"Access": ["http://Korvanet/*<|>900:<|>"], "Users": [ROOT_USER, BOB_USER],
               "Groups": ["900<|>Admins"]}
