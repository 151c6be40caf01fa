#!/usr/bin/python3
"""Cost as the work grows: each row runs Korvanet with a small, a middle and a
large amount of the same work and shows what one unit costs at each size.

- access list of 10, 100 and 1000 rules, the matching one last: the proxy's
  CPU per request (ab c=10 through the proxy against nginx);
- 10, 1000 and 10,000 users, the credentials those of the last one: the
  proxy's CPU per authenticated request;
- disk cache of 1,000, 10,000 and 100,000 objects: start-up with a trusted
  status.bin and with a rescan (status.bin left in its "running" state, as a
  killed server leaves it), cache hits per second, and one garbage run;
- an access log of 1 MB and 100 MB: first byte and whole page of
  /admin/logs/access on the admin port, and the server's memory meanwhile;
- POP3 mailboxes of 100, 1000 and 10,000 message files: login, STAT, LIST
  and UIDL.

Everything talks to 127.0.0.1 only; every server runs in its own session
from a registry file written for it, and is stopped by its process group id.
Every load run is bounded (request counts, time limits).

Through bench/run.sh (BENCH_TMP, BENCH_TMP/pids) or standalone:
scale_bench.py makes and removes its own scratch directory.
"""
import base64
import hashlib
import os
import shutil
import signal
import socket
import statistics
import sys
import tempfile
import time

if not os.environ.get("BENCH_TMP"):
    os.environ["BENCH_TMP"] = tempfile.mkdtemp(prefix="korvanet-scale.")
    open(os.path.join(os.environ["BENCH_TMP"], "pids"), "w").close()
    OWN_TMP = True
else:
    OWN_TMP = False

import bench  # noqa: E402  (reads BENCH_TMP when imported)
import garbage_bench  # noqa: E402

HOST = bench.HOST
TMP = bench.TMP
CLK_TCK = bench.CLK_TCK
REQUESTS = int(os.environ.get("BENCH_SCALE_REQUESTS", "4000"))
ROUNDS = int(os.environ.get("BENCH_SCALE_ROUNDS", "3"))
AB_LEVEL = 10
RULE_COUNTS = (10, 100, 1000)
USER_COUNTS = (10, 1000, 10000)
CACHE_COUNTS = tuple(int(x) for x in os.environ.get("BENCH_SCALE_OBJECTS", "1000 10000 100000").split())
# Each object big enough that 1,000 of them pass the 1 MiB a trusted
# status.bin must describe, and that a 1 MB cache is over its size at once.
CACHE_DATA_BYTES = 1200
HIT_REQUESTS = 5000
LOG_SIZES_MB = (1, 100)
MAILBOX_COUNTS = (100, 1000, 10000)
MESSAGE_BYTES = 1500
IO_TIMEOUT_S = 10
START_LIMIT_S = 30
PAGE_LIMIT_S = 60
POLL_S = 0.002
USER, PASSWORD = "bench", "benchpw"

notes = []
results = {}   # row key -> {size: value}


def log(msg):
    print("[scale] " + msg, file=sys.stderr, flush=True)


def digest(name, password):
    return hashlib.md5(f"{name}:Korvanet:{password}".encode()).hexdigest()


def basic(name, password):
    return "Basic " + base64.b64encode(f"{name}:{password}".encode()).decode()


def put(key, size, value):
    results.setdefault(key, {})[size] = value


def start_korvanet(name, values, lists=None):
    """A Korvanet of its own home directory and registry; None when it does
    not open its first port."""
    home = os.path.join(TMP, name)
    os.makedirs(home, exist_ok=True)
    values = dict({"LogAccess": 0, "EnableCache": 0, "CacheDir": home + "/cache", "LogsDir": home + "/logs",
                   "MailDir": home + "/mail"}, **values)
    reg = os.path.join(home, "registry.reg")
    bench.write(reg, bench.registry_text(values, lists))
    env = dict(bench.CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=home + "/")
    server = bench.start_server(name, [bench.KORVANET_BIN], env=env, cwd=home)
    port = next(values[k] for k in ("ProxyPort", "Pop3ServerPort", "AdminPort") if values.get(k))
    if not wait_port(server, port, START_LIMIT_S):
        notes.append("%s did not start: %s" % (name, bench.output_tail(name, 3) or "no output"))
        bench.stop_server(server)
        return None
    return server


