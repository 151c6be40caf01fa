#!/usr/bin/python3
"""Loopback benchmark: Korvanet's mapped links (TCP and UDP port forwards)
against socat and rinetd, and against going to the far end directly.

Run through bench/run.sh, which runs it in a private network namespace (only
loopback up), makes the scratch directory, passes it in BENCH_TMP and kills
every process listed in BENCH_TMP/pids when it exits.

Far ends: nginx (the 1 KiB and 10 MiB objects) and bench/echo_server.py on
127.0.0.1 for the TCP links; a UDP echo (this file, "udp-echo PORT") and a
dnsmasq answering the bench zone on 127.0.0.2 for the UDP links. UDP links
point at another address than the client's, so that a forwarder can tell a
reply from a client's datagram by its source address alone.

Every relay gets four forwards: TCP to nginx, TCP to the echo server, UDP to
the UDP echo, UDP to dnsmasq. socat needs one process per forward; rinetd and
Korvanet take all four in one config. Every load run is bounded: ab by -n
and -t, curl by --max-time, dnsperf by -l (and -n for the datagram churn),
every socket loop by its count and a time-out.
"""
import os
import shutil
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

HOST = "127.0.0.1"
FAR_UDP = "127.0.0.2"
LEVELS = (1, 10, 50)
REQUESTS = int(os.environ.get("BENCH_LINK_REQUESTS", "5000"))
ROUNDS = int(os.environ.get("BENCH_LINK_ROUNDS", "3"))
CHURN = int(os.environ.get("BENCH_LINK_CHURN", "100000"))
DATAGRAMS = int(os.environ.get("BENCH_LINK_DATAGRAMS", "100000"))
WARM = 5000
CHURN_LEVEL = 50
CHURN_TIME_LIMIT_S = 150
AB_TIME_LIMIT_S = int(os.environ.get("BENCH_LINK_AB_SECONDS", "8"))   # per ab run: socat is slow
LARGE_ROUNDS = 5
RTT_EXCHANGES = 2000
RTT_WARMUP = 200
RTT_PAYLOAD = 64
IO_TIMEOUT_S = 5
PRIME_TRIES = 5
HELD_LINKS = 50
DNS_ZONE = "bench.test"
DNS_OUTSTANDING = 16
DNS_SECONDS = int(os.environ.get("BENCH_DNS_SECONDS", "5"))
DNS_QUERIES_IN_FILE = 1000
FLAT_BYTES_PER_UNIT = 16       # "flat": under this much PSS growth per connection or datagram
PEERS = ("socat", "rinetd")
COLUMNS = ("direct",) + PEERS + ("korvanet",)
FORWARDS = ("http", "echo", "udp_echo", "dns")

notes = []


# ------------------------------------------------------------------ far ends

