#!/usr/bin/python3
"""Loopback benchmark: Korvanet's proxy port against tinyproxy and squid.

Run through bench/run.sh, which makes the scratch directory, passes it in
BENCH_TMP and kills every process listed in BENCH_TMP/pids when it exits.

Everything talks to 127.0.0.1 only. Every server runs from its own config in
the scratch directory, in the foreground, in its own session (so its process
group id is its pid and the whole tree can be stopped by that id). Every
measurement has a time limit; a proxy that does not start or does not pass a
first request shows "n/a" and the run goes on.
"""
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import garbage_bench

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HERE = os.path.dirname(os.path.abspath(__file__))

HOST = "127.0.0.1"
SMALL_BYTES = 1024
LARGE_BYTES = 10 * 1024 * 1024
LEVELS = (1, 10, 50)
CPU_LEVEL = 10
# Korvanet's req/s as a share of going to the origin directly, per level.
DIRECT_SHARES = ((1, 0.60), (10, 0.55), (50, 0.50))
IDLE_SECONDS = 10
PSS_LEVEL = 50
REQUESTS_PER_LEVEL = int(os.environ.get("BENCH_REQUESTS", "5000"))
WARMUP_REQUESTS = 300
AB_TIME_LIMIT_S = 30          # ab stops by itself after this long
AB_KILL_S = AB_TIME_LIMIT_S + 15
AB_SOCKET_TIMEOUT_S = 10
CURL_MAX_TIME_S = 20
FIRST_REQUEST_MAX_S = 5
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "5"))
RTT_EXCHANGES = 2000
RTT_WARMUP = 200
RTT_PAYLOAD = 64
RTT_IO_TIMEOUT_S = 5
MAX_HEADER_BYTES = 8192
START_TIMEOUT_S = 10
PORT_LOW, PORT_HIGH = 10000, 20000   # Korvanet takes ports 1-20000
PORT_PICK_TRIES = 500
STOP_GRACE_S = 3
PSS_SAMPLE_INTERVAL_S = 0.05
CLK_TCK = os.sysconf("SC_CLK_TCK")

PEERS = ("tinyproxy", "squid")
COLUMNS = ("direct",) + PEERS + ("korvanet",)
# Cache hits: each proxy with its cache on, measured after one priming request.
CACHE_PEER = "squid-cache"
CACHE_COLUMNS = (CACHE_PEER, "korvanet-cache")
HIT_LEVEL = 10
GARBAGE_OBJECTS = 20000

TMP = os.environ.get("BENCH_TMP", "")
KORVANET_BIN = os.environ.get("KORVANET_BIN", os.path.join(ROOT, "build", "korvanet"))

# Proxies must not pick up a proxy from the caller's environment.
CLEAN_ENV = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
# A service manager's socket would make Korvanet a service that prints nothing.
CLEAN_ENV.pop("NOTIFY_SOCKET", None)
CLEAN_ENV["LC_ALL"] = "C"

notes = []


def log(msg):
    print("[bench] " + msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- processes

class Server:
    def __init__(self, name, proc):
        self.name = name
        self.proc = proc
        self.pid = proc.pid


def start_server(name, argv, env=None, cwd=None):
    out = open(os.path.join(TMP, name + ".out"), "wb")
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                            env=env or CLEAN_ENV, cwd=cwd or TMP, start_new_session=True)
    out.close()
    with open(os.path.join(TMP, "pids"), "a") as f:
        f.write("%d\n" % proc.pid)
    return Server(name, proc)


def stop_server(server):
    if server is None or server.proc.poll() is not None:
        return
    for sig, wait_s in ((signal.SIGTERM, STOP_GRACE_S), (signal.SIGKILL, STOP_GRACE_S)):
        try:
            os.killpg(server.pid, sig)
        except ProcessLookupError:
            return
        try:
            server.proc.wait(wait_s)
            return
        except subprocess.TimeoutExpired:
            continue


def output_tail(name, lines=5):
    try:
        with open(os.path.join(TMP, name + ".out"), "rb") as f:
            text = f.read()[-2000:].decode("utf-8", "replace")
    except OSError:
        return ""
    return " | ".join(text.strip().splitlines()[-lines:])


def free_ports(count):
    """count distinct free ports, below Korvanet's highest accepted port and
    below the kernel's ephemeral range, so no client socket can take one."""
    rng = random.Random()
    socks, ports = [], []
    try:
        for _ in range(PORT_PICK_TRIES):
            if len(ports) == count:
                break
            port = rng.randrange(PORT_LOW, PORT_HIGH)
            s = socket.socket()
            try:
                s.bind((HOST, port))
            except OSError:
                s.close()
                continue
            socks.append(s)
            ports.append(port)
    finally:
        for s in socks:
            s.close()
    if len(ports) < count:
        raise RuntimeError("no free ports between %d and %d" % (PORT_LOW, PORT_HIGH))
    return ports