def wait_port(server, port, limit_s):
    return bench.wait_port(server, port, limit_s, step_s=0.01)


def http_get(port, request, limit_s=IO_TIMEOUT_S):
    """The whole answer to one request sent raw (HTTP/1.0: read to the close)."""
    with socket.create_connection((HOST, port), timeout=limit_s) as s:
        s.sendall(request.encode())
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks)


# ------------------------------------------------------ access list, users

def cpu_per_request(server, port, url, headers):
    """Median over the rounds of the proxy's CPU per request (us), ab at c=10."""
    bench.run_ab(url, AB_LEVEL, 300, port, headers=headers)   # warm-up
    samples = []
    for _ in range(ROUNDS):
        cpu0 = bench.cpu_ticks(server.pid)
        ab = bench.run_ab(url, AB_LEVEL, REQUESTS, port, headers=headers)
        ticks = bench.cpu_ticks(server.pid) - cpu0
        if ab is None:
            notes.append("%s: ab gave no result" % server.name)
            return None
        if ab["failed"] or ab["non2xx"] or ab["complete"] < REQUESTS:
            notes.append("%s: %d of %d complete, %d failed, %d non-2xx" % (
                server.name, ab["complete"], REQUESTS, ab["failed"], ab["non2xx"]))
            return None
        samples.append(ticks / CLK_TCK * 1e6 / ab["complete"])
    return statistics.median(samples)


def access_rows(origin_port, ports):
    url = "http://%s:%d/1k" % (HOST, origin_port)
    user_record = "000<|>%s<|>%s<|><|>" % (USER, digest(USER, PASSWORD))
    for count in RULE_COUNTS:
        # Domain blocks that the URL does not match, then the rule that lets the user in.
        rules = ["http://*.blocked%d.example/*<|>000:" % i for i in range(count - 1)]
        rules.append("http://%s*<|>000:" % HOST)
        port, admin = ports.pop(), ports.pop()
        server = start_korvanet("scale-access-%d" % count, {"ProxyPort": port, "AdminPort": admin},
                                {"Users": [user_record], "Access": rules})
        if server is None:
            continue
        try:
            refused = http_get(port, "GET %s HTTP/1.0\r\n\r\n" % url)
            if not refused.startswith(b"HTTP/1.0 407"):
                notes.append("access %d rules: an anonymous request was not asked for credentials" % count)
            put("access_cpu", count, cpu_per_request(server, port, url, ("Proxy-Authorization: " +
                                                                         basic(USER, PASSWORD),)))
        finally:
            bench.stop_server(server)
        log("access list of %d rules: %s us/req" % (count, results.get("access_cpu", {}).get(count)))


def user_rows(origin_port, ports):
    url = "http://%s:%d/1k" % (HOST, origin_port)
    for count in USER_COUNTS:
        names = ["user%05d" % i for i in range(count)]
        users = ["%03d<|>%s<|>%s<|><|>" % (i % 900, n, digest(n, PASSWORD)) for i, n in enumerate(names)]
        last_id = "%03d" % ((count - 1) % 900)
        port, admin = ports.pop(), ports.pop()
        t0 = time.monotonic()
        server = start_korvanet("scale-users-%d" % count, {"ProxyPort": port, "AdminPort": admin},
                                {"Users": users, "Access": ["http://%s*<|>%s:" % (HOST, last_id)]})
        if server is None:
            continue
        put("users_start", count, time.monotonic() - t0)
        try:
            refused = http_get(port, "GET %s HTTP/1.0\r\n\r\n" % url)
            if not refused.startswith(b"HTTP/1.0 407"):
                notes.append("%d users: an anonymous request was not asked for credentials" % count)
            put("users_cpu", count, cpu_per_request(server, port, url, ("Proxy-Authorization: " +
                                                                        basic(names[-1], PASSWORD),)))
        finally:
            bench.stop_server(server)
        log("%d users: %s us/req" % (count, results.get("users_cpu", {}).get(count)))


# -------------------------------------------------------------- disk cache