def udp_echo_main(port):
    """The UDP far end: sends every datagram back to its sender, except an
    empty one (rinetd forwards a client's first datagram as an empty one and
    takes an empty answer for the end of that client). Ends when its parent
    kills it (run.sh ends every process group it started)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((FAR_UDP, port))
    while True:
        data, peer = s.recvfrom(65536)
        if data:
            s.sendto(data, peer)


def start_udp_echo(port):
    return bench.start_server("udp-echo", [sys.executable, os.path.abspath(__file__), "udp-echo", str(port)])


def start_dnsmasq(port):
    return bench.start_server("dnsmasq", [
        "dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
        "--bind-interfaces", "--pid-file=", "--log-facility=-", "--listen-address=" + FAR_UDP,
        "--port=%d" % port, "--address=/%s/10.20.30.40" % DNS_ZONE])


# -------------------------------------------------------------------- relays

def start_socat(ports, far):
    """One socat per forward; returns the servers, the HTTP one first."""
    servers = []
    for fwd in FORWARDS:
        if fwd in ("udp_echo", "dns"):
            argv = ["socat", "UDP4-LISTEN:%d,bind=%s,fork,reuseaddr" % (ports[fwd], HOST),
                    "UDP4:%s:%d" % far[fwd]]
        else:
            argv = ["socat", "TCP4-LISTEN:%d,bind=%s,fork,reuseaddr,backlog=1024" % (ports[fwd], HOST),
                    "TCP4:%s:%d" % far[fwd]]
        servers.append(bench.start_server("socat-" + fwd, argv))
    return servers


def start_rinetd(ports, far):
    d = os.path.join(bench.TMP, "rinetd")
    os.makedirs(d, exist_ok=True)
    conf = os.path.join(d, "rinetd.conf")
    lines = []
    for fwd in FORWARDS:
        udp = fwd in ("udp_echo", "dns")
        lines.append("%s %d%s %s %d%s" % (HOST, ports[fwd], "/udp" if udp else "",
                                           far[fwd][0], far[fwd][1], "/udp" if udp else ""))
    bench.write(conf, "\n".join(lines) + "\n")
    return [bench.start_server("rinetd", ["rinetd", "-f", "-c", conf])]


def start_korvanet(ports, far, admin_port, proxy_port):
    if not os.access(bench.KORVANET_BIN, os.X_OK):
        notes.append("korvanet: %s not found (run make all)" % bench.KORVANET_BIN)
        return []
    d = os.path.join(bench.TMP, "korvanet-links")
    os.makedirs(d, exist_ok=True)
    links = []
    for fwd in FORWARDS:
        proto = "UDP" if fwd in ("udp_echo", "dns") else "TCP"
        links.append("%d<|>%s<|>%d<|>%s" % (ports[fwd], far[fwd][0], far[fwd][1], proto))
    values = {"ProxyPort": proxy_port, "AdminPort": admin_port, "EnableCache": 0, "LogAccess": 0,
              "LogsDir": d + "/logs", "CacheDir": d + "/cache", "MailDir": d + "/mail"}
    reg = os.path.join(d, "registry.reg")
    bench.write(reg, bench.registry_text(values, {"Links": links}))
    env = dict(bench.CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=d + "/")
    return [bench.start_server("korvanet-links", [bench.KORVANET_BIN], env=env, cwd=d)]


# -------------------------------------------------------------- measurements

def run_ab(url, level, requests, time_limit=AB_TIME_LIMIT_S):
    csv = os.path.join(bench.TMP, "ab.csv")
    if os.path.exists(csv):
        os.unlink(csv)
    argv = ["ab", "-q", "-r", "-s", "10", "-t", str(time_limit), "-n", str(requests),
            "-c", str(level), "-e", csv, url]
    try:
        r = subprocess.run(argv, capture_output=True, text=True, env=bench.CLEAN_ENV, timeout=time_limit + 20)
    except subprocess.TimeoutExpired:
        return None
    return bench.parse_ab(r.stdout, csv)


def curl_large_mbs(url):
    got = bench.curl(url, max_time=30)
    if got is None or got[1] != bench.LARGE_BYTES:
        return None
    return got[0] / 1e6


def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise OSError("closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def tcp_rtt_us(port, label):
    try:
        with socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            payload = bytes(range(RTT_PAYLOAD))
            samples = []
            for _ in range(RTT_WARMUP + RTT_EXCHANGES):
                t0 = time.perf_counter_ns()
                s.sendall(payload)
                recv_exactly(s, RTT_PAYLOAD)
                samples.append(time.perf_counter_ns() - t0)
            return statistics.median(samples[RTT_WARMUP:]) / 1000.0
    except OSError as e:
        notes.append("%s: TCP echo exchanges failed: %s" % (label, e))
        return None


def udp_rtt_us(host, port, label):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    payload = bytes(range(RTT_PAYLOAD))
    samples = []
    try:
        # Priming, not measured: a forwarder may lose the first datagram of a
        # new client (rinetd 0.73 does), so send until one comes back.
        s.settimeout(0.3)
        for tries in range(1, PRIME_TRIES + 1):
            s.sendto(payload, (host, port))
            try:
                if s.recv(65536) == payload:
                    break
            except socket.timeout:
                if tries == PRIME_TRIES:
                    raise
                notes.append("%s: a first UDP datagram got no answer" % label)
        s.settimeout(IO_TIMEOUT_S)
        for _ in range(RTT_WARMUP + RTT_EXCHANGES):
            t0 = time.perf_counter_ns()
            s.sendto(payload, (host, port))
            if s.recv(65536) != payload:
                raise OSError("a different datagram came back")
            samples.append(time.perf_counter_ns() - t0)
        return statistics.median(samples[RTT_WARMUP:]) / 1000.0
    except OSError as e:
        notes.append("%s: UDP echo exchanges failed after %d: %s" % (label, len(samples), e))
        return None
    finally:
        s.close()


def dnsperf(host, port, qfile, extra=(), seconds=DNS_SECONDS):
    """(queries per second, queries completed) or None."""
    argv = ["dnsperf", "-s", host, "-p", str(port), "-d", qfile, "-q", str(DNS_OUTSTANDING),
            "-l", str(seconds), "-t", "2"] + list(extra)
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=seconds + 30).stdout
    except subprocess.TimeoutExpired:
        return None
    qps = completed = None
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("Queries per second:"):
            qps = float(line.split(":")[1])
        elif line.startswith("Queries completed:"):
            completed = int(line.split(":")[1].split()[0])
    if qps is None:
        return None
    return qps, completed


def pin(pids, cpus):
    """taskset -a -p: every thread of every process of each tree."""
    cpu_list = ",".join(str(c) for c in sorted(cpus))
    for root in pids:
        for pid in bench.process_tree(root):
            subprocess.run(["taskset", "-a", "-p", "-c", cpu_list, str(pid)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def pss_with_held_links(root, port, label):
    held = []
    try:
        for _ in range(HELD_LINKS):
            s = socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S)
            held.append(s)
            s.sendall(b"x")
            recv_exactly(s, 1)
        time.sleep(0.3)
        return bench.pss_kib(root) / 1024.0
    except OSError as e:
        notes.append("%s: %d held links failed after %d: %s" % (label, HELD_LINKS, len(held), e))
        return None
    finally:
        for s in held:
            s.close()


# -------------------------------------------------------------------- report

ROWS = [
    ("large", "GET 10 MiB with curl, MB/s (best of %d)" % LARGE_ROUNDS, "%.0f", True),
    ("rps1", "ab c=1 GET 1 KiB close per request, req/s", "%.0f", True),
    ("p99_1", "  c=1 p99, ms", "%.3f", False),
    ("rps10", "ab c=10, req/s", "%.0f", True),
    ("p99_10", "  c=10 p99, ms", "%.3f", False),
    ("rps50", "ab c=50, req/s", "%.0f", True),
    ("p99_50", "  c=50 p99, ms", "%.3f", False),
    ("cpu", "relay CPU per connection (all levels), us", "%.1f", False),
    ("tcp_rtt", "TCP 64-byte echo round trip added, us", "%.1f", False),
    ("udp_rtt", "UDP 64-byte echo round trip added, us", "%.1f", False),
    ("dns_qps", "dnsperf -q %d through the UDP link, queries/s" % DNS_OUTSTANDING, "%.0f", True),
    ("pss_idle", "PSS idle (after first uses), MiB", "%.2f", False),
    ("pss_held", "PSS with %d links held open, MiB" % HELD_LINKS, "%.2f", False),
    ("pss_warm", "PSS after %d connections at c=%d, MiB" % (WARM, CHURN_LEVEL), "%.2f", False),
    ("pss_churn", "PSS after the connection churn, MiB", "%.2f", False),
    ("pss_dg_warm", "PSS before the datagram churn, MiB", "%.2f", False),
    ("pss_dg", "PSS after the datagram churn, MiB", "%.2f", False),
]
HIGHER = {key for key, _, _, higher in ROWS if higher}


def best_peer(res, key):
    vals = [res[p][key] for p in PEERS if res[p].get(key) is not None]
    if not vals:
        return None
    return max(vals) if key in HIGHER else min(vals)


def render(res):
    width = max(len(r[1]) for r in ROWS) + 2
    head = " " * width + "".join("%11s" % c for c in COLUMNS) + "%11s%11s" % ("kv/direct", "kv/best")
    lines = [head]
    for key, label, fmt, _ in ROWS:
        cells = []
        for c in COLUMNS:
            v = res[c].get(key)
            cells.append("%11s" % (fmt % v if v is not None else "-"))
        kv, d, b = res["korvanet"].get(key), res["direct"].get(key), best_peer(res, key)
        cells.append("%11s" % ("%.2f" % (kv / d) if kv is not None and d else "-"))
        cells.append("%11s" % ("%.2f" % (kv / b) if kv is not None and b else "-"))
        lines.append(label.ljust(width) + "".join(cells))
    return "\n".join(lines)


def verdict(ok):
    return "n/a " if ok is None else ("PASS" if ok else "FAIL")


def goals(res, churn_done, dg_done):
    kv, direct = res["korvanet"], res["direct"]
    out = []

    def add(ok, text):
        out.append("%s  %s" % (verdict(ok), text))

    def num(v, fmt="%.2f"):
        return "n/a" if v is None else fmt % v

    large, base, best = kv.get("large"), direct.get("large"), best_peer(res, "large")
    add(None if large is None or not base else large >= 0.7 * base,
        "10 MiB at least 0.7 of direct (%s)" % num(large / base if large and base else None))
    add(None if large is None or not best else large >= 1.5 * best,
        "10 MiB at least 1.5 x best peer (%s)" % num(large / best if large and best else None))
    for level in LEVELS:
        rate, brate = kv.get("rps%d" % level), best_peer(res, "rps%d" % level)
        add(None if rate is None or not brate else rate >= 1.3 * brate,
            "c=%d req/s at least 1.3 x best peer (%s vs %s: %s)"
            % (level, num(rate, "%.0f"), num(brate, "%.0f"), num(rate / brate if rate and brate else None)))
        p99, bp99 = kv.get("p99_%d" % level), best_peer(res, "p99_%d" % level)
        add(None if p99 is None or bp99 is None else p99 <= bp99,
            "c=%d p99 no worse than best peer's (%s vs %s ms)" % (level, num(p99, "%.3f"), num(bp99, "%.3f")))
    cpu, bcpu = kv.get("cpu"), best_peer(res, "cpu")
    add(None if cpu is None or bcpu is None else cpu < bcpu,
        "less CPU per connection than best peer (%s vs %s us)" % (num(cpu, "%.1f"), num(bcpu, "%.1f")))
    rtt, brtt = kv.get("tcp_rtt"), best_peer(res, "tcp_rtt")
    add(None if rtt is None or brtt is None else rtt < brtt and rtt <= 25,
        "TCP round trip added below best peer's and at most 25 us (%s vs %s us)"
        % (num(rtt, "%.1f"), num(brtt, "%.1f")))
    urtt, rin = kv.get("udp_rtt"), res["rinetd"].get("udp_rtt")
    peer = "rinetd"
    if rin is None:
        rin, peer = res["socat"].get("udp_rtt"), "socat"
    add(None if urtt is None or rin is None else urtt < rin,
        "UDP round trip added below %s's (%s vs %s us)" % (peer, num(urtt, "%.1f"), num(rin, "%.1f")))
    q, bq = kv.get("dns_qps"), best_peer(res, "dns_qps")
    add(None if q is None or not bq else q >= 1.3 * bq,
        "dnsperf rate through the UDP link at least 1.3 x best peer (%s)" % num(q / bq if q and bq else None))
    held = kv.get("pss_held")
    add(None if held is None else held <= 10, "PSS with %d links held at most 10 MiB (%s MiB)" % (HELD_LINKS, num(held)))
    warm, churn = kv.get("pss_warm"), kv.get("pss_churn")
    if warm is not None and churn is not None and churn_done:
        growth = (churn - warm) * 1024 * 1024 / churn_done
        add(growth < FLAT_BYTES_PER_UNIT, "PSS flat over %d connections (%+.2f MiB, %.2f bytes per connection)"
            % (churn_done, churn - warm, growth))
    else:
        add(None, "PSS flat over %d connections (not measured)" % CHURN)
    warm, after = kv.get("pss_dg_warm"), kv.get("pss_dg")
    if warm is not None and after is not None and dg_done:
        growth = (after - warm) * 1024 * 1024 / dg_done
        add(growth < FLAT_BYTES_PER_UNIT, "PSS flat over %d datagrams (%+.2f MiB, %.2f bytes per datagram)"
            % (dg_done, after - warm, growth))
    else:
        add(None, "PSS flat over %d datagrams (not measured)" % DATAGRAMS)
    return "\n".join(out)


# ------------------------------------------------------------------ profile

PROFILE_REQUESTS = 3000
PROFILE_DNS_SECONDS = 3


def traced(argv, pid, work, out_path):
    """Runs work() with argv (strace or perf, attached to pid) recording."""
    with open(out_path + ".err", "wb") as err:
        rec = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
    with open(os.path.join(bench.TMP, "pids"), "a") as f:
        f.write("%d\n" % rec.pid)
    time.sleep(0.5)
    try:
        work()
    finally:
        os.kill(rec.pid, 2)
        try:
            rec.wait(30)
        except subprocess.TimeoutExpired:
            os.kill(rec.pid, 9)
            rec.wait()


def strace_summary(path, lines=14):
    try:
        with open(path) as f:
            text = f.read().splitlines()
    except OSError:
        return "  (no strace output)"
    return "\n".join("  " + ln for ln in text[:lines + 2])


def per_unit(path, units, unit):
    """Calls per connection, exchange or query, from strace -c's table."""
    if not units:
        return
    try:
        with open(path) as f:
            rows = [ln.split() for ln in f if ln.strip() and not ln.startswith(("%", "-"))]
    except OSError:
        return
    counts = {}
    for r in rows:
        # seconds, usecs/call, calls, [errors,] name; the total row ends with "total"
        if len(r) >= 5 and r[-1] != "total":
            counts[r[-1]] = int(r[3])
    total = sum(counts.values())
    top = sorted(counts.items(), key=lambda kv: -kv[1])[:10]
    plural = "queries" if unit == "query" else unit + "s"
    print("  %d %s traced: %.1f calls per %s (%s)"
          % (units, plural, total / units, unit, ", ".join("%s %.2f" % (k, v / units) for k, v in top)))


