"""The disk cache seen from outside: a counting origin on loopback, raw sockets
as browsers, and the object files, status.bin and registry counters on disk."""
import hashlib
import os
import socket
import struct
import threading
import time
from pathlib import Path

import pytest

from clients import exchange, proxy_get
from harness import KEY, parse_registry
from peers import LoopbackServer

PROXY, ADMIN = 7138, 7139
HEADER_FIXED = 17          # format, data offset, hits, expiry
DAY = 86400


def ok(body=b"hello", extra=b""):
    return b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n" + extra + b"\r\n" + body


def start(korvanet, settings=None, lists=None, home=None):
    base = {"ProxyPort": PROXY, "AdminPort": ADMIN, "LogAccess": 1, "Timeout": 2, "EnableCache": 1}
    base.update(settings or {})
    return korvanet(base, lists, home=home)


def ask(raw, timeout=15):
    return exchange(raw, PROXY, timeout)


def get(port, path, extra=b""):
    """A GET of path on the origin at port, through the proxy."""
    return proxy_get(PROXY, f"http://127.0.0.1:{port}{path}", extra, timeout=15)


def object_path(srv, port, path, kind=0, host="127.0.0.1"):
    key = hashlib.md5(f"GET http://{host}:{port}{path}".encode()).hexdigest()
    return Path(srv.settings["CacheDir"]) / f"{host}.dns" / f"{kind}{key}.cch"


def read_object(p):
    """(format, hits, expiry, url, data) of an object file."""
    raw = p.read_bytes()
    fmt, offset, hits, expiry = struct.unpack_from("<BIIq", raw, 0)
    url = raw[HEADER_FIXED:offset - 1].decode()
    assert raw[offset - 1] == 0
    return fmt, hits, expiry, url, raw[offset:]


def write_object(p, url, data, expiry, fmt=0, mtime=None):
    p.parent.mkdir(parents=True, exist_ok=True)
    u = url.encode()
    p.write_bytes(struct.pack("<BIIq", fmt, HEADER_FIXED + len(u) + 1, 1, expiry) + u + b"\0" + data)
    if mtime is not None:
        os.utime(p, (mtime, mtime))


def status_totals(srv):
    # The totals; a running server keeps one byte more after them.
    return struct.unpack("<8i", (Path(srv.settings["CacheDir"]) / "status.bin").read_bytes()[:32])


def disk_totals(cache_dir):
    """The eight totals counted from the files, as the cache counts them."""
    t = [0] * 8
    for d in Path(cache_dir).glob("*.dns"):
        for f in d.glob("*.cch"):
            kind = f.name[0]
            if kind in "012":
                k = int(kind)
                size = f.stat().st_size
                t[0] += size
                t[1 + k] += size
                t[4] += 1
                t[5 + k] += 1
    return tuple(t)


