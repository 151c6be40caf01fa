#!/usr/bin/python3
"""Dial-up benchmark: what the dial-up manager costs the proxy, what it costs
at rest, how long a request waits for a dial, and whether dial and hang-up
cycles leave anything behind. Run through bench/run.sh (BENCH_TMP).

The far side is a stand-in pppd (a shell script written here) that writes
RUN/lo.pid: lo's 127.0.0.1 becomes the link address, so every loopback relay
of the proxy counts as traffic over the line. Nothing here touches /etc/ppp
or /run; everything talks to 127.0.0.1 only.

1. The proxy with the manager absent (no pppd) against the proxy with a line
   connected on lo (kept up), interleaved rounds: req/s of the 1 KiB object at
   c=1/10/50, server CPU per request at c=10, CONNECT of 10 MiB.
2. At rest over IDLE_S seconds: server CPU and the dial thread's wake-ups
   while waiting, while connected, and while a dial is under way.
3. The latency of a request that dials first (DialEvery), for a line that
   takes 2 s and one that takes 8 s to come up.
4. Dial and hang-up cycles: a few through the manager (admin pages), then
   bench/dial_cycle_bench's 1,000 through the pppd side alone.
"""
import os
import socket
import statistics
import subprocess
import sys
import threading
import time

import bench
from bench import CLEAN_ENV, CLK_TCK, HOST, KORVANET_BIN, ROOT, TMP, log

ROUNDS = int(os.environ.get("BENCH_DIAL_ROUNDS", "5"))
REQUESTS = int(os.environ.get("BENCH_REQUESTS", "5000"))
LEVELS = (1, 10, 50)
CPU_LEVEL = 10
IDLE_S = int(os.environ.get("BENCH_DIAL_IDLE_S", "60"))
DIALLING_S = 10
MANAGER_CYCLES = int(os.environ.get("BENCH_DIAL_MANAGER_CYCLES", "10"))
PLATFORM_CYCLES = int(os.environ.get("BENCH_DIAL_CYCLES", "1000"))
CYCLE_BENCH = os.environ.get("DIAL_CYCLE_BENCH", os.path.join(ROOT, "build", "bench", "dial_cycle_bench"))
ADMIN_TIMEOUT_S = 30

FAKE = r"""#!/bin/sh
here=$(dirname "$0")
mode=$(cat "$here/mode" 2>/dev/null || echo connect)
s=
trap 'kill $s 2>/dev/null; rm -f "$KORVANET_PPP_RUN/lo.pid"; exit 5' TERM
case "$mode" in
    after*) sleep ${mode#after } & s=$!; wait $s; echo $$ > "$KORVANET_PPP_RUN/lo.pid" ;;
    connect) echo $$ > "$KORVANET_PPP_RUN/lo.pid" ;;
    silent) ;;
esac
while :; do sleep 30 & s=$!; wait $s; done
"""