def profile(name, pid, port_http, port_echo, dns_at, qfile):
    """With BENCH_LINK_PROFILE set: system calls (strace -c -f) and, with
    perf, where the CPU goes, for one relay under each kind of load."""
    d = os.path.join(bench.TMP, "profile-" + name)
    os.makedirs(d, exist_ok=True)
    url = "http://%s:%d/1k" % (HOST, port_http)
    done = {}

    def ab_work():
        got = run_ab(url, 10, PROFILE_REQUESTS)
        done["units"] = got["complete"] if got else None

    def echo_work():
        done["units"] = RTT_WARMUP + RTT_EXCHANGES if tcp_rtt_us(port_echo, name) is not None else None

    def dns_work():
        got = dnsperf(dns_at[0], dns_at[1], qfile, seconds=PROFILE_DNS_SECONDS)
        done["units"] = got[1] if got else None

    loads = (("ab c=10 %d requests" % PROFILE_REQUESTS, "connection", ab_work),
             ("TCP echo %d exchanges" % (RTT_WARMUP + RTT_EXCHANGES), "exchange", echo_work),
             ("dnsperf %d s" % PROFILE_DNS_SECONDS, "query", dns_work))
    print()
    print("Profile of %s (pid %d)" % (name, pid))
    for i, (label, unit, work) in enumerate(loads):
        out = os.path.join(d, "strace-%d.txt" % i)
        traced(["strace", "-c", "-f", "-o", out, "-p", str(pid)], pid, work, out)
        print("strace -c -f during %s:" % label)
        print(strace_summary(out))
        per_unit(out, done.get("units"), unit)
        if shutil.which("perf"):
            data = os.path.join(d, "perf-%d.data" % i)
            traced(["perf", "record", "-q", "-g", "-p", str(pid), "-o", data], pid, work, data)
            rep = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort",
                                  "dso,symbol", "-g", "none", "--percent-limit", "1.5"],
                                 capture_output=True, text=True, timeout=120).stdout
            print("perf during %s (self time, over 1.5%%):" % label)
            print("\n".join("  " + ln.strip() for ln in rep.splitlines()
                            if ln.strip() and not ln.startswith("#"))[:3000])


