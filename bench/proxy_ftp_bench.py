#!/usr/bin/python3
"""Loopback benchmark: ftp:// fetched through Korvanet's proxy port, beside
squid (cache deny all) and beside fetching from the FTP server directly.

Run through bench/run.sh, which runs it in a private network namespace, makes
the scratch directory, passes it in BENCH_TMP and kills every process listed
in BENCH_TMP/pids when it exits.

  10 MiB      curl, vsftpd as the server: direct, through squid, through us.
  1 KiB       in-process clients against pyftpdlib, a new control connection
              per fetch: direct (USER, PASS, TYPE, PASV, RETR, QUIT) against
              one GET ftp:// through us; c=1 and c=10, and our CPU per fetch.
  listing     5,000 names on vsftpd: the raw LIST direct against our page.
  cache hit   a cached 1 KiB ftp:// object against a cached 1 KiB http://
              object (nginx), c=10; the FTP server is replaced by a listener
              that never answers, and counts the connections it was offered.
  leak        mixed fetches (file, 404, PASV refused, server closes after the
              greeting, browser leaves mid-transfer); PSS, descriptors and
              threads of our process sampled when idle.

Every loop has a count and every socket a time-out.
"""
import os
import re
import socket
import statistics
import subprocess
import sys
import threading
import time

import bench
from bench import HOST, log

BIG_BYTES = 10 * 1024 * 1024
SMALL_BYTES = 1024
LIST_ENTRIES = 5000
ROUNDS = int(os.environ.get("BENCH_FTP_ROUNDS", "3"))
FETCHES = int(os.environ.get("BENCH_FTP_FETCHES", "1500"))
WARMUP = 100
SLICES = 6
LIST_FETCHES = int(os.environ.get("BENCH_FTP_LIST_FETCHES", "15"))
HITS = int(os.environ.get("BENCH_FTP_HITS", "5000"))
HIT_ROUNDS = 5
LEAK_FETCHES = int(os.environ.get("BENCH_FTP_LEAK_FETCHES", "10000"))
LEAK_TIME_LIMIT_S = float(os.environ.get("BENCH_FTP_LEAK_S", "120"))
LEAK_SAMPLES = 10
LEAK_CONCURRENCY = 4
LEVELS = (1, 10)
IO_TIMEOUT_S = 10
CURL_MAX_TIME_S = 60
SETTLE_S = 3
CPU_BUDGET_US = 200
PSS_SLACK_KIB = 1024

notes = bench.notes
# vsftpd started by its own user serves the real file system without a
# chroot (its login directory is the tree), so its URLs carry the tree's
# absolute path; pyftpdlib's root is the tree itself.
VS_ROOT = ""


def vs_url(port, path):
    return "ftp://%s:%d%s%s" % (HOST, port, VS_ROOT, path)

PYFTPD = """\
import logging, sys, warnings
warnings.simplefilter("ignore", DeprecationWarning)
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.getLogger("pyftpdlib").setLevel(logging.ERROR)
authorizer = DummyAuthorizer()
authorizer.add_anonymous(sys.argv[2])
handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "banner": "pyftpdlib ready"})
server = FTPServer((sys.argv[1], int(sys.argv[3])), handler)
server.max_cons = 0
server.max_cons_per_ip = 0
server.serve_forever()
"""

VSFTPD = """\
listen=YES
listen_ipv6=NO
listen_address={host}
listen_port={port}
anonymous_enable=YES
anon_root={root}
no_anon_password=YES
local_enable=NO
write_enable=NO
run_as_launching_user=YES
seccomp_sandbox=NO
background=NO
pasv_enable={pasv}
pasv_address={host}
port_enable=YES
connect_from_port_20=NO
xferlog_enable=NO
dirmessage_enable=NO
secure_chroot_dir={d}
ftpd_banner=vsftpd ready
max_clients=0
max_per_ip=0
"""


# ------------------------------------------------------------------- servers