def counting_origin():
    """A small origin whose answers name the request's number, so that a cache
    hit is told from a fetch (`.served` counts what it answered)."""
    return garbage_bench.TinyOrigin(lambda n: b"origin-%06d" % n, backlog=64)


def body_of(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    return body if head.startswith(b"HTTP/1.0 200") or head.startswith(b"HTTP/1.1 200") else None


def cache_start(name, home, port, admin, probe, primed):
    """Seconds from the start of the process to the first cache hit of the
    probe (the cache refuses every operation until its totals are valid),
    and the server, still running; (None, None) on failure."""
    reg = os.path.join(home, "registry.reg")
    bench.write(reg, bench.registry_text({
        "ProxyPort": port, "AdminPort": admin, "EnableCache": 1, "CacheSize": 600, "LogAccess": 0,
        "CacheDir": home + "/cache", "LogsDir": home + "/logs"}))
    env = dict(bench.CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=home + "/")
    t0 = time.monotonic()
    server = bench.start_server(name, [bench.KORVANET_BIN], env=env, cwd=home)
    request = "GET %s HTTP/1.0\r\n\r\n" % probe
    while time.monotonic() - t0 < START_LIMIT_S:
        if server.proc.poll() is not None:
            break
        try:
            if body_of(http_get(port, request, 2)) == primed:
                return time.monotonic() - t0, server
        except OSError:
            pass
        time.sleep(POLL_S)
    notes.append("%s: no cache hit within %d s: %s" % (name, START_LIMIT_S, bench.output_tail(name, 3)))
    bench.stop_server(server)
    return None, None


def hit_rows(count, server, port, probe, origin):
    """Cache hits of the probe at c=10: req/s and the proxy's CPU per hit
    (medians over the rounds), and the share of requests that were hits (a
    request the cache did not answer reaches the origin)."""
    rps, cpu = [], []
    fetched = origin.served
    done = 0
    for _ in range(ROUNDS):
        cpu0 = bench.cpu_ticks(server.pid)
        ab = bench.run_ab(probe, AB_LEVEL, HIT_REQUESTS, port)
        ticks = bench.cpu_ticks(server.pid) - cpu0
        if ab is None or ab["failed"] or ab["non2xx"]:
            notes.append("%s: cache hit run failed" % server.name)
            return
        rps.append(ab["rps"])
        cpu.append(ticks / CLK_TCK * 1e6 / ab["complete"])
        done += ab["complete"]
    put("cache_hit_rps", count, statistics.median(rps))
    put("cache_hit_cpu", count, statistics.median(cpu))
    put("cache_hit_share", count, 100.0 * (done - (origin.served - fetched)) / done)


def cache_rows(ports):
    origin = counting_origin()
    try:
        for count in CACHE_COUNTS:
            home = os.path.join(TMP, "scale-cache-%d" % count)
            cache_dir = os.path.join(home, "cache")
            os.makedirs(cache_dir, exist_ok=True)
            t0 = time.monotonic()
            garbage_bench.write_cache(cache_dir, count, data_bytes=CACHE_DATA_BYTES)
            log("cache of %d objects written in %.1f s" % (count, time.monotonic() - t0))
            port, admin = ports.pop(), ports.pop()
            probe = "http://%s:%d/probe" % (HOST, origin.port)
            name = "scale-cache-%d" % count
            # First start: stores the probe object (status.bin is trusted, the
            # cache is ready at once), then a clean stop.
            served = origin.served
            took, server = cache_start(name, home, port, admin, probe, b"origin-%06d" % (served + 1))
            if server is None:
                continue
            bench.stop_server(server)
            primed = b"origin-%06d" % (served + 1)
            took, server = cache_start(name, home, port, admin, probe, primed)
            if server is None:
                continue
            put("cache_start_trusted", count, took)
            hit_rows(count, server, port, probe, origin)
            bench.stop_server(server)
            # One byte more than the totals: the state status.bin is in while a
            # server runs, and stays in when it is killed.
            with open(os.path.join(cache_dir, "status.bin"), "ab") as f:
                f.write(b"\0")
            took, server = cache_start(name, home, port, admin, probe, primed)
            if server is None:
                continue
            put("cache_start_rescan", count, took)
            bench.stop_server(server)
            r = garbage_bench.measure(bench.KORVANET_BIN, home, count, fill=False,
                                      start=lambda argv, env, cwd: bench.start_server(
                                          name + "-garbage", argv, env=env, cwd=cwd).proc)
            if "error" in r:
                notes.append("garbage run over %d objects: %s" % (count, r["error"]))
            else:
                put("garbage_s", count, r["seconds"])
                put("garbage_us_per_object", count, r["seconds"] / count * 1e6)
            log("cache of %d objects: trusted %.3f s, rescan %s s, garbage %s s" % (
                count, results["cache_start_trusted"][count], results.get("cache_start_rescan", {}).get(count),
                results.get("garbage_s", {}).get(count)))
            shutil.rmtree(home, ignore_errors=True)
    finally:
        origin.close()


# ------------------------------------------------------------- access log

LOG_LINE = ("127.0.0.1 bench 11/12/2026 01:23:45 GET http://www.example.test/some/path/to/object/%08d.html"
            " 200 10240 1.2.3.4\r\n")


def append_log(path, megabytes):
    """Grows the log to megabytes (10^6 bytes) of access lines."""
    target = megabytes * 1000 * 1000
    have = os.path.getsize(path) if os.path.exists(path) else 0
    n = have // len(LOG_LINE % 0)
    with open(path, "a", newline="") as f:
        while have < target:
            block = "".join(LOG_LINE % (n + i) for i in range(4096))
            f.write(block)
            have += len(block)
            n += 4096


def page_read(port, path):
    """(first byte s, whole page s, bytes) of one admin page, and the peak
    PSS sampled meanwhile is read by the caller's sampler."""
    with socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S) as s:
        t0 = time.monotonic()
        s.sendall(("GET %s HTTP/1.0\r\nHost: %s:%d\r\n\r\n" % (path, HOST, port)).encode())
        first = s.recv(65536)
        t_first = time.monotonic() - t0
        total = len(first)
        while first:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            total += len(chunk)
            if time.monotonic() - t0 > PAGE_LIMIT_S:
                notes.append("log page: stopped reading after %d s" % PAGE_LIMIT_S)
                break
        return t_first, time.monotonic() - t0, total