def wait_port(server, port, limit_s=START_TIMEOUT_S, step_s=0.05):
    """Whether the server accepts on port within limit_s (False once it exited)."""
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        if server.proc.poll() is not None:
            return False
        try:
            with socket.create_connection((HOST, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(step_s)
    return False


def process_tree(root):
    """The pid root and all its descendants, from /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        rest = stat[stat.rfind(")") + 2:].split()
        children.setdefault(int(rest[1]), []).append(int(entry))
    tree, todo = [], [root]
    while todo and len(tree) < 10000:
        pid = todo.pop()
        tree.append(pid)
        todo.extend(children.get(pid, ()))
    return tree


def cpu_ticks(root):
    """utime+stime of the tree, plus the children it has already reaped."""
    total = 0
    for pid in process_tree(root):
        try:
            with open("/proc/%d/stat" % pid) as f:
                stat = f.read()
        except OSError:
            continue
        rest = stat[stat.rfind(")") + 2:].split()
        total += sum(int(x) for x in rest[11:15])
    return total


def pss_kib(root):
    total = 0
    for pid in process_tree(root):
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            continue
    return total


class PssSampler:
    def __init__(self, root):
        self.root = root
        self.peak = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            self.peak = max(self.peak, pss_kib(self.root))
            self.stop.wait(PSS_SAMPLE_INTERVAL_S)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(5)
        self.peak = max(self.peak, pss_kib(self.root))


# ------------------------------------------------------------------- servers

def write(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


REGISTRY_KEY = "HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet"


def registry_text(values, lists=None):
    """A registry file for one server: values (numbers as dwords, texts
    quoted) in the settings key, then each list {name: records} in its own
    subkey, numbered from 1."""
    def quoted(text):
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'
    lines = ["Windows Registry Editor Version 5.00", "", f"[{REGISTRY_KEY}]"]
    for name, value in values.items():
        lines.append(f'"{name}"=dword:{value:08x}' if isinstance(value, int) else f'"{name}"={quoted(value)}')
    for sub, records in (lists or {}).items():
        lines += ["", f"[{REGISTRY_KEY}\\{sub}]"] + [f'"{i}"={quoted(r)}' for i, r in enumerate(records, 1)]
    return "\n".join(lines) + "\n"


def own_dir(name, user):
    path = os.path.join(TMP, name)
    os.makedirs(path, exist_ok=True)
    if os.geteuid() == 0:
        try:
            import pwd
            pw = pwd.getpwnam(user)
            os.chown(path, pw.pw_uid, pw.pw_gid)
        except (KeyError, OSError):
            os.chmod(path, 0o777)
    return path


def start_origin(port):
    www = os.path.join(TMP, "www")
    os.makedirs(www, exist_ok=True)
    with open(os.path.join(www, "1k"), "wb") as f:
        f.write(b"k" * SMALL_BYTES)
    block = bytes(range(256)) * 4096
    with open(os.path.join(www, "10m"), "wb") as f:
        for _ in range(LARGE_BYTES // len(block)):
            f.write(block)
    d = os.path.join(TMP, "nginx")
    os.makedirs(d, exist_ok=True)
    conf = os.path.join(d, "nginx.conf")
    write(conf, """\
worker_processes 1;
daemon off;
pid {d}/nginx.pid;
error_log {d}/error.log warn;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    sendfile on;
    keepalive_timeout 30;
    default_type application/octet-stream;
    client_body_temp_path {d}/body;
    proxy_temp_path {d}/proxy;
    server {{
        listen {host}:{port} backlog=4096;
        root {www};
    }}
}}
""".format(d=d, host=HOST, port=port, www=www))
    return start_server("nginx", ["nginx", "-p", d + "/", "-e", d + "/error.log", "-c", conf])


def start_echo(port, idle_s=None):
    extra = [str(idle_s)] if idle_s is not None else []
    return start_server("echo", [sys.executable, os.path.join(HERE, "echo_server.py"), str(port)] + extra)


def start_tinyproxy(port, connect_ports):
    d = own_dir("tinyproxy", "nobody")
    conf = os.path.join(d, "tinyproxy.conf")
    write(conf, """\
User nobody
Group nogroup
Port {port}
Listen {host}
Timeout 60
MaxClients 200
Allow {host}
LogFile "{d}/tinyproxy.log"
LogLevel Critical
PidFile "{d}/tinyproxy.pid"
DisableViaHeader Yes
{connect}
""".format(port=port, host=HOST, d=d,
           connect="\n".join("ConnectPort %d" % p for p in connect_ports)))
    return start_server("tinyproxy", ["tinyproxy", "-d", "-c", conf])


# Memory cache only; objects stay fresh for an hour whatever their
# Last-Modified says, so every request after the first is a hit.
SQUID_CACHE_ON = """\
cache_mem 64 MB
maximum_object_size_in_memory 512 KB
refresh_pattern . 60 100% 4320 override-lastmod override-expire
"""


def start_squid(port, name="squid", cache=False):
    d = own_dir(name, "proxy")
    conf = os.path.join(d, "squid.conf")
    write(conf, """\