def make_root():
    root = os.path.join(bench.TMP, "ftproot")
    os.makedirs(os.path.join(root, "list5k"), exist_ok=True)
    with open(os.path.join(root, "big"), "wb") as f:
        block = os.urandom(1024 * 1024)
        for _ in range(BIG_BYTES // len(block)):
            f.write(block)
    with open(os.path.join(root, "small"), "wb") as f:
        f.write(bytes(range(256)) * (SMALL_BYTES // 256))
    for i in range(LIST_ENTRIES):
        with open(os.path.join(root, "list5k", "file%05d.txt" % i), "wb") as f:
            f.write(b"x" * (i % 3000))
    return root


def start_vsftpd(name, port, root, pasv=True):
    d = os.path.join(bench.TMP, name)
    os.makedirs(d, exist_ok=True)
    conf = os.path.join(d, "vsftpd.conf")
    bench.write(conf, VSFTPD.format(host=HOST, port=port, root=root, d=d, pasv="YES" if pasv else "NO"))
    return bench.start_server(name, ["/usr/sbin/vsftpd", conf])


def start_pyftpd(port, root):
    script = os.path.join(bench.TMP, "pyftpd.py")
    bench.write(script, PYFTPD)
    return bench.start_server("pyftpdlib", [sys.executable, script, HOST, root, str(port)])


def start_korvanet(name, port, admin_port, cache):
    if not os.access(bench.KORVANET_BIN, os.X_OK):
        notes.append("korvanet: %s not found (run make all)" % bench.KORVANET_BIN)
        return None
    d = os.path.join(bench.TMP, name)
    os.makedirs(d, exist_ok=True)
    reg = os.path.join(d, "registry.reg")
    bench.write(reg, bench.registry_text({"ProxyPort": port, "AdminPort": admin_port, "EnableCache": 1 if cache else 0,
                                          "CacheDir": d + "/cache", "LogAccess": 0}))
    env = dict(bench.CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=d + "/")
    return bench.start_server(name, [bench.KORVANET_BIN], env=env, cwd=d)


class EarlyClose:
    """An FTP server that greets, reads one command and hangs up."""

    def __init__(self, port):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((HOST, port))
        self.sock.listen(128)
        self.sock.settimeout(0.5)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            try:
                conn.settimeout(IO_TIMEOUT_S)
                conn.sendall(b"220 closing soon\r\n")
                conn.recv(512)
            except OSError:
                pass
            conn.close()

    def close(self):
        self.stop.set()
        self.thread.join(5)
        self.sock.close()


def private_netns():
    """Whether loopback is this namespace's only interface."""
    try:
        with open("/proc/net/dev") as f:
            names = [line.split(":")[0].strip() for line in f if ":" in line]
    except OSError:
        return False
    return names == ["lo"]


def widen_port_range():
    """Ten thousands of fetches of three connections each outrun the
    ephemeral range while their TIME_WAITs last; inside our own namespace
    the range may start above the fixed ports (bench.free_ports < 20000)."""
    if not private_netns():
        notes.append("not in a private network namespace: ephemeral port range left alone")
        return
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range", "w") as f:
            f.write("20001 65000")
    except OSError as e:
        notes.append("ip_local_port_range: %s" % e)


# ------------------------------------------------------------------ clients

def read_reply(f):
    line = f.readline(4096)
    if len(line) < 4:
        raise OSError("control connection closed")
    code = line[:3]
    if line[3:4] == b"-":
        for _ in range(1000):
            line = f.readline(4096)
            if not line:
                raise OSError("control connection closed")
            if line[:3] == code and line[3:4] == b" ":
                break
    return int(code)


def expect(f, want):
    code = read_reply(f)
    if code // 100 != want:
        raise OSError("FTP reply %d" % code)
    return code


def ftp_direct(port, verb, path, type_="I", before=()):
    """One fresh FTP session: login, the commands before (their replies
    read, whatever they say), TYPE, PASV, verb path, QUIT, one command at a
    time as ftplib and curl send them. Returns the data connection's bytes."""
    s = socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S)
    try:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        f = s.makefile("rb")
        expect(f, 2)
        s.sendall(b"USER anonymous\r\n")
        if read_reply(f) == 331:
            s.sendall(b"PASS bench@\r\n")
            expect(f, 2)
        for command in before:
            s.sendall(command.encode() + b"\r\n")
            read_reply(f)
        s.sendall(b"TYPE %s\r\n" % type_.encode())
        expect(f, 2)
        s.sendall(b"PASV\r\n")
        line = f.readline(4096)
        m = re.search(rb"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)", line)
        if not line.startswith(b"227") or not m:
            raise OSError("PASV: %r" % line)
        d = socket.create_connection((HOST, int(m.group(5)) * 256 + int(m.group(6))), timeout=IO_TIMEOUT_S)
        try:
            s.sendall(b"%s %s\r\n" % (verb.encode(), path.encode()))
            expect(f, 1)
            parts = []
            while True:
                chunk = d.recv(262144)
                if not chunk:
                    break
                parts.append(chunk)
        finally:
            d.close()
        expect(f, 2)
        s.sendall(b"QUIT\r\n")
        return b"".join(parts)
    finally:
        s.close()


def http_get(proxy_port, url, leave_after=0):
    """One GET through the proxy, read until it closes: (status, body). With
    leave_after, the client hangs up once that many body bytes are in."""
    s = socket.create_connection((HOST, proxy_port), timeout=IO_TIMEOUT_S)
    try:
        s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % url.encode())
        parts, got = [], 0
        while True:
            chunk = s.recv(262144)
            if not chunk:
                break
            parts.append(chunk)
            got += len(chunk)
            if leave_after and got > leave_after:
                return 0, b""
    finally:
        s.close()
    data = b"".join(parts)
    head, sep, body = data.partition(b"\r\n\r\n")
    status = head.split(b"\r\n", 1)[0].split()
    if not sep or len(status) < 2:
        raise OSError("no HTTP head")
    return int(status[1]), body


MAX_ERRORS = 20


def load(fetch, count, concurrency):
    """count calls of fetch() over concurrency threads, or fewer once
    MAX_ERRORS have failed; (seconds, errors, first error)."""
    lock = threading.Lock()
    state = {"left": count, "errors": 0, "first": None}

    def worker():
        while True:
            with lock:
                if state["left"] <= 0 or state["errors"] >= MAX_ERRORS:
                    return
                state["left"] -= 1
            try:
                fetch()
            except (OSError, ValueError) as e:
                with lock:
                    state["errors"] += 1
                    state["first"] = state["first"] or repr(e)

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(concurrency)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join(IO_TIMEOUT_S * (MAX_ERRORS + count))
    return time.perf_counter() - t0, state["errors"], state["first"]


def checked(fetch, want):
    def run():
        got = fetch()
        if got != want:
            raise ValueError("wrong answer (%d bytes)" % len(got))
    return run


def curl_mbs(url, proxy_port=None):
    argv = ["curl", "-s", "-o", "/dev/null", "--max-time", str(CURL_MAX_TIME_S),
            "-w", "%{size_download} %{speed_download}"]
    if proxy_port:
        argv += ["-x", "http://%s:%d" % (HOST, proxy_port)]
    argv.append(url)
    try:
        r = subprocess.run(argv, capture_output=True, text=True, env=bench.CLEAN_ENV, timeout=CURL_MAX_TIME_S + 10)
    except subprocess.TimeoutExpired:
        return None
    parts = r.stdout.split()
    if r.returncode != 0 or len(parts) != 2 or int(parts[0]) != BIG_BYTES:
        notes.append("10 MiB via %s: curl exit %d, %s" % (proxy_port or "direct", r.returncode, r.stdout.strip()))
        return None
    return float(parts[1]) / 1e6


def idle_state(pid, fds_floor=None):
    """(PSS KiB, descriptors, threads) once the process has settled."""
    deadline = time.monotonic() + SETTLE_S
    while True:
        try:
            fds = len(os.listdir("/proc/%d/fd" % pid))
            with open("/proc/%d/status" % pid) as f:
                threads = int(re.search(r"(?m)^Threads:\s+(\d+)", f.read()).group(1))
        except (OSError, AttributeError):
            return None
        if fds_floor is None or fds <= fds_floor or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    return bench.pss_kib(pid), fds, threads


# ------------------------------------------------------------- measurements

def measure_big(res, vs_port, squid_port, korv_port):
    url = vs_url(vs_port, "/big")
    cols = (("direct", None), ("squid", squid_port), ("korvanet", korv_port))
    # curl walks a path from its login directory; %2F makes it absolute.
    direct_url = vs_url(vs_port, "/big").replace(VS_ROOT, "/%2F" + VS_ROOT[1:], 1)
    for r in range(ROUNDS):
        log("10 MiB round %d of %d" % (r + 1, ROUNDS))
        for col, port in cols:
            if port is False:
                continue
            v = curl_mbs(url if port else direct_url, port)
            if v is not None:
                res.setdefault(col, {})["big"] = max(res.get(col, {}).get("big", 0), v)


def measure_small(res, py_port, korv, korv_port):
    want = bytes(range(256)) * (SMALL_BYTES // 256)
    direct = checked(lambda: ftp_direct(py_port, "RETR", "small"), want)
    # The same conversation as ours: pyftpdlib refuses SIZE before TYPE I,
    # so we also probe with CWD before the RETR.
    alike = checked(lambda: ftp_direct(py_port, "RETR", "/small", before=("SIZE /small", "CWD /small")), want)
    url = "ftp://%s:%d/small" % (HOST, py_port)

    def via():
        status, body = http_get(korv_port, url)
        if status != 200 or body != want:
            raise ValueError("status %d, %d bytes" % (status, len(body)))

    for fn in (direct, alike, via):
        load(fn, WARMUP, 1)
    per_slice = FETCHES // SLICES
    for level in LEVELS:
        log("1 KiB c=%d" % level)
        # Slices in turns, so load from elsewhere falls on all alike.
        for i in range(SLICES):
            cols = (("direct", direct), ("direct*", alike), ("korvanet", via))
            for col, fn in (cols[::-1] if i % 2 else cols):
                t0 = bench.cpu_ticks(korv.pid)
                secs, errors, first = load(fn, per_slice, level)
                ticks = bench.cpu_ticks(korv.pid) - t0
                if errors:
                    notes.append("1 KiB %s c=%d: %d errors, first %s" % (col, level, errors, first))
                r = res.setdefault(col, {})
                r["small%d-s" % level] = r.get("small%d-s" % level, 0) + secs
                if col == "korvanet":
                    r["cpu%d" % level] = r.get("cpu%d" % level, 0) + ticks
    for col in ("direct", "direct*", "korvanet"):
        r = res[col]
        for level in LEVELS:
            r["small%d" % level] = per_slice * SLICES / r.pop("small%d-s" % level)
    k = res["korvanet"]
    for level in LEVELS:
        k["cpu%d" % level] = k["cpu%d" % level] / bench.CLK_TCK / (per_slice * SLICES) * 1e6


def measure_listing(res, vs_port, korv_port):
    raw = ftp_direct(vs_port, "LIST", VS_ROOT + "/list5k", "A")
    lines = raw.count(b"\n")
    if lines != LIST_ENTRIES:
        notes.append("vsftpd listed %d lines, not %d" % (lines, LIST_ENTRIES))
    url = vs_url(vs_port, "/list5k")
    status, page = http_get(korv_port, url)
    shown = page.count(b'<A HREF="%s/list5k/' % VS_ROOT.encode())
    if status != 200 or shown != LIST_ENTRIES:
        notes.append("listing page: status %d, %d entries" % (status, shown))
    times = {"direct": [], "korvanet": []}
    for _ in range(LIST_FETCHES):
        for col, fn in (("direct", lambda: ftp_direct(vs_port, "LIST", VS_ROOT + "/list5k", "A")),
                        ("korvanet", lambda: http_get(korv_port, url))):
            t0 = time.perf_counter()
            fn()
            times[col].append(time.perf_counter() - t0)
    for col, ts in times.items():
        res.setdefault(col, {})["list"] = statistics.median(ts) * 1000
    res["korvanet"]["list-bytes"] = len(page)
    res["direct"]["list-bytes"] = len(raw)


def measure_hits(res, cache, cache_port, hit_vs, hit_vs_port, origin_port):
    want = bytes(range(256)) * (SMALL_BYTES // 256)
    ftp_url = vs_url(hit_vs_port, "/small")
    http_url = "http://%s:%d/1k" % (HOST, origin_port)
    for _ in range(2):
        http_get(cache_port, ftp_url)
        http_get(cache_port, http_url)
    bench.stop_server(hit_vs)
    # A listener that never accepts: the kernel completes any connection the
    # proxy tries, so a miss would hang its fetch and show in the count.
    trap = socket.socket()
    trap.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    trap.bind((HOST, hit_vs_port))
    trap.listen(128)
    try:
        def fetch(url, body):
            def run():
                status, got = http_get(cache_port, url)
                if status != 200 or got != body:
                    raise ValueError("status %d, %d bytes" % (status, len(got)))
            return run

        fns = {"ftp": fetch(ftp_url, want), "http": fetch(http_url, b"k" * SMALL_BYTES)}
        for fn in fns.values():
            load(fn, WARMUP, bench.HIT_LEVEL)
        spent = {}
        log("cache hits")
        # Slices in turns, as for the 1 KiB misses, the order swapped each time.
        for i in range(HIT_ROUNDS):
            for kind, fn in sorted(fns.items(), reverse=bool(i % 2)):
                secs, errors, first = load(fn, HITS // HIT_ROUNDS, bench.HIT_LEVEL)
                if errors:
                    notes.append("cache hit %s: %d errors, first %s" % (kind, errors, first))
                spent[kind] = spent.get(kind, 0) + secs
        best = {kind: HITS // HIT_ROUNDS * HIT_ROUNDS / secs for kind, secs in spent.items()}
        trap.setblocking(False)
        contacted = 0
        for _ in range(1000):
            try:
                trap.accept()[0].close()
                contacted += 1
            except BlockingIOError:
                break
    finally:
        trap.close()
    res["hits"] = dict(best, contacted=contacted)


def measure_leak(res, korv, korv_port, vs_port, nopasv_port, early_port, py_port, fresh):
    want = bytes(range(256)) * (SMALL_BYTES // 256)
    # Ten kinds in turn: six good files (from vsftpd and pyftpdlib), a 404,
    # a PASV refused (answered through PORT), a server that hangs up after
    # the greeting, a browser that leaves after 64 KiB of the 10 MiB file.
    kinds = [("file", vs_url(vs_port, "/small"), 200)] * 3 + \
            [("file", "ftp://%s:%d/small" % (HOST, py_port), 200)] * 3 + [
        ("404", vs_url(vs_port, "/no/such/file"), 404),
        ("no-pasv", vs_url(nopasv_port, "/small"), 200),
        ("early-close", "ftp://%s:%d/small" % (HOST, early_port), None),
        ("leave", vs_url(vs_port, "/big"), 0),
    ]
    counter = {"n": 0, "bad": {}}
    lock = threading.Lock()

    def fetch():
        with lock:
            n = counter["n"]
            counter["n"] += 1
        kind, url, status = kinds[n % len(kinds)]
        got, body = http_get(korv_port, url, leave_after=65536 if status == 0 else 0)
        ok = (got == status and (status != 200 or body == want)) if status is not None else got >= 500
        if not ok:
            with lock:
                counter["bad"][kind] = counter["bad"].get(kind, 0) + 1

    load(fetch, 200, LEAK_CONCURRENCY)
    # Idle is as many descriptors as just after the start (or SETTLE_S).
    floor = fresh[1] if fresh else None
    idle = idle_state(korv.pid, floor)
    samples = [(0,) + idle] if idle else []
    step = max(1, LEAK_FETCHES // LEAK_SAMPLES)
    started = time.monotonic()
    done = 0
    while done < LEAK_FETCHES and time.monotonic() - started < LEAK_TIME_LIMIT_S:
        secs, errors, first = load(fetch, step, LEAK_CONCURRENCY)
        done += step
        if errors:
            notes.append("leak: %d client errors, first %s" % (errors, first))
        st = idle_state(korv.pid, floor)
        if st:
            samples.append((done,) + st)
        log("leak: %d fetches" % done)
    if done < LEAK_FETCHES:
        notes.append("leak: stopped after %d fetches at the %.0f s limit" % (done, LEAK_TIME_LIMIT_S))
    if counter["bad"]:
        notes.append("leak: unexpected answers %s" % counter["bad"])
    res["leak"] = {"done": done, "samples": samples, "secs": time.monotonic() - started, "fresh": fresh}


# ------------------------------------------------------------------- report

def cell(v, fmt):
    return "n/a" if v is None else fmt % v


def ratio(a, b):
    return a / b if a and b else None


def render(res):
    cols = ("direct", "direct*", "squid", "korvanet")
    rows = [("RETR 10 MiB (vsftpd, curl), MB/s", "big", "%.0f"),
            ("1 KiB, new session, c=1, fetches/s", "small1", "%.0f"),
            ("1 KiB, new session, c=10, fetches/s", "small10", "%.0f"),
            ("our CPU per 1 KiB fetch c=1, us", "cpu1", "%.0f"),
            ("our CPU per 1 KiB fetch c=10, us", "cpu10", "%.0f"),
            ("5,000-entry listing, median ms", "list", "%.1f"),
            ("5,000-entry listing, bytes", "list-bytes", "%d")]
    width = max(len(r[0]) for r in rows) + 2
    out = ["%-*s" % (width, "") + "".join("%12s" % c for c in cols)]
    for label, key, fmt in rows:
        out.append("%-*s" % (width, label) + "".join("%12s" % cell(res.get(c, {}).get(key), fmt) for c in cols))
    h = res.get("hits")
    if h:
        out.append("")
        out.append("cache hits c=%d (korvanet, cache on), req/s: ftp:// %.0f, http:// %.0f;"
                   " connections offered to the FTP port: %d" % (bench.HIT_LEVEL, h.get("ftp", 0), h.get("http", 0),
                                                                 h["contacted"]))
    lk = res.get("leak")
    if lk:
        out.append("")
        out.append("leak run: %d mixed fetches in %.0f s; idle samples (fetches: PSS KiB, fds, threads):"
                   % (lk["done"], lk["secs"]))
        out.append("  " + "  ".join("%d: %d/%d/%d" % s for s in lk["samples"]))
        if lk.get("fresh"):
            out.append("  just after the start: %d/%d/%d" % lk["fresh"])
    return "\n".join(out)


def goals(res):
    k, d, s = res.get("korvanet", {}), res.get("direct", {}), res.get("squid", {})
    lines = []

    def line(text, value, ok):
        lines.append("  %-62s %-16s %s" % (text, value, "n/a" if ok is None else ("met" if ok else "MISSED")))

    r = ratio(k.get("big"), d.get("big"))
    line("10 MiB: at least 0.5 of direct", cell(r, "%.2f"), None if r is None else r >= 0.5)
    r = ratio(k.get("big"), s.get("big"))
    line("10 MiB: at least 2x squid", cell(r, "%.2f x"), None if r is None else r >= 2.0)
    for level, want in ((1, 0.8), (10, 0.9)):
        r = ratio(k.get("small%d" % level), d.get("small%d" % level))
        line("1 KiB new session c=%d: at least %.1f of direct" % (level, want), cell(r, "%.2f"),
             None if r is None else r >= want)
    for level in LEVELS:
        c = k.get("cpu%d" % level)
        line("1 KiB c=%d: at most %d us of our CPU per fetch" % (level, CPU_BUDGET_US), cell(c, "%.0f us"),
             None if c is None else c <= CPU_BUDGET_US)
    r = ratio(k.get("list"), d.get("list"))
    line("5,000-entry page within 1.5x the raw LIST", cell(r, "%.2f x"), None if r is None else r <= 1.5)
    h = res.get("hits")
    r = ratio(h and h.get("ftp"), h and h.get("http"))
    line("cached ftp:// at the http:// hit rate (>= 0.9 of it)", cell(r, "%.2f"), None if r is None else r >= 0.9)
    line("cached ftp:// served without contacting the FTP server", cell(h and h["contacted"], "%d conns"),
         None if not h else h["contacted"] == 0)
    lk = res.get("leak")
    if lk and len(lk["samples"]) >= 3:
        # From the first sample after a full step: pools and caches are warm.
        first, last = lk["samples"][1], lk["samples"][-1]
        line("%d fetches: PSS does not grow (<= %d KiB)" % (lk["done"], PSS_SLACK_KIB),
             "%+d KiB" % (last[1] - first[1]), last[1] - first[1] <= PSS_SLACK_KIB)
        line("%d fetches: descriptors do not grow" % lk["done"], "%d -> %d" % (first[2], last[2]),
             last[2] <= first[2])
        line("%d fetches: threads do not grow" % lk["done"], "%d -> %d" % (first[3], last[3]), last[3] <= first[3])
    else:
        line("leak run", "n/a", None)
    return "\n".join(lines)


def main():
    if not bench.TMP:
        print("run through bench/run.sh", file=sys.stderr)
        return 2
    if not os.access("/usr/sbin/vsftpd", os.X_OK):
        print("vsftpd is required (scripts/install-deps.sh bench)", file=sys.stderr)
        return 1
    global VS_ROOT
    started = time.monotonic()
    os.chmod(bench.TMP, 0o755)  # nginx workers read from here
    widen_port_range()
    (vs_port, nopasv_port, hit_vs_port, early_port, py_port, origin_port, squid_port,
     korv_port, korv_admin, cache_port, cache_admin) = bench.free_ports(11)
    res = {}
    servers = []
    early = None
    try:
        log("making the FTP tree")
        root = make_root()
        VS_ROOT = root
        for name, port, pasv in (("vsftpd", vs_port, True), ("vsftpd-nopasv", nopasv_port, False),
                                 ("vsftpd-hits", hit_vs_port, True)):
            v = start_vsftpd(name, port, root, pasv)
            servers.append(v)
            if not bench.wait_port(v, port):
                print("%s did not start: %s" % (name, bench.output_tail(name)), file=sys.stderr)
                return 1
            if name == "vsftpd-hits":
                hit_vs = v
        py = start_pyftpd(py_port, root)
        servers.append(py)
        if not bench.wait_port(py, py_port):
            print("pyftpdlib did not start: " + bench.output_tail("pyftpdlib"), file=sys.stderr)
            return 1
        early = EarlyClose(early_port)
        origin = bench.start_origin(origin_port)
        servers.append(origin)
        squid = bench.start_squid(squid_port)
        servers.append(squid)
        korv = start_korvanet("korvanet", korv_port, korv_admin, cache=False)
        cache = start_korvanet("korvanet-cache", cache_port, cache_admin, cache=True)
        servers += [s for s in (korv, cache) if s]
        if not (korv and bench.wait_port(korv, korv_port) and cache and bench.wait_port(cache, cache_port)):
            print("korvanet did not start: " + bench.output_tail("korvanet"), file=sys.stderr)
            return 1
        bench.wait_port(origin, origin_port)
        if not bench.wait_port(squid, squid_port):
            notes.append("squid did not start: " + bench.output_tail("squid"))
            squid_port = False

        fresh = idle_state(korv.pid)
        measure_big(res, vs_port, squid_port, korv_port)
        measure_small(res, py_port, korv, korv_port)
        log("listing")
        measure_listing(res, vs_port, korv_port)
        measure_hits(res, cache, cache_port, hit_vs, hit_vs_port, origin_port)
        measure_leak(res, korv, korv_port, vs_port, nopasv_port, early_port, py_port, fresh)
    finally:
        if early:
            early.close()
        for s in servers:
            bench.stop_server(s)
    print()
    print("ftp:// through the proxy: 10 MiB by curl from vsftpd (best of %d); 1 KiB sessions from pyftpdlib"
          " by in-process clients (%d fetches a level); listing from vsftpd (median of %d)"
          % (ROUNDS, FETCHES // SLICES * SLICES, LIST_FETCHES))
    print("direct* speaks our conversation: SIZE and CWD before TYPE I, PASV, RETR (pyftpdlib refuses SIZE"
          " in ASCII mode)")
    print(render(res))
    print()
    print("Goals for korvanet (ftp:// through the proxy):")
    print(goals(res))
    if notes:
        print()
        print("Notes:")
        for n in dict.fromkeys(notes):
            print("  - " + n)
    print()
    try:
        load_avg = " ".join(open("/proc/loadavg").read().split()[:3])
    except OSError:
        load_avg = "?"
    print("took %.0f s on %d cores, load average %s" % (time.monotonic() - started, os.cpu_count(), load_avg))
    return 0


if __name__ == "__main__":
    import signal
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