def log_rows(ports):
    admin = ports.pop()
    home = os.path.join(TMP, "scale-logs")
    logs = os.path.join(home, "logs")
    os.makedirs(logs, exist_ok=True)
    access_log = os.path.join(logs, "http-proxy.log")
    append_log(access_log, LOG_SIZES_MB[0])
    server = start_korvanet("scale-logs", {"AdminPort": admin, "ProxyPort": ports.pop(), "LogAccess": 1,
                                           "LogsDir": logs})
    if server is None:
        return
    try:
        page_read(admin, "/admin/logs/access")   # the code paths in memory once
        for mb in LOG_SIZES_MB:
            append_log(access_log, mb)
            time.sleep(0.2)
            base = bench.pss_kib(server.pid)
            with bench.PssSampler(server.pid) as sampler:
                first, whole, size = page_read(admin, "/admin/logs/access")
            put("log_first_ms", mb, first * 1000)
            put("log_whole_s", mb, whole)
            put("log_page_mb", mb, size / 1e6)
            put("log_pss_growth_kib", mb, sampler.peak - base)
            put("log_pss_base_kib", mb, base)
            log("log of %d MB: first byte %.1f ms, page %.2f s (%.0f MB), PSS %+d KiB" % (
                mb, first * 1000, whole, size / 1e6, sampler.peak - base))
    finally:
        bench.stop_server(server)
        shutil.rmtree(home, ignore_errors=True)


# ------------------------------------------------------------------- POP3

def pop3_line(f):
    line = f.readline()
    if not line:
        raise OSError("closed")
    return line


def pop3_listing(s, f, command):
    """Seconds for one multi-line answer; the number of lines in it."""
    t0 = time.monotonic()
    s.sendall(command)
    if not pop3_line(f).startswith(b"+OK"):
        raise OSError("%r refused" % command)
    lines = 0
    while pop3_line(f) != b".\r\n":
        lines += 1
    return time.monotonic() - t0, lines