http_port {host}:{port}
cache_effective_user proxy
pid_filename {d}/squid.pid
cache_log {d}/cache.log
coredump_dir {d}
access_log none
logfile_rotate 0
netdb_filename none
{cache}acl bench_clients src {host}/32
http_access allow bench_clients
http_access deny all
icp_port 0
htcp_port 0
pinger_enable off
dns_nameservers {host}
shutdown_lifetime 1 seconds
""".format(port=port, host=HOST, d=d, cache=SQUID_CACHE_ON if cache else "cache deny all\n"))
    return start_server(name, ["squid", "-N", "-f", conf])


def own_scratch(prefix):
    """A scratch directory of its own for a script run outside run.sh. A
    SIGTERM then ends the script through its finally blocks, so the servers
    it started are stopped with it."""
    global TMP
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    TMP = tempfile.mkdtemp(prefix=prefix)
    os.chmod(TMP, 0o755)
    return TMP


def start_korvanet_at_home(binary, registry_of, argv_prefix=()):
    """binary with a home of its own in TMP/korvanet, its registry file the
    text registry_of(home) gives; (server, home)."""
    home = os.path.join(TMP, "korvanet")
    os.makedirs(home)
    reg = os.path.join(home, "registry.reg")
    write(reg, registry_of(home))
    env = dict(CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=home + "/")
    return start_server("korvanet", [*argv_prefix, binary], env=env), home


def start_korvanet(port, admin_port, name="korvanet", cache=False):
    if not os.access(KORVANET_BIN, os.X_OK):
        notes.append("korvanet: %s not found (run make all)" % KORVANET_BIN)
        return None
    d = os.path.join(TMP, name)
    os.makedirs(d, exist_ok=True)
    reg = os.path.join(d, "registry.reg")
    write(reg, """\
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet]
"ProxyPort"=dword:{port:08x}
"AdminPort"=dword:{admin:08x}
"EnableCache"=dword:{cache:08x}
"CacheDir"="{d}/cache"
"LogAccess"=dword:00000000
""".format(port=port, admin=admin_port, cache=1 if cache else 0, d=d))
    env = dict(CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=d + "/")
    return start_server(name, [KORVANET_BIN], env=env, cwd=d)


def korvanet_hit_count(name):
    """The Hit counter Korvanet saved in its registry at its stop, or None."""
    try:
        with open(os.path.join(TMP, name, "registry.reg")) as f:
            text = f.read()
    except OSError:
        return None
    m = re.search(r'(?m)^\[[^\]]*\\Status\]$(?:\n"[^\n]*)*?\n"Hit"=dword:([0-9a-f]{8})', text)
    return int(m.group(1), 16) if m else None


def squid_says_hit(port, url):
    """Whether squid answers url from its cache (its X-Cache header)."""
    argv = ["curl", "-s", "-o", "/dev/null", "-D", "-", "--max-time", str(FIRST_REQUEST_MAX_S),
            "-x", "http://%s:%d" % (HOST, port), url]
    try:
        r = subprocess.run(argv, capture_output=True, text=True, env=CLEAN_ENV, timeout=FIRST_REQUEST_MAX_S + 5)
    except subprocess.TimeoutExpired:
        return False
    return re.search(r"(?im)^X-Cache: HIT", r.stdout) is not None


# ------------------------------------------------------------- measurements

def curl(url, proxy_port=None, tunnel=False, max_time=CURL_MAX_TIME_S, http10=False):
    """(bytes per second, bytes received) of one GET, or None on failure."""
    argv = ["curl", "-s", "-o", "/dev/null", "--max-time", str(max_time),
            "-w", "%{http_code} %{size_download} %{speed_download}"]
    if http10:
        argv.append("-0")
    if proxy_port is not None:
        argv += ["-x", "http://%s:%d" % (HOST, proxy_port)]
        if tunnel:
            argv.append("-p")
    argv.append(url)
    try:
        r = subprocess.run(argv, capture_output=True, text=True, env=CLEAN_ENV,
                           timeout=max_time + 5)
    except subprocess.TimeoutExpired:
        return None
    parts = r.stdout.split()
    if r.returncode != 0 or len(parts) != 3 or parts[0] != "200":
        return None
    return float(parts[2]), int(parts[1])


def run_ab(url, concurrency, requests, proxy_port=None, headers=()):
    csv = os.path.join(TMP, "ab.csv")
    if os.path.exists(csv):
        os.unlink(csv)
    # -t before -n: ab keeps the time limit and the request count from -n.
    argv = ["ab", "-q", "-r", "-s", str(AB_SOCKET_TIMEOUT_S), "-t", str(AB_TIME_LIMIT_S),
            "-n", str(requests), "-c", str(concurrency), "-e", csv]
    if proxy_port is not None:
        argv += ["-X", "%s:%d" % (HOST, proxy_port)]
    for h in headers:
        argv += ["-H", h]
    argv.append(url)
    try:
        r = subprocess.run(argv, capture_output=True, text=True, env=CLEAN_ENV, timeout=AB_KILL_S)
    except subprocess.TimeoutExpired:
        return None
    return parse_ab(r.stdout, csv)


def parse_ab(text, csv_path):
    def grab(pattern, cast=float):
        m = re.search(pattern, text, re.M)
        return cast(m.group(1)) if m else None

    res = {
        "rps": grab(r"^Requests per second:\s+([\d.]+)"),
        "complete": grab(r"^Complete requests:\s+(\d+)", int),
        "failed": grab(r"^Failed requests:\s+(\d+)", int) or 0,
        "non2xx": grab(r"^Non-2xx responses:\s+(\d+)", int) or 0,
        # Whole milliseconds from the text; the CSV below has microseconds.
        "p50": grab(r"^\s+50%\s+(\d+)"),
        "p99": grab(r"^\s+99%\s+(\d+)"),
    }
    try:
        with open(csv_path) as f:
            for line in f:
                pct, _, ms = line.strip().partition(",")
                if pct == "50":
                    res["p50"] = float(ms)
                elif pct == "99":
                    res["p99"] = float(ms)
    except (OSError, ValueError):
        pass
    if not res["rps"] or not res["complete"]:
        return None
    return res


def read_header(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        if len(data) > MAX_HEADER_BYTES:
            raise OSError("over-long proxy reply")
        chunk = sock.recv(4096)
        if not chunk:
            raise OSError("proxy closed the tunnel")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    status = head.split(b"\r\n", 1)[0].split()
    if len(status) < 2 or status[1] != b"200":
        raise OSError("CONNECT refused: %r" % head[:80])
    return rest


def exchange_ns(sock, payload):
    t0 = time.perf_counter_ns()
    sock.sendall(payload)
    got = 0
    while got < len(payload):
        chunk = sock.recv(len(payload) - got)
        if not chunk:
            raise OSError("connection closed")
        got += len(chunk)
    return time.perf_counter_ns() - t0


def rtt_median_us(echo_port, proxy_port=None, label="direct"):
    """Median round trip of RTT_PAYLOAD-byte exchanges with the echo server,
    directly or through a CONNECT tunnel of the proxy on proxy_port."""
    target = (HOST, proxy_port if proxy_port is not None else echo_port)
    try:
        with socket.create_connection(target, timeout=RTT_IO_TIMEOUT_S) as s:
            s.settimeout(RTT_IO_TIMEOUT_S)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if proxy_port is not None:
                s.sendall(("CONNECT %s:%d HTTP/1.0\r\nHost: %s:%d\r\n\r\n"
                           % (HOST, echo_port, HOST, echo_port)).encode())
                if read_header(s):
                    raise OSError("unexpected bytes after CONNECT reply")
            payload = bytes(range(RTT_PAYLOAD))
            samples = [exchange_ns(s, payload) for _ in range(RTT_WARMUP + RTT_EXCHANGES)]
            return statistics.median(samples[RTT_WARMUP:]) / 1000.0
    except OSError as e:
        notes.append("%s: tunnel round-trip test failed: %s" % (label, e))
        return None


def proxy_works(port, url, http10=False):
    got = curl(url, port, max_time=FIRST_REQUEST_MAX_S, http10=http10)
    return got is not None and got[1] == SMALL_BYTES


class Column:
    """One column of the table: direct (no proxy) or one running proxy."""

    def __init__(self, name, port=None, server=None):
        self.name = name
        self.port = port
        self.server = server
        self.samples = {}      # row key -> list of values over the rounds
        self.cpu_ticks = 0
        self.cpu_requests = 0
        self.pss_peak_kib = 0
        self.stalled = False   # set when ab got nothing back: no more load runs

    def add(self, key, value):
        if value is not None:
            self.samples.setdefault(key, []).append(value)


def ab_round(col, small, level):
    """One ab run of the 1 KiB object; CPU and memory are taken around it."""
    server = col.server
    cpu0 = cpu_ticks(server.pid) if server is not None and level == CPU_LEVEL else None
    if server is not None and level == PSS_LEVEL:
        with PssSampler(server.pid) as sampler:
            ab = run_ab(small, level, REQUESTS_PER_LEVEL, col.port)
        col.pss_peak_kib = max(col.pss_peak_kib, sampler.peak)
    else:
        ab = run_ab(small, level, REQUESTS_PER_LEVEL, col.port)
    if ab is None:
        notes.append("%s: ab at c=%d gave no result; no further load runs on it"
                     % (col.name, level))
        col.stalled = True
        return
    if cpu0 is not None:
        col.cpu_ticks += cpu_ticks(server.pid) - cpu0
        col.cpu_requests += ab["complete"]
    col.add("rps%d" % level, ab["rps"])
    col.add("p50_%d" % level, ab["p50"])
    col.add("p99_%d" % level, ab["p99"])
    bad = ab["failed"] + ab["non2xx"]
    if bad or ab["complete"] < REQUESTS_PER_LEVEL:
        notes.append("%s c=%d: %d of %d complete, %d failed, %d non-2xx"
                     % (col.name, level, ab["complete"], REQUESTS_PER_LEVEL,
                        ab["failed"], ab["non2xx"]))


def hit_round(col, small):
    """One ab run of cache hits at HIT_LEVEL, with the proxy's CPU around it."""
    cpu0 = cpu_ticks(col.server.pid)
    ab = run_ab(small, HIT_LEVEL, REQUESTS_PER_LEVEL, col.port)
    if ab is None:
        notes.append("%s: ab at c=%d gave no result; no further load runs on it" % (col.name, HIT_LEVEL))
        col.stalled = True
        return
    col.cpu_ticks += cpu_ticks(col.server.pid) - cpu0
    col.cpu_requests += ab["complete"]
    col.add("hit_rps", ab["rps"])
    col.add("hit_p99", ab["p99"])
    bad = ab["failed"] + ab["non2xx"]
    if bad or ab["complete"] < REQUESTS_PER_LEVEL:
        notes.append("%s c=%d: %d of %d complete, %d failed, %d non-2xx"
                     % (col.name, HIT_LEVEL, ab["complete"], REQUESTS_PER_LEVEL, ab["failed"], ab["non2xx"]))
    # The same URL asked with "Pragma: no-cache": fetched from the origin and
    # stored again each time, the cost of a miss with the cache on.
    ab = run_ab(small, HIT_LEVEL, REQUESTS_PER_LEVEL, col.port, headers=("Pragma: no-cache",))
    if ab is not None:
        col.add("miss_on_rps", ab["rps"])