class Dialup:
    """One Korvanet with its own stand-in pppd (or none)."""

    def __init__(self, name, proxy_port, admin_port, settings=None, pppd=True, mode="connect"):
        self.name = name
        self.proxy_port, self.admin_port = proxy_port, admin_port
        d = os.path.join(TMP, name)
        self.ppp = os.path.join(d, "ppp")
        for sub in ("", "/peers", "/run"):
            os.makedirs(self.ppp + sub, exist_ok=True)
        bench.write(os.path.join(self.ppp, "pppd"), FAKE, 0o755)
        bench.write(os.path.join(self.ppp, "peers", "work"), "# peer\n")
        self.set_mode(mode)
        values = {"ProxyPort": proxy_port, "AdminPort": admin_port, "EnableCache": 0, "LogAccess": 0,
                  "CacheDir": d + "/cache", "ConnName": "work", "HangUp": 1000, "LogDial": 1}
        values.update(settings or {})
        reg = os.path.join(d, "registry.reg")
        bench.write(reg, bench.registry_text(values))
        env = dict(CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=d + "/", TZ="UTC0",
                   KORVANET_PPPD=os.path.join(self.ppp, "pppd") if pppd else os.path.join(self.ppp, "none"),
                   KORVANET_PPP_PEERS=os.path.join(self.ppp, "peers"), KORVANET_PPP_RUN=os.path.join(self.ppp, "run"))
        self.server = bench.start_server(name, [KORVANET_BIN], env=env, cwd=d)
        if not bench.wait_port(self.server, proxy_port):
            raise RuntimeError("%s did not start: %s" % (name, bench.output_tail(name)))

    def set_mode(self, mode):
        bench.write(os.path.join(self.ppp, "mode"), mode + "\n")

    def admin(self, path):
        s = socket.create_connection((HOST, self.admin_port), timeout=ADMIN_TIMEOUT_S)
        s.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        s.close()
        return data

    def dial(self, keep_up=False):
        page = self.admin("/admin/dial/dial?connect=+Dial+to" + ("&DontHangup=on" if keep_up else ""))
        return b"Connection successfuly established" in page

    def hang_up(self):
        return self.admin("/admin/dial/dial?disconnect=+Hang+Up+").endswith(b"<B>Disconnected.</B>")

    def dial_thread(self):
        for tid in os.listdir("/proc/%d/task" % self.server.pid):
            try:
                with open("/proc/%d/task/%s/comm" % (self.server.pid, tid)) as f:
                    if f.read().strip() == "kv-dial":
                        return tid
            except OSError:
                continue
        return None

    def wakeups(self):
        tid = self.dial_thread()
        if tid is None:
            return None
        with open("/proc/%d/task/%s/status" % (self.server.pid, tid)) as f:
            for line in f:
                if line.startswith("voluntary_ctxt_switches:"):
                    return int(line.split()[1])
        return None

    def descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.server.pid))


def ratio(a, b):
    return a / b if a is not None and b else None


def goal(text, value, ok):
    status = "n/a " if ok is None else ("PASS" if ok else "FAIL")
    print("%s  %s%s" % (status, text, "" if value is None else "  (" + value + ")"))


def proxy_table(plain, line, origin_port):
    small = "http://%s:%d/1k" % (HOST, origin_port)
    large = "http://%s:%d/10m" % (HOST, origin_port)
    samples = {c.name: {} for c in (plain, line)}
    cpu = {c.name: [0, 0] for c in (plain, line)}
    for c in (plain, line):
        bench.run_ab(small, 10, 300, c.proxy_port)
    for rnd in range(ROUNDS):
        order = (plain, line) if rnd % 2 == 0 else (line, plain)
        for level in LEVELS:
            for c in order:
                t0 = bench.cpu_ticks(c.server.pid)
                ab = bench.run_ab(small, level, REQUESTS, c.proxy_port)
                if ab is None or ab["failed"] or ab["non2xx"]:
                    log("%s c=%d: %s" % (c.name, level, "no result" if ab is None else
                                         "%d failed, %d non-2xx" % (ab["failed"], ab["non2xx"])))
                    continue
                samples[c.name].setdefault("rps%d" % level, []).append(ab["rps"])
                if level == CPU_LEVEL:
                    cpu[c.name][0] += bench.cpu_ticks(c.server.pid) - t0
                    cpu[c.name][1] += ab["complete"]
        for c in order:
            got = bench.curl(large, c.proxy_port, tunnel=True)
            if got and got[1] == bench.LARGE_BYTES:
                samples[c.name].setdefault("connect10m", []).append(got[0] / 1e6)
        log("dial round %d of %d" % (rnd + 1, ROUNDS))
    res = {}
    for name, rows in samples.items():
        res[name] = {k: (max(v) if k == "connect10m" else statistics.median(v)) for k, v in rows.items()}
        ticks, requests = cpu[name]
        res[name]["cpu"] = ticks / CLK_TCK * 1e6 / requests if requests else None
    print("\nProxy with the dial-up manager absent, and with a line up on lo (every relay is link traffic)")
    print("%-22s %12s %12s %8s" % ("", "no manager", "line up", "ratio"))
    for key, label, fmt in [("rps1", "req/s c=1", "%.0f"), ("rps10", "req/s c=10", "%.0f"),
                            ("rps50", "req/s c=50", "%.0f"), ("cpu", "CPU us/req c=10", "%.1f"),
                            ("connect10m", "CONNECT 10 MiB MB/s", "%.0f")]:
        a, b = res[plain.name].get(key), res[line.name].get(key)
        r = ratio(b, a)
        print("%-22s %12s %12s %8s" % (label, "n/a" if a is None else fmt % a, "n/a" if b is None else fmt % b,
                                       "n/a" if r is None else "%.3f" % r))
    print()
    for level in LEVELS:
        r = ratio(res[line.name].get("rps%d" % level), res[plain.name].get("rps%d" % level))
        goal("c=%d req/s with a line up >= 0.97 of without" % level, r and "%.3f" % r, None if r is None else r >= 0.97)
    a, b = res[plain.name].get("cpu"), res[line.name].get("cpu")
    d = None if a is None or b is None else b - a
    goal("CPU per request at most 2 us more", d is not None and "%+.1f us" % d or None, None if d is None else d <= 2)
    r = ratio(res[line.name].get("connect10m"), res[plain.name].get("connect10m"))
    goal("CONNECT 10 MiB with a line up >= 0.97 of without", r and "%.3f" % r, None if r is None else r >= 0.97)


