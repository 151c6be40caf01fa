#!/usr/bin/python3
"""Loopback benchmark: Korvanet's SOCKS port against microsocks and dante.

Run through bench/run.sh (which runs it in a private network namespace, makes
the scratch directory, passes it in BENCH_TMP and kills every process listed
in BENCH_TMP/pids when it exits). nginx is the origin, bench/echo_server.py
the far end of the tunnel round trip. Every measurement is bounded: hey runs
a fixed number of requests under a time limit, every socket has a time-out.
"""
import os
import re
import socket
import statistics
import struct
import subprocess
import sys
import time

import bench
from bench import HOST, log

LEVELS = (1, 10, 50)
REQUESTS = int(os.environ.get("BENCH_SOCKS_REQUESTS", "3000"))
ROUNDS = int(os.environ.get("BENCH_SOCKS_ROUNDS", "3"))
CHURN = int(os.environ.get("BENCH_SOCKS_CHURN", "100000"))
WARM = 5000
HEY_LIMIT_S = 90
RTT_EXCHANGES = 2000
RTT_WARMUP = 200
HANDSHAKES = 1000
TUNNELS = 50
IO_TIMEOUT_S = 5
SOCKS_PORT_LOW, SOCKS_PORT_HIGH = 9000, 9999   # Korvanet's SocksPort stops at 10000
PEERS = ("microsocks", "dante")
COLUMNS = ("direct",) + PEERS + ("korvanet",)

notes = bench.notes


# ------------------------------------------------------------------- servers

def start_microsocks(port):
    return bench.start_server("microsocks", ["microsocks", "-i", HOST, "-p", str(port)])


def start_dante(port):
    d = os.path.join(bench.TMP, "dante")
    os.makedirs(d, exist_ok=True)
    conf = os.path.join(d, "danted.conf")
    bench.write(conf, """\
logoutput: {d}/danted.log
internal: {host} port = {port}
external: {host}
socksmethod: none
clientmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {{
    from: 127.0.0.0/8 to: 0.0.0.0/0
}}
socks pass {{
    from: 127.0.0.0/8 to: 0.0.0.0/0
}}
""".format(d=d, host=HOST, port=port))
    return bench.start_server("dante", ["danted", "-f", conf, "-p", os.path.join(d, "danted.pid")])


def start_korvanet(socks_port, proxy_port, admin_port):
    if not os.access(bench.KORVANET_BIN, os.X_OK):
        notes.append("korvanet: %s not found (run make all)" % bench.KORVANET_BIN)
        return None
    d = os.path.join(bench.TMP, "korvanet-socks")
    os.makedirs(d, exist_ok=True)
    reg = os.path.join(d, "registry.reg")
    bench.write(reg, """\
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet]
"ProxyPort"=dword:{proxy:08x}
"AdminPort"=dword:{admin:08x}
"SocksPort"=dword:{socks:08x}
"Socks5"=dword:00000001
"EnableCache"=dword:00000000
"LogAccess"=dword:00000000
"CacheDir"="{d}/cache"
""".format(proxy=proxy_port, admin=admin_port, socks=socks_port, d=d))
    env = dict(bench.CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=d + "/")
    return bench.start_server("korvanet-socks", [bench.KORVANET_BIN], env=env, cwd=d)


def socks_port_pick(taken):
    for port in range(SOCKS_PORT_LOW, SOCKS_PORT_HIGH):
        if port in taken:
            continue
        s = socket.socket()
        try:
            s.bind((HOST, port))
        except OSError:
            continue
        finally:
            s.close()
        return port
    raise RuntimeError("no free port below 10000")


# ------------------------------------------------------------- measurements