def run_rounds(cols, origin_port, echo_port, cache_cols=()):
    """Measures every column, interleaved, so that background load on the
    machine falls on all columns alike; medians over the rounds are shown."""
    small = "http://%s:%d/1k" % (HOST, origin_port)
    large = "http://%s:%d/10m" % (HOST, origin_port)
    for col in list(cols) + list(cache_cols):
        run_ab(small, 10, WARMUP_REQUESTS, col.port)
    for rnd in range(ROUNDS):
        t0 = time.monotonic()
        for level in LEVELS:
            for col in cols:
                if not col.stalled:
                    ab_round(col, small, level)
            if level == HIT_LEVEL:
                for col in cache_cols:
                    if not col.stalled:
                        hit_round(col, small)
        for col in cols:
            got = curl(large, col.port)
            col.add("get10m", got[0] / 1e6 if got and got[1] == LARGE_BYTES else None)
            got = curl(large, col.port, tunnel=col.port is not None)
            col.add("connect10m", got[0] / 1e6 if got and got[1] == LARGE_BYTES else None)
        for col in cols:
            if col.port is None:
                continue
            # Base and tunnel back to back: the direct round trip drifts with
            # the machine's load, and only the difference is wanted.
            base = rtt_median_us(echo_port)
            rtt = rtt_median_us(echo_port, col.port, col.name)
            cols[0].add("rtt", base)
            if rtt is not None and base is not None:
                col.add("rtt", rtt - base)
        log("round %d of %d: %.0f s; %s" % (
            rnd + 1, ROUNDS, time.monotonic() - t0,
            ", ".join(["%s %.0f req/s" % (c.name, c.samples.get("rps10", [0])[-1]) for c in cols]
                      + ["%s %.0f hits/s" % (c.name, c.samples.get("hit_rps", [0])[-1]) for c in cache_cols])))