def at_rest(waiting, line, dialling):
    """CPU of the waiting server and wake-ups of each dial thread over the same window."""
    dialling.set_mode("silent")
    before = {c.name: (bench.cpu_ticks(c.server.pid), c.wakeups()) for c in (waiting, line)}
    t0 = time.monotonic()
    # A dial that never comes up, for its first DIALLING_S seconds.
    result = {}

    def watch_dialling():
        threading.Thread(target=dialling.dial, daemon=True).start()
        time.sleep(1)
        w0, s0 = dialling.wakeups(), time.monotonic()
        time.sleep(DIALLING_S)
        w1 = dialling.wakeups()
        result["dialling"] = None if w0 is None or w1 is None else (w1 - w0) / (time.monotonic() - s0)
        dialling.hang_up()

    watcher = threading.Thread(target=watch_dialling)
    watcher.start()
    time.sleep(IDLE_S)
    watcher.join()
    elapsed = time.monotonic() - t0
    after = {c.name: (bench.cpu_ticks(c.server.pid), c.wakeups()) for c in (waiting, line)}
    cpu = (after[waiting.name][0] - before[waiting.name][0]) / CLK_TCK / elapsed * 100

    def rate(c):
        a, b = before[c.name][1], after[c.name][1]
        return None if a is None or b is None else (b - a) / elapsed

    print("\nAt rest over %.0f s" % elapsed)
    print("  server CPU, manager waiting: %.3f %%" % cpu)
    for label, r, want in (("waiting", rate(waiting), 1 / 5), ("connected", rate(line), 1 / 6),
                           ("dialling", result.get("dialling"), 5)):
        print("  dial thread wake-ups per second, %-9s: %s (the rule: %.2f)"
              % (label, "n/a" if r is None else "%.2f" % r, want))
    goal("idle server CPU under 0.1 %", "%.3f %%" % cpu, cpu < 0.1)


def dial_latency(name, proxy_port, admin_port, origin_port, up_after_s):
    srv = Dialup(name, proxy_port, admin_port, {"DialEvery": 1}, mode="after %d" % up_after_s)
    try:
        t0 = time.monotonic()
        got = bench.curl("http://%s:%d/1k" % (HOST, origin_port), proxy_port, max_time=40)
        took = time.monotonic() - t0
        return took if got and got[1] == bench.SMALL_BYTES else None
    finally:
        bench.stop_server(srv.server)


