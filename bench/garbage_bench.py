#!/usr/bin/python3
"""Times one garbage run of Korvanet's disk cache over many small objects.

Builds a cache directory of OBJECTS small object files (well-formed names and
headers, last written an hour ago, expiries spread over 30 days) with a
status.bin that describes them, starts Korvanet on it with CacheSize 1 (MB),
and sends one cacheable request through it: that write finds the cache over
its size and starts the garbage run. The run is over when status.bin shows
the merged totals (below 85 % of 1 MB). Everything is on 127.0.0.1 and under
one scratch directory; Korvanet is stopped before returning.

Standalone: garbage_bench.py [KORVANET_BIN] [OBJECTS]; bench.py calls measure().
"""
import hashlib
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
OBJECTS = 20000
HOSTS = 200
DATA_BYTES = 100
HEADER_FIXED = 17
RUN_LIMIT_S = 60          # the measurement gives up after this long
START_TIMEOUT_S = 10
POLL_S = 0.002
KEEP_SHARE = 891289.6     # a run stops below CacheSize x this many bytes


def write_cache(cache_dir, objects, seed=1, data_bytes=DATA_BYTES):
    """The object files and a status.bin that describes them (trusted once
    it counts over 1 MiB); returns the total bytes."""
    rng = random.Random(seed)
    old = time.time() - 3600
    now = int(time.time())
    total = 0
    data = b"d" * data_bytes
    for i in range(objects):
        host = "h%d.test" % (i % HOSTS)
        d = os.path.join(cache_dir, host + ".dns")
        if i < HOSTS:
            os.makedirs(d, exist_ok=True)
        url = ("http://%s/object/%d" % (host, i)).encode()
        key = hashlib.md5(b"GET " + url).hexdigest()
        path = os.path.join(d, "0%s.cch" % key)
        expiry = now + rng.randrange(1, 30 * 86400)
        body = struct.pack("<BIIq", 0, HEADER_FIXED + len(url) + 1, 1, expiry) + url + b"\0" + data
        with open(path, "wb") as f:
            f.write(body)
        os.utime(path, (old, old))
        total += len(body)
    with open(os.path.join(cache_dir, "status.bin"), "wb") as f:
        f.write(struct.pack("<8i", total, total, 0, 0, objects, objects, 0, 0))
    return total


def status_bytes(cache_dir):
    try:
        with open(os.path.join(cache_dir, "status.bin"), "rb") as f:
            raw = f.read(32)
    except OSError:
        return None
    return struct.unpack("<8i", raw)[0] if len(raw) == 32 else None


def count_objects(cache_dir):
    """Objects left; the run's last step may remove emptied host directories
    while this counts."""
    n = 0
    for entry in os.scandir(cache_dir):
        if entry.is_dir() and entry.name.endswith(".dns"):
            try:
                n += sum(1 for f in os.scandir(entry.path) if f.name.endswith(".cch"))
            except FileNotFoundError:
                continue
    return n


class TinyOrigin:
    """Answers every request with a small cacheable response: `body(n)` of the
    n-th request (default: the same text every time)."""

    def __init__(self, body=lambda n: b"new object", backlog=8):
        self.body = body
        self.served = 0
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((HOST, 0))
        self.sock.listen(backlog)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(5)
                try:
                    data = b""
                    while b"\r\n\r\n" not in data and len(data) < 65536:
                        chunk = conn.recv(4096)
                        if not chunk:
                            break
                        data += chunk
                    self.served += 1
                    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + self.body(self.served))
                except OSError:
                    pass

    def close(self):
        self.sock.close()


def free_port(tries=500):
    """A free port below 20000: Korvanet's port settings stop there."""
    rng = random.Random()
    for _ in range(tries):
        port = rng.randrange(10000, 20000)
        with socket.socket() as s:
            try:
                s.bind((HOST, port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port")


def proxy_get(port, url, timeout=10):
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(("GET %s HTTP/1.0\r\n\r\n" % url).encode())
        data = b""
        while len(data) < 1 << 20:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return data


def default_start(argv, env, cwd):
    return subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def measure(korvanet_bin, workdir, objects=OBJECTS, start=default_start, data_bytes=DATA_BYTES, fill=True):
    """{"seconds", "objects", "left", "bytes_before", "bytes_after"} of one run,
    or {"error": text}. start(argv, env, cwd) returns a Popen; it is stopped here.
    With fill false, workdir/cache already holds the objects and a status.bin
    of their totals (objects is then only reported)."""
    cache_dir = os.path.join(workdir, "cache")
    os.makedirs(cache_dir, exist_ok=True)
    before = write_cache(cache_dir, objects, data_bytes=data_bytes) if fill else status_bytes(cache_dir)
    port = free_port()
    admin = free_port()
    while admin == port:
        admin = free_port()
    reg = os.path.join(workdir, "registry.reg")
    with open(reg, "w") as f:
        f.write("Windows Registry Editor Version 5.00\n\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet]\n"
                '"ProxyPort"=dword:%08x\n"AdminPort"=dword:%08x\n'
                '"EnableCache"=dword:00000001\n"CacheSize"=dword:00000001\n"LogAccess"=dword:00000000\n'
                '"CacheDir"="%s"\n"LogsDir"="%s"\n' % (port, admin, cache_dir, os.path.join(workdir, "logs")))
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env.update(KORVANET_REGISTRY=reg, KORVANET_HOME=workdir + "/")
    origin = TinyOrigin()
    proc = start([korvanet_bin], env, workdir)
    try:
        deadline = time.monotonic() + START_TIMEOUT_S
        while True:
            try:
                socket.create_connection((HOST, port), timeout=0.5).close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    return {"error": "korvanet did not start"}
                time.sleep(0.05)
        # The write that finds the cache over its size pulses the run.
        t0 = time.monotonic()
        threading.Thread(target=proxy_get, args=(port, "http://%s:%d/trigger" % (HOST, origin.port)),
                         daemon=True).start()
        after = None
        while time.monotonic() - t0 < RUN_LIMIT_S:
            b = status_bytes(cache_dir)
            if b is not None and b < KEEP_SHARE:
                after = b
                break
            time.sleep(POLL_S)
        seconds = time.monotonic() - t0
        if after is None:
            return {"error": "no garbage run finished within %d s" % RUN_LIMIT_S}
        return {"seconds": seconds, "objects": objects, "left": count_objects(cache_dir),
                "bytes_before": before, "bytes_after": after}
    finally:
        origin.close()
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    korvanet_bin = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build", "korvanet"))
    objects = int(sys.argv[2]) if len(sys.argv) > 2 else OBJECTS
    workdir = tempfile.mkdtemp(prefix="korvanet-garbage.")
    try:
        r = measure(korvanet_bin, workdir, objects)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    if "error" in r:
        print("garbage run: " + r["error"])
        return 1
    print("garbage run over %d objects (%d bytes): %.3f s; %d objects, %d bytes left"
          % (r["objects"], r["bytes_before"], r["seconds"], r["left"], r["bytes_after"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