def pop3_session(port):
    """Seconds of the login (the table is loaded then), STAT, LIST and UIDL."""
    out = {}
    with socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S) as s:
        f = s.makefile("rb")
        pop3_line(f)
        s.sendall(f"USER {USER}\r\n".encode())
        pop3_line(f)
        t0 = time.monotonic()
        s.sendall(f"PASS {PASSWORD}\r\n".encode())
        if not pop3_line(f).startswith(b"+OK"):
            raise OSError("login refused")
        out["login"] = time.monotonic() - t0
        t0 = time.monotonic()
        s.sendall(b"STAT\r\n")
        stat = pop3_line(f)
        out["stat"] = time.monotonic() - t0
        out["shown"] = int(stat.split()[1])
        out["list"], listed = pop3_listing(s, f, b"LIST\r\n")
        out["uidl"], uids = pop3_listing(s, f, b"UIDL\r\n")
        if listed != out["shown"] or uids != out["shown"]:
            raise OSError("STAT %d, LIST %d, UIDL %d lines" % (out["shown"], listed, uids))
        s.sendall(b"QUIT\r\n")
        pop3_line(f)
        f.close()
    return out


def fill_mailbox(directory, count):
    """Message files as local delivery names them ("y", seven digits, ".cnm")."""
    os.makedirs(directory, exist_ok=True)
    have = sum(1 for e in os.scandir(directory) if e.name.endswith(".cnm"))
    head = b"Subject: scale\r\nFrom: a@b.test\r\nTo: bench@localhost\r\n\r\n"
    for i in range(have, count):
        body = head + (b"message %07d " % i) * ((MESSAGE_BYTES - len(head)) // 17)
        with open(os.path.join(directory, "y%07d.cnm" % i), "wb") as f:
            f.write(body + b"\r\n")


def pop3_rows(ports):
    pop3, smtp, admin = ports.pop(), ports.pop(), ports.pop()
    home = os.path.join(TMP, "scale-pop3")
    box = os.path.join(home, "mail", USER)
    server = start_korvanet("scale-pop3", {
        "MailType": 1, "SMTPServer": "upstream.invalid", "SmtpServerPort": smtp, "Pop3ServerPort": pop3,
        "ProxyPort": 0, "AdminPort": admin, "HighPriorityMail": 0, "MailDir": home + "/mail"},
        {"Users": ["000<|>%s<|>%s<|><|>" % (USER, digest(USER, PASSWORD))]})
    if server is None:
        return
    try:
        for count in MAILBOX_COUNTS:
            fill_mailbox(box, count)
            pop3_session(pop3)   # the files in the page cache once
            runs = [pop3_session(pop3) for _ in range(ROUNDS)]
            for key in ("login", "stat", "list", "uidl"):
                put("pop3_" + key, count, statistics.median(r[key] for r in runs) * 1000)
            put("pop3_shown", count, runs[0]["shown"])
            log("mailbox of %d files: %s" % (count, {k: results["pop3_" + k][count]
                                                     for k in ("login", "stat", "list", "uidl", "shown")}))
    except OSError as e:
        notes.append("pop3: %s" % e)
    finally:
        bench.stop_server(server)
        shutil.rmtree(home, ignore_errors=True)


# ------------------------------------------------------------------ table

def cell(key, size, fmt):
    v = results.get(key, {}).get(size)
    return "n/a" if v is None else fmt % v


def ratio_of(key, large, small):
    a, b = results.get(key, {}).get(large), results.get(key, {}).get(small)
    if a is None or b is None or b == 0:
        return None
    return a / b


# (label, key, sizes, format)
TABLE = (
    ("access list: proxy CPU, us/req", "access_cpu", RULE_COUNTS, "%.1f"),
    ("users: proxy CPU with auth, us/req", "users_cpu", USER_COUNTS, "%.1f"),
    ("users: start until the port opens, s", "users_start", USER_COUNTS, "%.2f"),
    ("cache: start-up, trusted status.bin, s", "cache_start_trusted", CACHE_COUNTS, "%.3f"),
    ("cache: start-up with a rescan, s", "cache_start_rescan", CACHE_COUNTS, "%.3f"),
    ("cache: hits c=10, req/s", "cache_hit_rps", CACHE_COUNTS, "%.0f"),
    ("cache: proxy CPU per hit, us", "cache_hit_cpu", CACHE_COUNTS, "%.1f"),
    ("cache: requests answered from the cache, %", "cache_hit_share", CACHE_COUNTS, "%.1f"),
    ("cache: garbage run, s", "garbage_s", CACHE_COUNTS, "%.3f"),
    ("cache: garbage run, us/object", "garbage_us_per_object", CACHE_COUNTS, "%.1f"),
    ("access log: first byte, ms", "log_first_ms", LOG_SIZES_MB, "%.1f"),
    ("access log: whole page, s", "log_whole_s", LOG_SIZES_MB, "%.2f"),
    ("access log: page size, MB", "log_page_mb", LOG_SIZES_MB, "%.0f"),
    ("access log: PSS growth serving it, KiB", "log_pss_growth_kib", LOG_SIZES_MB, "%.0f"),
    ("pop3: messages shown of the files", "pop3_shown", MAILBOX_COUNTS, "%d"),
    ("pop3: login (table load), ms", "pop3_login", MAILBOX_COUNTS, "%.2f"),
    ("pop3: STAT, ms", "pop3_stat", MAILBOX_COUNTS, "%.2f"),
    ("pop3: LIST, ms", "pop3_list", MAILBOX_COUNTS, "%.2f"),
    ("pop3: UIDL, ms", "pop3_uidl", MAILBOX_COUNTS, "%.2f"),
)

SIZE_NAMES = {"access": "rules", "users": "users", "cache": "objects", "garbage": "objects",
              "log": "MB", "pop3": "files"}


def render():
    rows = [("figure", "small", "middle", "large", "large/small")]
    for label, key, sizes, fmt in TABLE:
        unit = SIZE_NAMES[key.split("_")[0]]
        cells = ["%s (%s)" % (cell(key, s, fmt), "%d %s" % (s, unit)) for s in sizes]
        if len(sizes) == 2:
            cells.insert(1, "-")
        r = ratio_of(key, sizes[-1], sizes[0])
        rows.append((label,) + tuple(cells) + ("n/a" if r is None else "%.2fx" % r,))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = []
    for n, r in enumerate(rows):
        lines.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def goals():
    g = bench.goal_line
    out = []

    def under_ratio(text, key, sizes, bound):
        r = ratio_of(key, sizes[-1], sizes[0])
        out.append(g(text, r and "%.2fx" % r, None if r is None else r < bound))

    under_ratio("access list: 1000 rules cost under 2x of 10 rules (CPU/req)", "access_cpu", RULE_COUNTS, 2)
    under_ratio("users: 10,000 users cost under 2x of 10 users (CPU/req)", "users_cpu", USER_COUNTS, 2)
    t = results.get("cache_start_trusted", {})
    big, small = t.get(CACHE_COUNTS[-1]), t.get(CACHE_COUNTS[0])
    ok = None if big is None or small is None else big < 2 * small or big < 0.5
    out.append(g("cache: start-up with a trusted status.bin, %d objects under 2x of %d or under 0.5 s"
                 % (CACHE_COUNTS[-1], CACHE_COUNTS[0]),
                 big is not None and small is not None and "%.3f s vs %.3f s" % (big, small) or None, ok))
    under_ratio("cache: garbage run linear (us/object at %d under 2x of %d)" % (CACHE_COUNTS[-1], CACHE_COUNTS[0]),
                "garbage_us_per_object", CACHE_COUNTS, 2)
    under_ratio("cache: CPU per hit at %d objects under 1.5x of %d" % (CACHE_COUNTS[-1], CACHE_COUNTS[0]),
                "cache_hit_cpu", CACHE_COUNTS, 1.5)
    share = results.get("cache_hit_share", {})
    ok = None if len(share) < len(CACHE_COUNTS) else min(share.values()) == 100.0
    out.append(g("cache: every request of a stored object a hit, at every size",
                 share and ", ".join("%.1f %%" % share[c] for c in CACHE_COUNTS if c in share) or None, ok))
    first = results.get("log_first_ms", {}).get(LOG_SIZES_MB[-1])
    out.append(g("access log: first byte of a %d MB log under 100 ms" % LOG_SIZES_MB[-1],
                 first is not None and "%.1f ms" % first or None, None if first is None else first < 100))
    grow = results.get("log_pss_growth_kib", {})
    a, b = grow.get(LOG_SIZES_MB[-1]), grow.get(LOG_SIZES_MB[0])
    # Independent of the size: the 100 MB log grows the process no more than
    # the 1 MB one does, give or take 256 KiB of allocator noise.
    out.append(g("access log: memory while serving %d MB within 256 KiB of %d MB" % (LOG_SIZES_MB[-1], LOG_SIZES_MB[0]),
                 a is not None and b is not None and "%+d KiB vs %+d KiB" % (a, b) or None,
                 None if a is None or b is None else a - b <= 256))
    for cmd in ("stat", "list", "uidl"):
        key = "pop3_" + cmd
        big = results.get(key, {}).get(MAILBOX_COUNTS[-1])
        out.append(g("pop3: %s at %d files under 1 s" % (cmd.upper(), MAILBOX_COUNTS[-1]),
                     big is not None and "%.1f ms" % big or None, None if big is None else big < 1000))
        # Linear: the cost per message shown at the large size under 2x of the small one.
        per = {}
        for size in (MAILBOX_COUNTS[0], MAILBOX_COUNTS[-1]):
            v, shown = results.get(key, {}).get(size), results.get("pop3_shown", {}).get(size)
            per[size] = None if v is None or not shown else v / shown
        ok = None if None in per.values() else per[MAILBOX_COUNTS[-1]] < 2 * per[MAILBOX_COUNTS[0]] + 0.01
        out.append(g("pop3: %s linear (ms per message shown at %d under 2x of %d, +0.01 ms)"
                     % (cmd.upper(), MAILBOX_COUNTS[-1], MAILBOX_COUNTS[0]),
                     None if ok is None else "%.4f vs %.4f ms" % (per[MAILBOX_COUNTS[-1]], per[MAILBOX_COUNTS[0]]),
                     ok))
    return "\n".join(out)


# ------------------------------------------------------------------- main

def main():
    if not os.access(bench.KORVANET_BIN, os.X_OK):
        print("scale_bench: %s not found (run make all)" % bench.KORVANET_BIN, file=sys.stderr)
        return 2
    started = time.monotonic()
    with open("/proc/loadavg") as f:
        load_before = " ".join(f.read().split()[:3])
    os.chmod(TMP, 0o755)  # nginx's worker reads the objects from here
    ports = bench.free_ports(24)
    origin_port = ports.pop()
    only = set(os.environ.get("BENCH_SCALE_ROWS", "access users cache log pop3").split())
    origin = None
    try:
        if only & {"access", "users"}:
            origin = bench.start_origin(origin_port)
            if not bench.wait_port(origin, origin_port):
                print("origin failed to start: %s" % bench.output_tail("nginx"), file=sys.stderr)
                return 1
            if "access" in only:
                access_rows(origin_port, ports)
            if "users" in only:
                user_rows(origin_port, ports)
            bench.stop_server(origin)
        if "cache" in only:
            cache_rows(ports)
        if "log" in only:
            log_rows(ports)
        if "pop3" in only:
            pop3_rows(ports)
    finally:
        bench.stop_server(origin)
    print()
    print("Scale table: cost as the work grows, %s (ab c=%d, %d requests, median of %d rounds)"
          % (time.strftime("%Y-%m-%d %H:%M"), AB_LEVEL, REQUESTS, ROUNDS))
    print(render())
    print()
    print("Goals for korvanet (scale):")
    print(goals())
    if notes:
        print()
        print("Notes:")
        for n in dict.fromkeys(notes):
            print("  - " + n)
    with open("/proc/loadavg") as f:
        load_after = " ".join(f.read().split()[:3])
    print()
    print("took %.0f s on %d cores; load average before %s, after %s" % (
        time.monotonic() - started, os.cpu_count(), load_before, load_after))
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        rc = main()
    finally:
        if OWN_TMP:
            shutil.rmtree(TMP, ignore_errors=True)
    sys.exit(rc)