def socks5_open(proxy_port, host, port, timeout=IO_TIMEOUT_S):
    """A tunnel through a SOCKS 5 server, no authentication, or OSError."""
    s = socket.create_connection((HOST, proxy_port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall(b"\x05\x01\x00")
    if recv_exactly(s, 2) != b"\x05\x00":
        s.close()
        raise OSError("method refused")
    s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton(host) + struct.pack(">H", port))
    reply = recv_exactly(s, 10)
    if reply[:2] != b"\x05\x00":
        s.close()
        raise OSError("CONNECT refused: %r" % reply)
    return s


def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise OSError("closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def run_hey(url, concurrency, requests, proxy_port=None):
    """(requests/s, p99 ms, responses ok) of one hey run, or None."""
    argv = ["hey", "-n", str(requests), "-c", str(concurrency), "-disable-keepalive", "-t", "10"]
    if proxy_port is not None:
        argv += ["-x", "socks5://%s:%d" % (HOST, proxy_port)]
    argv.append(url)
    try:
        r = subprocess.run(argv, capture_output=True, text=True, env=bench.CLEAN_ENV, timeout=HEY_LIMIT_S)
    except subprocess.TimeoutExpired:
        notes.append("hey stopped after %d s (c=%d)" % (HEY_LIMIT_S, concurrency))
        return None
    rate = re.search(r"Requests/sec:\s+([\d.]+)", r.stdout)
    p99 = re.search(r"99% in ([\d.]+) secs", r.stdout)
    ok = re.search(r"\[200\]\s+(\d+) responses", r.stdout)
    if not rate or not p99:
        return None
    good = int(ok.group(1)) if ok else 0
    if good < requests:
        notes.append("hey c=%d: %d of %d answered 200" % (concurrency, good, requests))
    return float(rate.group(1)), float(p99.group(1)) * 1000.0, good


def curl_large(url, proxy_port=None):
    argv = ["curl", "-s", "-o", "/dev/null", "--max-time", "30", "-w", "%{http_code} %{size_download} %{speed_download}"]
    if proxy_port is not None:
        argv += ["--socks5", "%s:%d" % (HOST, proxy_port)]
    argv.append(url)
    try:
        r = subprocess.run(argv, capture_output=True, text=True, env=bench.CLEAN_ENV, timeout=40)
    except subprocess.TimeoutExpired:
        return None
    parts = r.stdout.split()
    if r.returncode != 0 or len(parts) != 3 or parts[0] != "200" or int(parts[1]) != bench.LARGE_BYTES:
        return None
    return float(parts[2]) / 1e6


def exchange_two_writes_ns(s, payload):
    """One round trip whose request goes out in two writes, as an interactive
    client's does: a relay that keeps Nagle on holds the second piece."""
    half = len(payload) // 2
    t0 = time.perf_counter_ns()
    s.sendall(payload[:half])
    s.sendall(payload[half:])
    recv_exactly(s, len(payload))
    return time.perf_counter_ns() - t0


def pin_tree(root, cpus):
    """Sets the CPU affinity of every thread of the process tree."""
    for pid in bench.process_tree(root):
        try:
            for tid in os.listdir("/proc/%d/task" % pid):
                try:
                    os.sched_setaffinity(int(tid), cpus)
                except OSError:
                    pass
        except OSError:
            pass


def rtt_median_us(echo_port, proxy_port=None, label="direct"):
    try:
        if proxy_port is None:
            s = socket.create_connection((HOST, echo_port), timeout=IO_TIMEOUT_S)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        else:
            s = socks5_open(proxy_port, HOST, echo_port)
        with s:
            s.settimeout(IO_TIMEOUT_S)
            payload = bytes(range(64))
            samples = [exchange_two_writes_ns(s, payload) for _ in range(RTT_WARMUP + RTT_EXCHANGES)]
            return statistics.median(samples[RTT_WARMUP:]) / 1000.0
    except OSError as e:
        notes.append("%s: tunnel round trip failed: %s" % (label, e))
        return None


def handshake_p50_ms(proxy_port, echo_port, label):
    samples = []
    try:
        for _ in range(HANDSHAKES):
            t0 = time.perf_counter_ns()
            s = socks5_open(proxy_port, HOST, echo_port)
            samples.append(time.perf_counter_ns() - t0)
            s.close()
    except OSError as e:
        notes.append("%s: handshake test failed: %s" % (label, e))
        return None
    return statistics.median(samples) / 1e6


def pss_with_tunnels(server, proxy_port, echo_port, label):
    tunnels = []
    try:
        for _ in range(TUNNELS):
            s = socks5_open(proxy_port, HOST, echo_port)
            tunnels.append(s)
            s.sendall(b"x")
            recv_exactly(s, 1)
        time.sleep(0.3)
        return bench.pss_kib(server.pid) / 1024.0
    except OSError as e:
        notes.append("%s: %d tunnels failed: %s" % (label, TUNNELS, e))
        return None
    finally:
        for s in tunnels:
            s.close()


# ------------------------------------------------------------------- report

ROWS = [
    ("rate1", "c=1 GET 1 KiB, req/s", "%.0f"), ("p99_1", "c=1 p99, ms", "%.2f"),
    ("rate10", "c=10 GET 1 KiB, req/s", "%.0f"), ("p99_10", "c=10 p99, ms", "%.2f"),
    ("rate50", "c=50 GET 1 KiB, req/s", "%.0f"), ("p99_50", "c=50 p99, ms", "%.2f"),
    ("cpu", "server CPU, us/req (all levels)", "%.0f"),
    ("large", "GET 10 MiB, MB/s", "%.0f"),
    ("rtt", "round trip added in a tunnel, us", "%.1f"),
    ("handshake", "connect + SOCKS 5 handshake p50, ms", "%.3f"),
    ("pss_idle", "PSS idle, MiB", "%.2f"), ("pss_tunnels", "PSS with 50 tunnels, MiB", "%.2f"),
    ("pss_warm", "PSS after %d connections, MiB" % WARM, "%.2f"),
    ("pss_churn", "PSS after %d more, MiB" % CHURN, "%.2f"),
]


def render(res):
    width = max(len(r[1]) for r in ROWS) + 2
    lines = [" " * width + "".join("%12s" % c for c in COLUMNS + ("kv/best",))]
    for key, label, fmt in ROWS:
        cells = []
        for c in COLUMNS:
            v = res[c].get(key)
            cells.append("%12s" % (fmt % v if v is not None else "n/a"))
        best = best_peer(res, key)
        kv = res["korvanet"].get(key)
        cells.append("%12s" % ("%.2f" % (kv / best) if kv is not None and best else "n/a"))
        lines.append(label.ljust(width) + "".join(cells))
    return "\n".join(lines)


HIGHER_IS_BETTER = {"rate1", "rate10", "rate50", "large"}


def best_peer(res, key):
    vals = [res[p].get(key) for p in PEERS if res[p].get(key) is not None]
    if not vals:
        return None
    return max(vals) if key in HIGHER_IS_BETTER else min(vals)


def verdict(ok):
    return "n/a " if ok is None else ("PASS" if ok else "FAIL")


def goals(res):
    kv, direct = res["korvanet"], res["direct"]
    out = []
    for level in LEVELS:
        rate, best = kv.get("rate%d" % level), best_peer(res, "rate%d" % level)
        p99, best_p99 = kv.get("p99_%d" % level), best_peer(res, "p99_%d" % level)
        ok = None if rate is None or best is None else rate >= 1.2 * best
        out.append("%s c=%d req/s at least 1.2 x best peer (%s vs %s)" % (verdict(ok), level, rate, best))
        ok = None if p99 is None or best_p99 is None else p99 <= best_p99
        out.append("%s c=%d p99 no worse than best peer (%s vs %s ms)" % (verdict(ok), level, p99, best_p99))
    cpu = kv.get("cpu")
    out.append("%s CPU at most 100 us/req (%s)" % (verdict(None if cpu is None else cpu <= 100), cpu))
    large, base = kv.get("large"), direct.get("large")
    ok = None if large is None or not base else large >= 0.6 * base
    out.append("%s 10 MiB at least 0.6 of direct (%s)" % (verdict(ok), "%.2f" % (large / base) if ok is not None else "n/a"))
    rtt = kv.get("rtt")
    out.append("%s round trip added at most 30 us (%s)" % (verdict(None if rtt is None else rtt <= 30), rtt))
    hs, micro = kv.get("handshake"), res["microsocks"].get("handshake")
    ok = None if hs is None or micro is None else hs <= micro
    out.append("%s handshake p50 no more than microsocks's (%s vs %s ms)" % (verdict(ok), hs, micro))
    idle, tunnels, churn = kv.get("pss_idle"), kv.get("pss_tunnels"), kv.get("pss_churn")
    out.append("%s PSS idle at most 3 MiB (%s)" % (verdict(None if idle is None else idle <= 3), idle))
    out.append("%s PSS with 50 tunnels at most 10 MiB (%s)" % (verdict(None if tunnels is None else tunnels <= 10),
                                                               tunnels))
    warm = kv.get("pss_warm")
    if warm is not None and churn is not None:
        growth = (churn - warm) * 1024 * 1024 / CHURN
        out.append("%s PSS flat over %d connections (%.2f bytes per connection)"
                   % (verdict(growth < 16), CHURN, growth))
    return "\n".join(out)


# --------------------------------------------------------------------- main

def main():
    started = time.monotonic()
    if not bench.TMP:
        print("run through bench/run.sh", file=sys.stderr)
        return 2
    os.chmod(bench.TMP, 0o755)  # nginx workers and dante's unprivileged user read from here
    origin_port, echo_port, proxy_port, admin_port, micro_port, dante_port = bench.free_ports(6)
    socks_port = socks_port_pick({micro_port, dante_port})
    servers = {}
    res = {c: {} for c in COLUMNS}
    try:
        origin = bench.start_origin(origin_port)
        echo = bench.start_echo(echo_port)
        if not bench.wait_port(origin, origin_port) or not bench.wait_port(echo, echo_port):
            print("origin or echo server did not start", file=sys.stderr)
            return 1
        small = "http://%s:%d/1k" % (HOST, origin_port)
        large = "http://%s:%d/10m" % (HOST, origin_port)
        ports = {"direct": None, "microsocks": micro_port, "dante": dante_port, "korvanet": socks_port}
        for name, start in (("microsocks", lambda: start_microsocks(micro_port)),
                            ("dante", lambda: start_dante(dante_port)),
                            ("korvanet", lambda: start_korvanet(socks_port, proxy_port, admin_port))):
            try:
                server = start()
            except OSError as e:
                notes.append("%s: could not start: %s" % (name, e))
                server = None
            if server is None or not bench.wait_port(server, ports[name]):
                notes.append("%s: did not start (%s)" % (name, bench.output_tail(server.name) if server else ""))
                bench.stop_server(server)
                continue
            servers[name] = server
        live = ["direct"] + [c for c in COLUMNS[1:] if c in servers]
        for name in live[1:]:
            try:
                socks5_open(ports[name], HOST, echo_port).close()
            except OSError as e:
                notes.append("%s: first tunnel failed: %s" % (name, e))
            res[name]["pss_idle"] = bench.pss_kib(servers[name].pid) / 1024.0
        # Load rows: every column in turn within each round; medians over rounds.
        samples = {c: {} for c in live}
        cpu = {c: [0, 0] for c in live}
        for rnd in range(ROUNDS):
            log("socks round %d of %d" % (rnd + 1, ROUNDS))
            for level in LEVELS:
                for c in live:
                    before = bench.cpu_ticks(servers[c].pid) if c in servers else 0
                    got = run_hey(small, level, REQUESTS, ports[c])
                    if got is None:
                        continue
                    samples[c].setdefault("rate%d" % level, []).append(got[0])
                    samples[c].setdefault("p99_%d" % level, []).append(got[1])
                    if c in servers:
                        cpu[c][0] += bench.cpu_ticks(servers[c].pid) - before
                        cpu[c][1] += got[2]
            for c in live:
                got = curl_large(large, ports[c])
                if got is not None:
                    samples[c].setdefault("large", []).append(got)
        for c in live:
            for key, vals in samples[c].items():
                res[c][key] = max(vals) if key == "large" else statistics.median(vals)
            if cpu[c][1]:
                res[c]["cpu"] = cpu[c][0] * 1e6 / bench.CLK_TCK / cpu[c][1]
        # Round trip, pinned to one CPU: client, relay and echo share it.
        everything = set(range(os.cpu_count() or 1))
        os.sched_setaffinity(0, {0})
        pin_tree(echo.pid, {0})
        for s in servers.values():
            pin_tree(s.pid, {0})
        base = rtt_median_us(echo_port)
        res["direct"]["rtt"] = base
        for c in live[1:]:
            got = rtt_median_us(echo_port, ports[c], c)
            if got is not None and base is not None:
                res[c]["rtt"] = got - base
        os.sched_setaffinity(0, everything)
        pin_tree(echo.pid, everything)
        for s in servers.values():
            pin_tree(s.pid, everything)
        for c in live[1:]:
            res[c]["handshake"] = handshake_p50_ms(ports[c], echo_port, c)
            res[c]["pss_tunnels"] = pss_with_tunnels(servers[c], ports[c], echo_port, c)
        if "korvanet" in servers:
            # Growth per connection: from a warm server (its threads and
            # allocator arenas at their c=50 size) over CHURN more connections.
            log("korvanet: %d connections for the memory check" % CHURN)
            if run_hey(small, 50, WARM, socks_port) is not None:
                time.sleep(0.5)
                res["korvanet"]["pss_warm"] = bench.pss_kib(servers["korvanet"].pid) / 1024.0
                if run_hey(small, 50, CHURN, socks_port) is not None:
                    time.sleep(0.5)
                    res["korvanet"]["pss_churn"] = bench.pss_kib(servers["korvanet"].pid) / 1024.0
    finally:
        for s in servers.values():
            bench.stop_server(s)
        bench.stop_server(locals().get("origin"))
        bench.stop_server(locals().get("echo"))
    print()
    print("SOCKS 5: hey -disable-keepalive -x socks5:// (%d requests per level, median of %d rounds),"
          " nginx origin" % (REQUESTS, ROUNDS))
    print(render(res))
    print()
    print("Goals for korvanet (SOCKS):")
    print(goals(res))
    if notes:
        print()
        print("Notes:")
        for n in dict.fromkeys(notes):
            print("  - " + n)
    print()
    print("took %.0f s on %d cores" % (time.monotonic() - started, os.cpu_count()))
    return 0


if __name__ == "__main__":
    import signal
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