def collect(cols):
    res = {key: {} for key, *_ in ROWS}
    for col in cols:
        for key in res:
            vals = col.samples.get(key)
            if not vals:
                continue
            best = {"get10m": max, "connect10m": max}.get(key, statistics.median)
            res[key][col.name] = best(vals)
        if col.cpu_requests:
            res["cpu"][col.name] = col.cpu_ticks / CLK_TCK * 1e6 / col.cpu_requests
        if col.server is not None:
            res["pss_idle"][col.name] = col.samples.get("pss_idle", [None])[0]
            res["pss_load"][col.name] = col.pss_peak_kib / 1024.0 if col.pss_peak_kib else None
    # Directly, both downloads are the same plain GET: one best for both.
    direct = cols[0].samples.get("get10m", []) + cols[0].samples.get("connect10m", [])
    if direct:
        res["get10m"]["direct"] = res["connect10m"]["direct"] = max(direct)
    for key in ("get10m", "connect10m"):
        for col in cols:
            if res[key].get(col.name) is None:
                notes.append("%s: %s download failed" % (col.name, key))
    return res


# --------------------------------------------------------------------- table

# (key, label, format, higher is better, has a direct value)
ROWS = []
for _lvl in LEVELS:
    ROWS += [
        ("rps%d" % _lvl, "c=%d GET 1 KiB, req/s" % _lvl, "%.0f", True, True),
        ("p50_%d" % _lvl, "c=%d p50 latency, ms" % _lvl, "%.3f", False, True),
        ("p99_%d" % _lvl, "c=%d p99 latency, ms" % _lvl, "%.3f", False, True),
    ]
