"""The far side of dial-up for the black-box tests: a fake pppd, written as a
small shell script into a scratch directory and named in KORVANET_PPPD, with
a scratch phone book (KORVANET_PPP_PEERS) and run directory
(KORVANET_PPP_RUN). Nothing here touches /etc/ppp or /run.

Each start of the fake records, under its pid, its argv and the option words
of the file it was given; its descriptors and signal mask are read from
/proc while it runs (`descriptors`, `signals`). Then it does what the `mode`
file says:

    connect     writes RUN/lo.pid (lo's 127.0.0.1 becomes the link address)
    address     also puts 192.0.2.1 on lo first (a connect there stops
                failing with "network unreachable")
    nolink      writes RUN/ppp9.pid: a unit without an address, never up
    silent      writes nothing
    drop        connects, then ends by itself after 2 s with status 16
    stubborn    connects and ignores SIGTERM
    exit N      exits at once with status N
    signal      dies by SIGKILL

On SIGTERM it removes what it wrote and exits 5, as pppd does."""
import os
import re
import signal
import subprocess
import time
from pathlib import Path

LINK_ADDRESS = "192.0.2.1"

SCRIPT = r"""#!/bin/sh
n=$$
here=
run="$KORVANET_PPP_RUN"
addr=
s=
cleanup() {
    rm -f "$run/lo.pid" "$run/ppp9.pid"
    if [ -n "$addr" ]; then ip addr del "$addr/32" dev lo 2>/dev/null; fi
}
on_term() {
    if [ -n "$s" ]; then kill $s 2>/dev/null; fi
    cleanup
    echo $n >> "${here:-${0%/*}}/termed"
    exit 5
}
# First of all, so that a hang-up at once still finds it.
trap on_term TERM
here=${0%/*}
printf '%s\n' "$@" > "$here/argv.$n"
case " $* " in *" file /dev/fd/3 "*) cat /dev/fd/3 > "$here/options.$n" ;; esac
echo $n >> "$here/started"
mode=$(cat "$here/mode" 2>/dev/null || echo connect)
case "$mode" in
    exit*) exit ${mode#exit } ;;
    signal) kill -KILL $n ;;
    connect) echo $n > "$run/lo.pid" ;;
    address) addr=@ADDRESS@; ip addr add $addr/32 dev lo; echo $n > "$run/lo.pid" ;;
    nolink) echo $n > "$run/ppp9.pid" ;;
    silent) ;;
    drop) echo $n > "$run/lo.pid"; sleep 2; cleanup; exit 16 ;;
    stubborn) trap '' TERM; echo $n > "$run/lo.pid" ;;
esac
while :; do sleep 30 & s=$!; wait $s; done
""".replace("@ADDRESS@", LINK_ADDRESS)


class FakePppd:
    def __init__(self, home, entries=("work",), mode="connect"):
        self.dir = Path(home) / "ppp"
        self.peers = self.dir / "peers"
        self.run = self.dir / "run"
        for d in (self.dir, self.peers, self.run):
            d.mkdir(parents=True, exist_ok=True)
        self.program = self.dir / "pppd"
        self.program.write_text(SCRIPT)
        self.program.chmod(0o755)
        for name in entries:
            (self.peers / name).write_text("# peer\n")
        self.set_mode(mode)

    def env(self, **more):
        e = {"KORVANET_PPPD": str(self.program), "KORVANET_PPP_PEERS": str(self.peers),
             "KORVANET_PPP_RUN": str(self.run)}
        e.update(more)
        return e

    def set_mode(self, mode):
        (self.dir / "mode").write_text(mode + "\n")

    def started(self):
        """Pids of the fake's starts, oldest first."""
        p = self.dir / "started"
        return [int(x) for x in p.read_text().split()] if p.exists() else []

    def termed(self):
        p = self.dir / "termed"
        return [int(x) for x in p.read_text().split()] if p.exists() else []

    def wait_started(self, count=1, timeout=10):
        deadline = time.monotonic() + timeout
        while len(self.started()) < count:
            if time.monotonic() > deadline:
                raise AssertionError(f"pppd started {len(self.started())} times, not {count}")
            time.sleep(0.02)
        return self.started()[count - 1]

    def record(self, pid, what):
        """argv (list) or options (text, None without a file) of a start."""
        path = self.dir / f"{what}.{pid}"
        deadline = time.monotonic() + 5
        while not path.exists() and time.monotonic() < deadline:
            time.sleep(0.02)
        if what == "options":
            return path.read_text() if path.exists() else None
        return path.read_text().splitlines()

    def descriptors(self, pid):
        """{fd: target} of a running start, the shell's hold on the script itself aside."""
        fds = {}
        for fd in os.listdir(f"/proc/{pid}/fd"):
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
            if target != str(self.program):
                fds[int(fd)] = target
        return fds

    @staticmethod
    def signals(pid):
        """The blocked and ignored signal masks of a running start."""
        text = Path(f"/proc/{pid}/status").read_text()
        return {k: int(v, 16) for k, v in re.findall(r"^(SigBlk|SigIgn):\s*([0-9a-f]+)", text, re.M)}


class ForeignLine:
    """A line of the entry kept up by a process the server did not start:
    ppp-ENTRY.pid naming a sleeping process of ours and lo."""

    def __init__(self, fake, entry="work"):
        self.proc = subprocess.Popen(["sleep", "300"])
        self.path = fake.run / f"ppp-{entry}.pid"
        self.path.write_text(f"{self.proc.pid}\nlo\n")

    def alive(self):
        return self.proc.poll() is None

    def close(self):
        self.path.unlink(missing_ok=True)
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()


def zombies_of(pid):
    """Children of pid that have ended and not been reaped."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            text = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        fields = text.rsplit(")", 1)[1].split()
        if fields[0] == "Z" and int(fields[1]) == pid:
            found.append(int(entry))
    return found