def wait_for(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def wait_ready(srv, o):
    """Until the cache stores objects (a rescan may run at start)."""
    n = [0]

    def stored():
        n[0] += 1
        get(o.port, f"/ready{n[0]}")
        return object_path(srv, o.port, f"/ready{n[0]}").exists()
    assert wait_for(stored)


def statistics(srv):
    return parse_registry(srv.registry).get(KEY + "\\Status", {})


# ---------------------------------------------------------------- store and hit

def test_second_get_is_a_hit_with_identical_bytes(korvanet, origin):
    srv = start(korvanet)
    body = bytes(range(256)) * 100
    o = origin(lambda path, n: ok(body, b"Expires: Thu, 01 Dec 1994 16:00:00 GMT\r\nX-N: %d\r\n" % n))
    first = get(o.port, "/a.bin")
    assert first == ok(body, b"X-N: 1\r\n")          # the Expires line never passes
    before = time.time()
    second = get(o.port, "/a.bin")
    assert second == first and o.count() == 1

    fmt, hits, expiry, url, data = read_object(object_path(srv, o.port, "/a.bin"))
    assert (fmt, hits, url, data) == (0, 2, f"http://127.0.0.1:{o.port}/a.bin", first)
    assert abs(expiry - (before + 20 * DAY)) < 60    # HttpTTL 20 days
    # A hit writes no access-log line; the fetch wrote one.
    assert srv.wait_log("http-proxy.log", "/a.bin")
    assert srv.read_log("http-proxy.log").count("/a.bin") == 1

    srv.stop()
    assert statistics(srv)["Hit"] == 1 and statistics(srv)["Miss"] == 1
    assert status_totals(srv) == disk_totals(srv.settings["CacheDir"])


# A hit sends its first block as read, then the rest straight from the file:
# sizes around the block and past several of them must arrive whole.
@pytest.mark.parametrize("size", [100, 8191, 8192, 8193, 3 * 8192, 200_001])  # MaxHttpSize: 256 KB
def test_a_hit_of_any_size_is_byte_exact(korvanet, origin, size):
    srv = start(korvanet)
    size_of_head = len(ok(b"", b"X-N: 1\r\n"))
    body = (bytes(range(251)) * (size // 251 + 1))[:size - size_of_head]
    o = origin(lambda path, n: ok(body, b"X-N: %d\r\n" % n))
    first = get(o.port, "/sized.bin")
    assert first == ok(body, b"X-N: 1\r\n")
    assert get(o.port, "/sized.bin") == first and get(o.port, "/sized.bin") == first
    assert o.count() == 1
    assert read_object(object_path(srv, o.port, "/sized.bin"))[1] == 3


@pytest.mark.parametrize("settings, lists, answer, stored", [
    ({}, None, b"HTTP/1.0 404 Not Found\r\n\r\nnone", False),
    ({}, None, ok(extra=b"Pragma: no-cache\r\n"), False),
    ({}, None, ok(extra=b"pragma: no-cache\r\n"), False),
    ({"IgnoreNo_Cache": 1}, None, ok(extra=b"Pragma: no-cache\r\n"), True),
    ({}, None, b"HTTP/1.0 302 Found\r\nLocation: /b\r\n\r\n", True),     # header alone counts as sent
    ({}, None, ok(b""), False),                                            # nothing sent: not kept
    ({}, {"TTLs": ["0<|>http://127.0.0.1*<|>"]}, ok(), False),
    ({}, {"TTLs": ["3<|>http://127.0.0.1*<|>"]}, ok(), True),
    ({"MaxHttpSize": 1}, None, ok(b"x" * 2000), False),                    # over 1 KiB: deleted at finish
    ({"EnableCache": 0}, None, ok(), False),
])
def test_what_is_stored(korvanet, origin, settings, lists, answer, stored):
    srv = start(korvanet, settings, lists)
    o = origin(lambda path, n: answer)
    assert get(o.port, "/x") == answer
    assert get(o.port, "/x") == answer
    p = object_path(srv, o.port, "/x")
    assert p.exists() == stored
    assert o.count() == (1 if stored else 2)
    if not stored and settings.get("EnableCache", 1):
        assert not p.parent.exists()                  # a discarded last object takes its directory
    if "TTLs" in (lists or {}) and stored:
        assert abs(read_object(p)[2] - (time.time() + 3 * DAY)) < 60


def test_request_with_pragma_goes_to_origin_and_rewrites(korvanet, origin):
    srv = start(korvanet)
    o = origin(lambda path, n: ok(b"v%d" % n))
    assert get(o.port, "/p").endswith(b"v1")
    assert get(o.port, "/p", b"Pragma: no-cache\r\n").endswith(b"v2")
    assert get(o.port, "/p").endswith(b"v2")
    assert o.count() == 2
    srv.stop()
    assert status_totals(srv) == disk_totals(srv.settings["CacheDir"])
    assert status_totals(srv)[4] == 1


def test_expired_object_is_refetched_and_rewritten(korvanet, origin):
    srv = start(korvanet)
    o = origin(lambda path, n: ok(b"version %d" % n))
    assert get(o.port, "/e").endswith(b"version 1")
    p = object_path(srv, o.port, "/e")
    raw = bytearray(p.read_bytes())
    struct.pack_into("<q", raw, 9, int(time.time()) - 10)
    p.write_bytes(bytes(raw))
    assert get(o.port, "/e").endswith(b"version 2")
    fmt, hits, expiry, _, data = read_object(p)
    assert data.endswith(b"version 2") and hits == 1 and expiry > time.time() + 19 * DAY
    assert get(o.port, "/e").endswith(b"version 2")
    assert o.count() == 2
    srv.stop()
    assert status_totals(srv) == disk_totals(srv.settings["CacheDir"])


def test_unfinished_object_is_never_served(korvanet, origin):
    # A writer that vanished (crash) leaves format byte 1: fetched anew.
    srv = start(korvanet)
    o = origin(lambda path, n: ok(b"fresh"))
    p = object_path(srv, o.port, "/u")
    write_object(p, f"http://127.0.0.1:{o.port}/u", ok(b"partial"), int(time.time()) + DAY, fmt=1)
    assert get(o.port, "/u") == ok(b"fresh")
    assert read_object(p)[0] == 0 and o.count() == 1


def test_refresh_deletes_the_object(korvanet, origin):
    srv = start(korvanet)
    o = origin(lambda path, n: ok(b"r%d" % n))
    get(o.port, "/r.html")
    p = object_path(srv, o.port, "/r.html")
    assert p.exists()
    answer = get(o.port, "/r.html;refresh")
    assert answer.startswith(b"HTTP/1.0 301 Moved Permanently\r\n")
    assert not p.exists() and not p.parent.exists()
    assert get(o.port, "/r.html").endswith(b"r2")
    srv.stop()
    assert status_totals(srv) == disk_totals(srv.settings["CacheDir"])


# ------------------------------------------------------- growing objects, aborts

def slow_answer(parts=8, delay=0.25, size=4000):
    head = b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n"
    body = [bytes([65 + i]) * size for i in range(parts)]
    return head, body, [(0, head)] + [(delay, b) for b in body]


def test_second_browser_follows_a_growing_object(korvanet, origin):
    srv = start(korvanet)
    head, body, pieces = slow_answer()
    o = origin(lambda path, n: pieces)
    results = {}

    def browse(name):
        results[name] = get(o.port, "/slow.bin")
    first = threading.Thread(target=browse, args=("first",))
    first.start()
    assert wait_for(lambda: object_path(srv, o.port, "/slow.bin").exists(), 5)
    time.sleep(0.5)
    second = threading.Thread(target=browse, args=("second",))
    second.start()
    first.join(20)
    second.join(20)
    whole = head + b"".join(body)
    assert results["first"] == whole and results["second"] == whole
    assert o.count() == 1
    assert read_object(object_path(srv, o.port, "/slow.bin"))[4] == whole


def test_second_browser_stops_at_what_exists_when_the_download_breaks(korvanet, origin):
    start(korvanet, {"KeepAborted": 1})
    head, body, pieces = slow_answer(parts=6)
    o = origin(lambda path, n: pieces[:3] + [(0.3, "RST")])
    results = {}

    def browse(name):
        results[name] = get(o.port, "/broken.zip")
    first = threading.Thread(target=browse, args=("first",))
    first.start()
    time.sleep(0.4)
    second = threading.Thread(target=browse, args=("second",))
    second.start()
    first.join(20)
    second.join(20)
    partial = head + b"".join(body[:2])
    assert results["first"] == partial
    assert partial.startswith(results["second"]) and len(results["second"]) > len(head)
    assert o.count() == 1


@pytest.mark.parametrize("continue_aborted, path, kept", [
    (1, "/big.zip", "whole"),
    (0, "/big.zip", None),        # discarded: .zip is not kept when aborted
    (0, "/big.gif", "partial"),   # KeepAborted keeps a partial .gif
])
def test_browser_that_disconnects(korvanet, origin, continue_aborted, path, kept):
    srv = start(korvanet, {"ContinueAborted": continue_aborted, "MaxHttpSize": 2000})
    head, body, pieces = slow_answer(parts=10, delay=0.15, size=100000)
    o = origin(lambda p, n: pieces)
    s = socket.create_connection(("127.0.0.1", PROXY), timeout=10)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(f"GET http://127.0.0.1:{o.port}{path} HTTP/1.0\r\n\r\n".encode())
    got = b""
    while len(got) < len(head) + 1000:
        chunk = s.recv(4096)
        assert chunk
        got += chunk
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()                                          # the browser goes away with a reset
    p = object_path(srv, o.port, path)
    time.sleep(10 * 0.15 + 1.0)               # the origin has sent everything
    whole = head + b"".join(body)
    if kept is None:
        assert not p.exists()
    else:
        assert wait_for(lambda: p.exists() and read_object(p)[0] == 0)
        data = read_object(p)[4]
        assert (data == whole) if kept == "whole" else (whole.startswith(data) and len(data) < len(whole))


@pytest.mark.parametrize("keep_aborted, path, kept", [
    (1, "/pic.gif", True),
    (1, "/arch.zip", False),
    (0, "/pic.gif", False),
])
def test_origin_that_dies_mid_body(korvanet, origin, keep_aborted, path, kept):
    srv = start(korvanet, {"KeepAborted": keep_aborted})
    head = b"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"
    o = origin(lambda p, n: [(0, head + b"z" * 30000), (0.2, "RST")])
    answer = get(o.port, path)
    assert answer == head + b"z" * 30000
    p = object_path(srv, o.port, path)
    assert p.exists() == kept
    if kept:
        assert read_object(p)[4] == answer
        # Kept as it was: served as it is.
        assert get(o.port, path) == answer and o.count() == 1


# ------------------------------------------------------------------ names

@pytest.mark.parametrize("host, cached", [
    ("example.test", True),
    ("..", False),
    ("a..b", False),
    (".hidden", False),
    ("a\\b", False),
])
def test_request_host_becomes_a_directory_only_when_safe(korvanet, origin, tmp_path, host, cached):
    # The host never resolves: a parent proxy (the origin) fetches everything.
    parent = origin(lambda p, n: ok(b"via parent"))
    srv = start(korvanet, {"ParentProxy": "127.0.0.1", "ParentProxyPort": parent.port})
    answer = ask(f"GET http://{host}/x HTTP/1.0\r\n\r\n".encode())
    assert answer == ok(b"via parent")
    cache_dir = Path(srv.settings["CacheDir"])
    dirs = sorted(p.name for p in cache_dir.iterdir() if p.is_dir())
    assert dirs == ([f"{host}.dns"] if cached else [])
    # Nothing appeared beside the cache directory.
    assert {p.name for p in cache_dir.parent.iterdir()} <= {
        "cache", "logs", "mail", "registry.reg", "registry.reg.lock", "stdout.txt"}


# -------------------------------------------------------------- garbage, start

def test_garbage_run_deletes_earliest_expiring_first(korvanet, origin, tmp_path):
    home = tmp_path / "kv"
    cache_dir = home / "cache"
    now = int(time.time())
    size = 40000
    old, expiries = [], {}
    # 40 objects of 40 kB (1.6 MB): old, expiring one hour apart, listed in
    # no particular order.
    for i in range(40):
        key = hashlib.md5(b"obj%d" % i).hexdigest()
        p = cache_dir / f"h{i % 3}.test.dns" / f"0{key}.cch"
        expiries[p] = now + DAY + ((i * 17) % 40) * 3600
        write_object(p, f"http://h{i % 3}.test/{i}", b"d" * size, expiries[p], mtime=now - 3600)
        old.append(p)
    # Written "after the run began" as far as their times say: they stay,
    # however early they expire.
    young = cache_dir / "young.test.dns" / f"0{hashlib.md5(b'young').hexdigest()}.cch"
    write_object(young, "http://young.test/", b"y" * size, now - DAY, mtime=now + 3600)
    o = origin(lambda p, n: ok(b"n" * 1000))
    srv = start(korvanet, {"CacheSize": 1}, home=home)
    wait_ready(srv, o)                      # the first write over the limit starts the run
    keep_below = 891289.6

    def settled():
        left = [p for p in old if p.exists()]
        return len(left) < 40 and not (cache_dir / "ghash.bin").exists()
    assert wait_for(settled)
    time.sleep(0.5)
    left = [p for p in old if p.exists()]
    gone = [p for p in old if not p.exists()]
    total_left = sum(p.stat().st_size for p in left)
    assert total_left < keep_below
    # One more deletion would not have been needed.
    assert total_left + left[0].stat().st_size >= keep_below if left else True
    assert max(expiries[p] for p in gone) <= min(expiries[p] for p in left)
    assert young.exists()
    assert object_path(srv, o.port, "/ready1").exists()
    srv.stop()
    assert statistics(srv)["GarbageCount"] >= 1
    # The run counts what it listed plus what connections changed meanwhile;
    # the young file was neither.
    young_size = young.stat().st_size
    expected = list(disk_totals(cache_dir))
    for i in (0, 1):
        expected[i] -= young_size
    for i in (4, 5):
        expected[i] -= 1
    assert status_totals(srv) == tuple(expected)
    assert not any((cache_dir / n).exists() for n in ("gdns.bin", "ghash.bin"))


def write_status(cache_dir, totals):
    cache_dir.mkdir(parents=True, exist_ok=True)
    (cache_dir / "status.bin").write_bytes(struct.pack("<8i", *totals) if len(totals) == 8 else totals)


@pytest.mark.parametrize("status, trusted", [
    ((5_000_000, 5_000_000, 0, 0, 60, 60, 0, 0), True),
    ((5_000_000, 5_000_000, 0, 0, 40, 40, 0, 0), False),     # fewer than 50 objects
    ((1_048_575, 1_048_575, 0, 0, 60, 60, 0, 0), False),     # not more than 1 MiB
    (b"\x01" * 10, False),                                    # short
    (struct.pack("<8i", 5_000_000, 5_000_000, 0, 0, 60, 60, 0, 0) + b"\0", False),  # its server was killed
])
def test_start_trusts_status_bin_or_rescans(korvanet, origin, tmp_path, status, trusted):
    home = tmp_path / "kv"
    cache_dir = home / "cache"
    write_status(cache_dir, status)
    now = int(time.time())
    for i, kind in enumerate("0012x"):
        write_object(cache_dir / "s.test.dns" / f"{kind}{hashlib.md5(b'%d' % i).hexdigest()}.cch",
                     f"http://s.test/{i}", b"q" * (100 * (i + 1)), now + DAY)
    srv = start(korvanet, home=home)
    time.sleep(0.5)
    assert (cache_dir / "status.bin").stat().st_size == 33
    srv.stop()
    assert (cache_dir / "status.bin").stat().st_size == 32
    if trusted:
        assert status_totals(srv) == status[:8]
    else:
        assert status_totals(srv) == disk_totals(cache_dir)
        assert status_totals(srv)[4] == 4                   # the 'x' file counts in neither


def test_cache_dir_too_long_leaves_proxy_working(korvanet, origin, tmp_path):
    srv = start(korvanet, {"CacheDir": "/tmp/" + "d" * 220})
    o = origin(lambda p, n: ok(b"plain"))
    assert get(o.port, "/z") == ok(b"plain")
    assert get(o.port, "/z") == ok(b"plain")
    assert o.count() == 2
    assert srv.wait_log("error.log", "cache dir too long, can't start cache")


def test_an_ftp_request_the_engine_cannot_serve_leaves_no_object(korvanet):
    class Greeter(LoopbackServer):
        def __init__(self):
            self.connections = 0
            super().__init__()

        def handle(self, conn):
            self.connections += 1
            with conn:
                conn.sendall(b"220 ready\r\n")

    srv = start(korvanet)
    ftp = Greeter()
    for _ in range(2):
        ask(f"GET ftp://127.0.0.1:{ftp.port}/pub/file.txt HTTP/1.0\r\n\r\n".encode())
    # Nothing was fetched, so nothing is stored: the second request goes out again.
    assert wait_for(lambda: ftp.connections == 2)
    assert not object_path(srv, ftp.port, "/pub/file.txt", kind=1).exists()
    assert wait_for(lambda: srv.read_log("http-proxy.log").count("/pub/file.txt") == 2)
    ftp.close()