ROWS += [
    ("cpu", "proxy CPU at c=%d, us/req" % CPU_LEVEL, "%.1f", False, False),
    ("get10m", "GET 10 MiB, MB/s", "%.0f", True, True),
    ("connect10m", "CONNECT tunnel 10 MiB, MB/s", "%.0f", True, True),
    ("rtt", "tunnel RTT added, us (direct: base)", "%.1f", False, False),
    ("pss_idle", "PSS idle, MiB", "%.2f", False, False),
    ("pss_load", "PSS peak at c=%d, MiB" % PSS_LEVEL, "%.2f", False, False),
]


CACHE_ROWS = [
    ("hit_rps", "cache hit GET 1 KiB c=%d, req/s" % HIT_LEVEL, "%.0f", True),
    ("hit_p99", "cache hit c=%d p99 latency, ms" % HIT_LEVEL, "%.3f", False),
    ("hit_cpu", "cache hit proxy CPU at c=%d, us/req" % HIT_LEVEL, "%.1f", False),
    ("rps%d" % HIT_LEVEL, "miss: c=%d GET 1 KiB cache off, req/s" % HIT_LEVEL, "%.0f", True),
    ("miss_on_rps", "miss: c=%d, cache on, Pragma: no-cache, req/s" % HIT_LEVEL, "%.0f", True),
]


def collect_cache(cache_cols, res):
    """The cache-hit rows; the miss row is the main table's c=10 row of the
    same proxy with its cache off."""
    cres = {key: {} for key, *_ in CACHE_ROWS}
    for col in cache_cols:
        for key in ("hit_rps", "hit_p99", "miss_on_rps"):
            vals = col.samples.get(key)
            if vals:
                cres[key][col.name] = statistics.median(vals)
        if col.cpu_requests:
            cres["hit_cpu"][col.name] = col.cpu_ticks / CLK_TCK * 1e6 / col.cpu_requests
    miss_key = "rps%d" % HIT_LEVEL
    for name in CACHE_COLUMNS:
        plain = name[:-len("-cache")]
        if res.get(miss_key, {}).get(plain) is not None:
            cres[miss_key][name] = res[miss_key][plain]
    return cres


def render_cache_table(cres):
    header = ("",) + CACHE_COLUMNS + ("korvanet/%s" % CACHE_PEER,)
    rows = []
    for key, label, fmt, higher in CACHE_ROWS:
        cells = [label] + ["n/a" if cres[key].get(c) is None else fmt % cres[key][c] for c in CACHE_COLUMNS]
        r = ratio(cres[key].get("korvanet-cache"), cres[key].get(CACHE_PEER))
        cells.append("%.2fx" % r if r is not None else "n/a")
        rows.append(cells)
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    lines = ["  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths)))]
    lines.append("  ".join("-" * w for w in widths))
    for r in rows:
        lines.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
    return "\n".join(lines)


def goal_line(text, value, ok):
    status = "n/a " if ok is None else ("PASS" if ok else "FAIL")
    return "%s  %s%s" % (status, text, "" if value is None else "  (" + value + ")")


def cache_goals(cres, garbage):
    hit = cres["hit_rps"].get("korvanet-cache")
    out = []
    r = ratio(hit, cres["hit_rps"].get(CACHE_PEER))
    out.append(goal_line("cache hit c=%d req/s >= 1.5x squid with its cache on" % HIT_LEVEL,
                         r and "%.2fx" % r, None if r is None else r >= 1.5))
    c = cres["hit_cpu"].get("korvanet-cache")
    out.append(goal_line("cache hit CPU <= 30 us/req", c is not None and "%.1f" % c or None,
                         None if c is None else c <= 30))
    r = ratio(hit, cres["rps%d" % HIT_LEVEL].get("korvanet-cache"))
    r_on = ratio(hit, cres["miss_on_rps"].get("korvanet-cache"))
    out.append(goal_line("cache hit c=%d req/s >= 2.5x korvanet's own miss rate (cache off)" % HIT_LEVEL,
                         r and "%.2fx; %s against the cache-on miss" % (r, r_on and "%.2fx" % r_on),
                         None if r is None else r >= 2.5))
    secs = garbage.get("seconds") if garbage else None
    out.append(goal_line("garbage run over %d objects < 5 s" % GARBAGE_OBJECTS,
                         secs is not None and "%.2f s" % secs or None, None if secs is None else secs < 5))
    return "\n".join(out)


def best_peer(res, key, higher):
    vals = [res[key].get(p) for p in PEERS if res[key].get(p) is not None]
    if not vals:
        return None
    return max(vals) if higher else min(vals)


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def render_table(res):
    header = ("",) + COLUMNS + ("korvanet/direct", "korvanet/best-peer")
    rows = []
    for key, label, fmt, higher, has_direct in ROWS:
        cells = [label]
        for col in COLUMNS:
            v = res[key].get(col)
            if col == "direct" and v is None and not has_direct and key != "rtt":
                cells.append("-")
            else:
                cells.append("n/a" if v is None else fmt % v)
        kd = ratio(res[key].get("korvanet"), res[key].get("direct")) if has_direct else None
        cells.append(("%.2fx" % kd) if kd is not None else ("-" if not has_direct else "n/a"))
        kb = ratio(res[key].get("korvanet"), best_peer(res, key, higher))
        cells.append(("%.2fx" % kb) if kb is not None else "n/a")
        rows.append(cells)
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    lines = ["  ".join(h.ljust(w) if i == 0 else h.rjust(w)
                       for i, (h, w) in enumerate(zip(header, widths)))]
    lines.append("  ".join("-" * w for w in widths))
    for r in rows:
        lines.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                               for i, (c, w) in enumerate(zip(r, widths))))
    return "\n".join(lines)