# ---------------------------------------------------------------------- main

def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    started = time.monotonic()
    load_before = loadavg()
    if not bench.TMP or not os.path.isdir(bench.TMP):
        print("link_bench.py is run by bench/run.sh (BENCH_TMP not set)", file=sys.stderr)
        return 2
    os.chmod(bench.TMP, 0o755)  # nginx workers read from here
    pick = iter(bench.free_ports(4 + 4 * len(PEERS + ("korvanet",)) + 2))
    far_ports = {"http": next(pick), "echo": next(pick), "udp_echo": next(pick), "dns": next(pick)}
    far = {"http": (HOST, far_ports["http"]), "echo": (HOST, far_ports["echo"]),
           "udp_echo": (FAR_UDP, far_ports["udp_echo"]), "dns": (FAR_UDP, far_ports["dns"])}
    ports = {"direct": far}
    for c in COLUMNS[1:]:
        ports[c] = {fwd: (HOST, next(pick)) for fwd in FORWARDS}
    admin_port, proxy_port = next(pick), next(pick)
    qfile = os.path.join(bench.TMP, "queries.txt")
    with open(qfile, "w") as f:
        f.writelines("q%d.%s A\n" % (i, DNS_ZONE) for i in range(DNS_QUERIES_IN_FILE))

    res = {c: {} for c in COLUMNS}
    servers = {}      # column -> list of Server, the HTTP forward's first
    far_servers = []
    churn_done = dg_done = 0
    try:
        far_servers = [bench.start_origin(far_ports["http"]), bench.start_echo(far_ports["echo"]),
                       start_udp_echo(far_ports["udp_echo"]), start_dnsmasq(far_ports["dns"])]
        if not bench.wait_port(far_servers[0], far_ports["http"]) or \
                not bench.wait_port(far_servers[1], far_ports["echo"]):
            print("nginx or the echo server did not start", file=sys.stderr)
            return 1
        time.sleep(0.3)
        if udp_rtt_us(*far["udp_echo"], "direct") is None or dnsperf(*far["dns"], qfile, seconds=1) is None:
            print("the UDP echo or dnsmasq does not answer: %s" % bench.output_tail("dnsmasq"), file=sys.stderr)
            return 1
        notes.clear()
        own_ports = {c: {fwd: p[1] for fwd, p in ports[c].items()} for c in COLUMNS[1:]}
        starters = {"socat": lambda: start_socat(own_ports["socat"], far),
                    "rinetd": lambda: start_rinetd(own_ports["rinetd"], far),
                    "korvanet": lambda: start_korvanet(own_ports["korvanet"], far, admin_port, proxy_port)}
        for c in COLUMNS[1:]:
            try:
                got = starters[c]()
            except OSError as e:
                notes.append("%s: could not start: %s" % (c, e))
                continue
            if not got:
                continue
            if not bench.wait_port(got[0], own_ports[c]["http"]) or \
                    not bench.wait_port(got[1] if c == "socat" else got[0], own_ports[c]["echo"]):
                notes.append("%s: did not start (%s)" % (c, bench.output_tail(got[0].name, 3)))
                for s in got:
                    bench.stop_server(s)
                continue
            servers[c] = got
            bench.log("%s: pid %s" % (c, " ".join(str(s.pid) for s in got)))
        live = ["direct"] + [c for c in COLUMNS[1:] if c in servers]
        url = {c: "http://%s:%d/" % ports[c]["http"] for c in live}
        # First uses: one request each way, then the idle size.
        for c in live:
            if bench.curl(url[c] + "1k", max_time=5) is None:
                notes.append("%s: the first GET through the TCP link failed" % c)
            if c != "direct":
                udp_rtt_us(ports[c]["udp_echo"][0], ports[c]["udp_echo"][1], c + " (first use)")
                time.sleep(0.2)
                res[c]["pss_idle"] = sum(bench.pss_kib(s.pid) for s in servers[c]) / 1024.0
        for c in live:
            run_ab(url[c] + "1k", 10, 300)
        # Load rows: every column in turn within each round; medians of the rounds.
        samples = {c: {} for c in live}
        cpu = {c: [0, 0] for c in live}
        for rnd in range(ROUNDS):
            bench.log("links round %d of %d" % (rnd + 1, ROUNDS))
            for level in LEVELS:
                for c in live:
                    http = servers[c][0].pid if c in servers else None
                    before = bench.cpu_ticks(http) if http else 0
                    ab = run_ab(url[c] + "1k", level, REQUESTS)
                    if ab is None:
                        notes.append("%s: ab c=%d gave no result" % (c, level))
                        continue
                    if http:
                        cpu[c][0] += bench.cpu_ticks(http) - before
                        cpu[c][1] += ab["complete"]
                    samples[c].setdefault("rps%d" % level, []).append(ab["rps"])
                    samples[c].setdefault("p99_%d" % level, []).append(ab["p99"])
                    bad = ab["failed"] + ab["non2xx"]
                    if ab["complete"] < REQUESTS and not bad:
                        notes.append("%s: some ab runs stopped at their %d s limit before %d requests"
                                     % (c, AB_TIME_LIMIT_S, REQUESTS))
                    elif bad:
                        notes.append("%s c=%d: %d of %d complete, %d failed, %d non-2xx"
                                     % (c, level, ab["complete"], REQUESTS, ab["failed"], ab["non2xx"]))
            for c in live:
                q = dnsperf(ports[c]["dns"][0], ports[c]["dns"][1], qfile)
                if q is None:
                    notes.append("%s: dnsperf gave no result" % c)
                else:
                    samples[c].setdefault("dns_qps", []).append(q[0])
        for _ in range(LARGE_ROUNDS):
            for c in live:
                got = curl_large_mbs(url[c] + "10m")
                if got is None:
                    notes.append("%s: a 10 MiB GET failed" % c)
                else:
                    samples[c].setdefault("large", []).append(got)
        for c in live:
            for key, vals in samples[c].items():
                res[c][key] = max(vals) if key == "large" else statistics.median(vals)
            if cpu[c][1]:
                res[c]["cpu"] = cpu[c][0] * 1e6 / bench.CLK_TCK / cpu[c][1]

        # Round trips, everything pinned to CPU 0 with taskset: client, relay, far end.
        everything = set(range(os.cpu_count() or 1))
        roots = [s.pid for s in far_servers] + [s.pid for c in servers for s in servers[c]]
        pin(roots + [os.getpid()], {0})
        base_tcp = tcp_rtt_us(far["echo"][1], "direct")
        base_udp = udp_rtt_us(*far["udp_echo"], "direct")
        for c in live[1:]:
            got = tcp_rtt_us(ports[c]["echo"][1], c)
            if got is not None and base_tcp is not None:
                res[c]["tcp_rtt"] = got - base_tcp
            got = udp_rtt_us(*ports[c]["udp_echo"], c)
            if got is not None and base_udp is not None:
                res[c]["udp_rtt"] = got - base_udp
        pin(roots + [os.getpid()], everything)
        res["direct"]["tcp_rtt_base"] = base_tcp
        res["direct"]["udp_rtt_base"] = base_udp

        for c in live[1:]:
            # socat runs one process per forward: the echo forward's tree
            # holds the links; the PSS of the other three is added.
            holder = servers[c][1] if c == "socat" else servers[c][0]
            held = pss_with_held_links(holder.pid, ports[c]["echo"][1], c)
            if held is not None:
                held += sum(bench.pss_kib(s.pid) for s in servers[c] if s is not holder) / 1024.0
            res[c]["pss_held"] = held

        if "korvanet" in servers:
            kpid = servers["korvanet"][0].pid
            kurl = url["korvanet"] + "1k"
            bench.log("korvanet: %d connections for the memory check" % CHURN)
            if run_ab(kurl, CHURN_LEVEL, WARM) is not None:
                time.sleep(0.5)
                res["korvanet"]["pss_warm"] = bench.pss_kib(kpid) / 1024.0
                t0 = time.monotonic()
                ab = run_ab(kurl, CHURN_LEVEL, CHURN, CHURN_TIME_LIMIT_S)
                if ab is not None:
                    churn_done = ab["complete"]
                    if churn_done < CHURN:
                        notes.append("connection churn: %d of %d done within %d s"
                                     % (churn_done, CHURN, CHURN_TIME_LIMIT_S))
                    notes.append("connection churn: %d connections in %.0f s" % (churn_done, time.monotonic() - t0))
                    time.sleep(0.5)
                    res["korvanet"]["pss_churn"] = bench.pss_kib(kpid) / 1024.0
            bench.log("korvanet: %d datagrams for the memory check" % DATAGRAMS)
            res["korvanet"]["pss_dg_warm"] = bench.pss_kib(kpid) / 1024.0
            runs = max(1, DATAGRAMS // DNS_QUERIES_IN_FILE)
            q = dnsperf(ports["korvanet"]["dns"][0], ports["korvanet"]["dns"][1], qfile,
                        extra=("-n", str(runs)), seconds=120)
            if q is not None:
                dg_done = q[1]
                time.sleep(0.5)
                res["korvanet"]["pss_dg"] = bench.pss_kib(kpid) / 1024.0
            if servers["korvanet"][0].proc.poll() is not None:
                notes.append("korvanet exited during the run: %s" % bench.output_tail("korvanet-links", 3))
        if os.environ.get("BENCH_LINK_PROFILE"):
            for c in ("korvanet", "rinetd"):
                if c in servers:
                    profile(c, servers[c][0].pid, ports[c]["http"][1], ports[c]["echo"][1], ports[c]["dns"], qfile)
    finally:
        for c in servers:
            for s in servers[c]:
                bench.stop_server(s)
        for s in far_servers:
            bench.stop_server(s)

    print()
    print("Mapped links: close per request ab (%d requests per level, medians of %d rounds), curl 10 MiB"
          " (best of %d), %d echo exchanges pinned to CPU 0, dnsperf -q %d -l %d; %s"
          % (REQUESTS, ROUNDS, LARGE_ROUNDS, RTT_EXCHANGES, DNS_OUTSTANDING, DNS_SECONDS,
             time.strftime("%Y-%m-%d %H:%M")))
    print(render(res))
    print("direct round trips (subtracted above): TCP %s us, UDP %s us"
          % tuple("n/a" if v is None else "%.1f" % v
                  for v in (res["direct"].get("tcp_rtt_base"), res["direct"].get("udp_rtt_base"))))
    print()
    print("Goals for korvanet (mapped links):")
    print(goals(res, churn_done, dg_done))
    if notes:
        print()
        print("Notes:")
        for n in dict.fromkeys(notes):
            print("  - " + n)
    print()
    print("took %.0f s on %d cores; load average before %s, after %s"
          % (time.monotonic() - started, os.cpu_count(), load_before, loadavg()))
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["udp-echo"]:
        udp_echo_main(int(sys.argv[2]))
        sys.exit(0)
    import signal
    import bench  # noqa: E402
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