def manager_cycles(c):
    c.set_mode("connect")
    fds0 = c.descriptors()
    pss0 = bench.pss_kib(c.server.pid)
    ok = 0
    for _ in range(MANAGER_CYCLES):
        ok += c.dial() and c.hang_up()
    time.sleep(1)
    fds1 = c.descriptors()
    pss1 = bench.pss_kib(c.server.pid)
    print("\nDial and hang-up through the manager: %d of %d cycles, descriptors %d -> %d, PSS %.0f -> %.0f KiB"
          % (ok, MANAGER_CYCLES, fds0, fds1, pss0, pss1))
    goal("no descriptor growth over the manager's cycles", "%+d" % (fds1 - fds0), ok == MANAGER_CYCLES and fds1 <= fds0)


def platform_cycles():
    if not os.access(CYCLE_BENCH, os.X_OK):
        print("\n%s not built (cmake -DKV_BENCH=ON)" % CYCLE_BENCH)
        return
    r = subprocess.run([CYCLE_BENCH, str(PLATFORM_CYCLES)], capture_output=True, text=True, timeout=300)
    print("\nDial and hang-up of the pppd side, %d cycles (bench/dial_cycle_bench)" % PLATFORM_CYCLES)
    print("  " + r.stdout.strip().replace("\n", "\n  "))
    lines = [ln for ln in r.stdout.splitlines() if " cycle " in ln]
    if len(lines) >= 2:
        # From the 100th cycle on (the allocator settles in the first ones) to the last.
        first, last = (ln.split(": ", 1)[1].split(", ") for ln in (lines[min(1, len(lines) - 2)], lines[-1]))
        fds_ok = int(first[0].split()[0]) >= int(last[0].split()[0])
        kib = int(last[1].split()[0]) - int(first[1].split()[0])
        goal("no descriptor growth, no zombie over the cycles", "%+d KiB resident" % kib,
             fds_ok and "no zombie" in last[2] and r.returncode == 0)


def main():
    if not TMP or not os.path.isdir(TMP):
        print("dial_bench.py is run by bench/run.sh (BENCH_TMP not set)", file=sys.stderr)
        return 2
    os.chmod(TMP, 0o755)  # nginx's workers read the objects from here
    ports = bench.free_ports(13)
    origin_port = ports[0]
    servers = []
    try:
        origin = bench.start_origin(origin_port)
        servers.append(origin)
        if not bench.wait_port(origin, origin_port):
            print("origin failed to start: %s" % bench.output_tail("nginx"), file=sys.stderr)
            return 1
        plain = Dialup("dial-absent", ports[1], ports[2], pppd=False)
        line = Dialup("dial-line", ports[3], ports[4])
        waiting = Dialup("dial-waiting", ports[5], ports[6])
        dialling = Dialup("dial-dialling", ports[7], ports[8])
        servers += [plain.server, line.server, waiting.server, dialling.server]
        if not line.dial(keep_up=True):
            print("the line did not come up: %s" % bench.output_tail("dial-line"), file=sys.stderr)
            return 1
        proxy_table(plain, line, origin_port)
        # The latency cases run while the others rest; they are separate processes.
        latencies = {}

        def latency(up_after, at):
            latencies[up_after] = dial_latency("dial-latency-%d" % up_after, ports[at], ports[at + 1],
                                               origin_port, up_after)

        runners = [threading.Thread(target=latency, args=(2, 9)), threading.Thread(target=latency, args=(8, 11))]
        for t in runners:
            t.start()
        at_rest(waiting, line, dialling)
        for t in runners:
            t.join()
        print("\nRequest latency when it dials first (DialEvery, WaitDial 0)")
        for up_after, took in sorted(latencies.items()):
            # The connection waits 6 s, then polls every 0.5 s while dialling, then 1 s more.
            expected = max(6.0, up_after) + 1
            shown = "n/a" if took is None else "%.2f s" % took
            print("  line up after %d s: %s (expected %.1f s +0.5)" % (up_after, shown, expected))
            goal("line-up %d s: latency within 0.5 s of expected" % up_after, took and "%.2f s" % took,
                 None if took is None else abs(took - expected - 0.25) <= 0.5)
        manager_cycles(waiting)
        platform_cycles()
    finally:
        for s in servers:
            bench.stop_server(s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