def goals(res):
    k = lambda key: res[key].get("korvanet")  # noqa: E731
    d = lambda key: res[key].get("direct")  # noqa: E731
    out = []

    def add(text, value, ok):
        status = "n/a " if ok is None else ("PASS" if ok else "FAIL")
        out.append("%s  %s%s" % (status, text, "" if value is None else "  (" + value + ")"))

    for lvl in LEVELS:
        key = "rps%d" % lvl
        r = ratio(k(key), best_peer(res, key, True))
        add("c=%d req/s >= 1.3x best peer" % lvl, r and "%.2fx" % r, None if r is None else r >= 1.3)
    for lvl in LEVELS:
        key = "p99_%d" % lvl
        bp = best_peer(res, key, False)
        ok = None if k(key) is None or bp is None else k(key) <= bp
        add("c=%d p99 no worse than best peer" % lvl,
            ok is not None and "%.3f vs %.3f ms" % (k(key), bp) or None, ok)
    for lvl, share in DIRECT_SHARES:
        key = "rps%d" % lvl
        r = ratio(k(key), d(key))
        add("c=%d req/s >= %.2f of direct" % (lvl, share), r and "%.2f" % r, None if r is None else r >= share)
    c = k("cpu")
    add("CPU <= 60 us/req", c is not None and "%.1f" % c or None, None if c is None else c <= 60)
    for key, share, text in (("get10m", 0.5, "10 MiB GET"), ("connect10m", 0.6, "CONNECT 10 MiB")):
        r = ratio(k(key), d(key))
        add("%s >= %.1f of direct" % (text, share), r and "%.2f" % r,
            None if r is None else r >= share)
    r = k("rtt")
    add("added tunnel RTT <= 15 us", r is not None and "%.1f us" % r or None,
        None if r is None else r <= 15)
    bp = best_peer(res, "rtt", False)
    add("added tunnel RTT below every peer", r is not None and bp is not None and "%.1f vs %.1f us" % (r, bp) or None,
        None if r is None or bp is None else r < bp)
    for key, cap, text in (("pss_idle", 3, "idle PSS"), ("pss_load", 10, "c=%d PSS" % PSS_LEVEL)):
        v = k(key)
        add("%s <= %d MiB" % (text, cap), v is not None and "%.2f MiB" % v or None,
            None if v is None else v <= cap)
    idle = res.get("idle_cpu_ms")
    add("idle CPU over %d s < 10 ms" % IDLE_SECONDS, idle is not None and "%.1f ms" % idle or None,
        None if idle is None else idle < 10)
    return "\n".join(out)


def run_ns(pid):
    """Nanoseconds on a CPU of every thread of pid (schedstat: finer than ticks)."""
    total = 0
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return 0
    for tid in tasks:
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue
    return total


def idle_cpu_ms(server, seconds):
    """CPU time (ms) the server uses over `seconds` with no client."""
    before = run_ns(server.pid)
    time.sleep(seconds)
    return (run_ns(server.pid) - before) / 1e6


# ---------------------------------------------------------------------- main

def main():
    if not TMP or not os.path.isdir(TMP):
        print("bench.py is run by bench/run.sh (BENCH_TMP not set)", file=sys.stderr)
        return 2
    started = time.monotonic()
    with open("/proc/loadavg") as f:
        load_before = " ".join(f.read().split()[:3])
    os.chmod(TMP, 0o755)  # nginx workers and dropped-privilege peers read from here
    (origin_port, echo_port, tiny_port, squid_port, korv_port, korv_admin,
     squid_cache_port, korv_cache_port, korv_cache_admin) = free_ports(9)
    small = "http://%s:%d/1k" % (HOST, origin_port)
    servers = []
    cache_cols = []
    try:
        origin = start_origin(origin_port)
        servers.append(origin)
        echo = start_echo(echo_port)
        servers.append(echo)
        if not wait_port(origin, origin_port) or not wait_port(echo, echo_port):
            print("origin failed to start: %s %s" % (output_tail("nginx"), output_tail("echo")),
                  file=sys.stderr)
            return 1
        log("origin nginx on %d, echo on %d" % (origin_port, echo_port))
        cols = [Column("direct")]
        starters = (
            ("tinyproxy", tiny_port, lambda: start_tinyproxy(tiny_port, (origin_port, echo_port))),
            ("squid", squid_port, lambda: start_squid(squid_port)),
            ("korvanet", korv_port, lambda: start_korvanet(korv_port, korv_admin)),
        )
        for name, port, starter in starters:
            if name != "korvanet" and shutil.which(name) is None:
                notes.append("%s: not installed" % name)
                continue
            server = starter()
            if server is None:
                continue
            servers.append(server)
            if not wait_port(server, port) or not proxy_works(port, small):
                notes.append("%s: did not serve a first request on port %d: %s"
                             % (name, port, output_tail(name, 3) or "no output"))
                stop_server(server)
                continue
            col = Column(name, port, server)
            # Idle: started and one request served, before any load.
            col.add("pss_idle", pss_kib(server.pid) / 1024.0)
            cols.append(col)
            log("%s on %d (pid %d)" % (name, port, server.pid))
        cache_starters = (
            (CACHE_PEER, "squid", squid_cache_port, lambda: start_squid(squid_cache_port, CACHE_PEER, cache=True)),
            ("korvanet-cache", "korvanet", korv_cache_port,
             lambda: start_korvanet(korv_cache_port, korv_cache_admin, "korvanet-cache", cache=True)),
        )
        for name, program, port, starter in cache_starters:
            if program != "korvanet" and shutil.which(program) is None:
                notes.append("%s: not installed" % name)
                continue
            server = starter()
            if server is None:
                continue
            servers.append(server)
            # The first request through it is the priming one: it stores the
            # object. HTTP/1.0 like ab's, so the origin closes at the end of the
            # response and the stored object is complete at once (Korvanet
            # passes the browser's version on and relays until the origin closes).
            if not wait_port(server, port) or not proxy_works(port, small, http10=True):
                notes.append("%s: did not serve a first request on port %d: %s"
                             % (name, port, output_tail(name, 3) or "no output"))
                stop_server(server)
                continue
            if program == "squid" and not squid_says_hit(port, small):
                notes.append("%s: second request was not a cache hit" % name)
            cache_cols.append(Column(name, port, server))
            log("%s on %d (pid %d)" % (name, port, server.pid))
        korvanet_col = next((c for c in cols if c.name == "korvanet"), None)
        idle_ms = None
        if korvanet_col is not None:
            log("idle CPU of korvanet over %d s" % IDLE_SECONDS)
            idle_ms = idle_cpu_ms(korvanet_col.server, IDLE_SECONDS)
        run_rounds(cols, origin_port, echo_port, cache_cols)
        for col in cols[1:] + cache_cols:
            if col.server.proc.poll() is not None:
                notes.append("%s exited during the run: %s" % (col.name, output_tail(col.name, 3)))
        res = collect(cols)
        res["idle_cpu_ms"] = idle_ms
        cres = collect_cache(cache_cols, res)
        log("garbage run over %d objects" % GARBAGE_OBJECTS)
        garbage = garbage_bench.measure(
            KORVANET_BIN, os.path.join(TMP, "garbage"), GARBAGE_OBJECTS,
            start=lambda argv, env, cwd: start_server("korvanet-garbage", argv, env=env, cwd=cwd).proc)
        if "error" in garbage:
            notes.append("garbage run: " + garbage["error"])
    finally:
        for s in reversed(servers):
            stop_server(s)
    for col in cache_cols:
        if col.name == "korvanet-cache":
            # Every request after the priming one was to be a hit.
            hits = korvanet_hit_count(col.name)
            served = col.cpu_requests + WARMUP_REQUESTS
            if hits is None or hits < served:
                notes.append("korvanet-cache: %s hits counted for %d requests" % (hits, served))

    print()
    print("Loopback benchmark: close per request, %d requests per level, median of %d rounds"
          " (throughput: best of %d), %s" % (REQUESTS_PER_LEVEL, ROUNDS, ROUNDS,
                                             time.strftime("%Y-%m-%d %H:%M")))
    print(render_table(res))
    print()
    print("Cache hits: each proxy with its cache on, one priming request, then c=%d (miss row: the"
          " table above, cache off)" % HIT_LEVEL)
    print(render_cache_table(cres))
    if "seconds" in garbage:
        print("garbage run over %d objects (%d bytes, CacheSize 1 MB): %.2f s, %d objects left"
              % (garbage["objects"], garbage["bytes_before"], garbage["seconds"], garbage["left"]))
    print()
    print("Goals for korvanet:")
    print(goals(res))
    print(cache_goals(cres, garbage))
    if notes:
        print()
        print("Notes:")
        for n in dict.fromkeys(notes):  # each note once, in order
            print("  - " + n)
    print()
    with open("/proc/loadavg") as f:
        load_after = " ".join(f.read().split()[:3])
    print("took %.0f s on %d cores; load average before %s, after %s (other work on the"
          " machine skews every column)" % (time.monotonic() - started, os.cpu_count(),
                                            load_before, load_after))
    return 0


if __name__ == "__main__":
    # A TERM (from run.sh or timeout) unwinds through main's finally, which
    # stops the servers.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
