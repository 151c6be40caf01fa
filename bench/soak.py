#!/usr/bin/python3
"""Soak: Korvanet under a steady mix of 120 connections for SOAK_MINUTES
(default 20), in a private network namespace (run through scripts/in-netns.sh
by `make soak`). Fixed shares of worker threads, each with one connection at a
time and a bounded loop:

    proxy GET   50  nginx objects through the proxy, hits (one object) and
                    misses (a fresh query each time), length and hash checked
    CONNECT     20  tunnels to an echo server, every byte echoed back
    SOCKS 5     20  CONNECT to the same echo server
    SMTP        26  one message per session to one of four local users
    POP3         4  one worker per user: RETR every message, DELE, QUIT

Every 10 s it samples the server's PSS, descriptors, threads and CPU. At the
end every message answered 250 must have been retrieved exactly once, the
121st connection opened while 120 tunnels are held must wait and then be
served, and SIGTERM must end the server with status 0 within 15 s. Before
that, each kind runs alone for a while, to tell its CPU per unit apart.

Standalone: soak.py [KORVANET_BIN]; SOAK_MINUTES sets the length."""
import hashlib
import os
import poplib
import re
import signal
import smtplib
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the shared process and registry helpers)

MINUTES = float(os.environ.get("SOAK_MINUTES", "20"))
SAMPLE_S = 10
WARMUP_S = min(120, MINUTES * 60 / 4)
ALONE_S = min(30, max(5, MINUTES * 3))  # each kind's run alone, for its CPU per unit
SHARES = {"proxy": 50, "connect": 20, "socks": 20, "smtp": 26, "pop3": 4}
USERS = ("ann", "bob", "cy", "dan")
IO_TIMEOUT_S = 30
SOCKS_PORT = 1080  # the setting stops at 10000, below the bench's free ports; the namespace is ours
STOP_LIMIT_S = 15
PARK_S = 30


class Tally:
    """Counts per service, and what the checks found."""

    def __init__(self):
        self.lock = threading.Lock()
        self.done = {k: 0 for k in SHARES}
        self.errors = {}
        self.acked = {u: set() for u in USERS}
        self.retrieved = {u: {} for u in USERS}
        self.active = 0
        self.most_active = 0

    def ok(self, kind):
        with self.lock:
            self.done[kind] += 1

    def error(self, kind, what):
        with self.lock:
            key = f"{kind}: {what}"
            self.errors[key] = self.errors.get(key, 0) + 1

    def enter(self):
        with self.lock:
            self.active += 1
            self.most_active = max(self.most_active, self.active)

    def leave(self):
        with self.lock:
            self.active -= 1


def read_response(s):
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            return data
        data += chunk


def proxy_get(port, url):
    with socket.create_connection((bench.HOST, port), timeout=IO_TIMEOUT_S) as s:
        s.sendall(f"GET {url} HTTP/1.0\r\n\r\n".encode())
        return read_response(s)


def body_of(response):
    head, _, body = response.partition(b"\r\n\r\n")
    return head.split(b"\r\n", 1)[0], body


def tunnel_through_proxy(port, echo_port):
    s = socket.create_connection((bench.HOST, port), timeout=IO_TIMEOUT_S)
    s.sendall(f"CONNECT {bench.HOST}:{echo_port} HTTP/1.0\r\n\r\n".encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            raise OSError("tunnel refused")
        head += chunk
    if not head.startswith(b"HTTP/1.0 200"):
        raise OSError(head.split(b"\r\n", 1)[0].decode("latin-1"))
    return s


def tunnel_through_socks(port, echo_port):
    s = socket.create_connection((bench.HOST, port), timeout=IO_TIMEOUT_S)
    s.sendall(b"\x05\x01\x00")
    if s.recv(2) != b"\x05\x00":
        raise OSError("socks method refused")
    s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton(bench.HOST) + struct.pack(">H", echo_port))
    reply = b""
    while len(reply) < 10:
        chunk = s.recv(10 - len(reply))
        if not chunk:
            raise OSError("socks closed")
        reply += chunk
    if reply[1] != 0:
        raise OSError(f"socks reply {reply[1]}")
    return s


def echo_round(s, payload):
    s.sendall(payload)
    got = b""
    while len(got) < len(payload):
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
    return got == payload


def message(tag):
    body = b"".join(b"line %d of %s\r\n" % (i, tag.encode()) for i in range(40))
    return b"Subject: %s\r\nMessage-Id: <%s@soak>\r\n\r\n" % (tag.encode(), tag.encode()) + body


class Soak:
    def __init__(self, ports, tally, stop):
        self.proxy_port, self.socks, self.smtp, self.pop3, self.origin, self.echo = ports
        self.tally = tally
        self.stop = stop
        self.small = bench.SMALL_BYTES * b"k"
        self.small_hash = hashlib.sha256(self.small).digest()
        self.phase = 0  # part of every tag and query, so a later phase repeats none

    def run(self, kind, index):
        work = getattr(self, kind + "_work")
        n = 0
        while not self.stop.is_set():
            n += 1
            self.tally.enter()
            try:
                work(index, n)
                self.tally.ok(kind)
            except (OSError, smtplib.SMTPException, poplib.error_proto) as e:
                self.tally.error(kind, type(e).__name__)
            finally:
                self.tally.leave()

    def proxy_work(self, index, n):
        # Half the workers ask for the one object (hits), half for a fresh one.
        query = "" if index % 2 else f"?w{index}n{n}p{self.phase}"
        status, body = body_of(proxy_get(self.proxy_port, f"http://{bench.HOST}:{self.origin}/1k{query}"))
        if not status.startswith(b"HTTP/1.1 200") and not status.startswith(b"HTTP/1.0 200"):
            raise OSError(status.decode("latin-1"))
        if hashlib.sha256(body).digest() != self.small_hash:
            self.tally.error("proxy", "wrong body")

    def connect_work(self, index, n):
        with tunnel_through_proxy(self.proxy_port, self.echo) as s:
            for i in range(5):
                if not echo_round(s, b"%d-%d-%d " % (index, n, i) * 100):
                    self.tally.error("connect", "echo differs")

    def socks_work(self, index, n):
        with tunnel_through_socks(self.socks, self.echo) as s:
            for i in range(5):
                if not echo_round(s, b"s%d-%d-%d " % (index, n, i) * 100):
                    self.tally.error("socks", "echo differs")

    def smtp_work(self, index, n):
        user = USERS[(index + n) % len(USERS)]
        tag = f"m{index}x{n}p{self.phase}"
        with smtplib.SMTP(bench.HOST, self.smtp, timeout=IO_TIMEOUT_S) as c:
            c.sendmail("<soak@here>", [f"<{user}>"], message(tag))
        with self.tally.lock:
            self.tally.acked[user].add(tag)

    def pop3_work(self, index, n):
        user = USERS[index]
        self.drain(user)
        self.stop.wait(0.2)

    def drain(self, user):
        c = poplib.POP3(bench.HOST, self.pop3, timeout=IO_TIMEOUT_S)
        try:
            c.user(user)
            c.pass_(user + "pw")
            count = len(c.list()[1])
            for i in range(1, count + 1):
                text = b"\r\n".join(c.retr(i)[1])
                m = re.search(rb"Subject: (\S+)", text)
                tag = m.group(1).decode() if m else "?"
                # poplib hands the lines over without their line ends.
                if m is None or text.split(b"\r\n\r\n", 1)[-1] + b"\r\n" != message(tag).split(b"\r\n\r\n", 1)[1]:
                    self.tally.error("pop3", "partial or foreign message")
                with self.tally.lock:
                    seen = self.tally.retrieved[user]
                    seen[tag] = seen.get(tag, 0) + 1
                c.dele(i)
            c.quit()
        except BaseException:
            c.close()
            raise


def registry(ports, home):
    proxy, admin, socks, smtp, pop3 = ports
    users = [f"{i:03d}<|>{u}<|>{hashlib.md5(f'{u}:Korvanet:{u}pw'.encode()).hexdigest()}<|><|>"
             for i, u in enumerate(USERS)]
    return bench.registry_text({
        "ProxyPort": proxy, "AdminPort": admin, "Socks5": 1, "Socks4": 0, "SocksPort": socks,
        "MailType": 1, "SmtpServerPort": smtp, "Pop3ServerPort": pop3, "SMTPServer": "upstream.invalid",
        "EnableCache": 1, "CacheSize": 50, "Timeout": 2, "LogAccess": 0, "HighPriorityMail": 0,
        "LogsDir": os.path.join(home, "logs"), "CacheDir": os.path.join(home, "cache"),
        "MailDir": os.path.join(home, "mail"),
    }, {"Users": users, "Groups": ["900<|>Admins"]})


def sample(pid, started):
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    threads = len(os.listdir(f"/proc/{pid}/task"))
    return {"t": time.monotonic() - started, "pss": bench.pss_kib(pid), "fds": fds, "threads": threads,
            "cpu": bench.cpu_ticks(pid) / bench.CLK_TCK}


def cpu_per_kind_alone(soak, pid):
    """Runs each kind's share of workers alone for ALONE_S seconds: the
    server's CPU per finished unit of that kind, in microseconds (None when
    none finished). One process serves every kind, so the shares are told
    apart only by running them apart."""
    result = {}
    for kind, count in SHARES.items():
        soak.stop = threading.Event()
        soak.phase += 1
        done, cpu = soak.tally.done[kind], bench.cpu_ticks(pid)
        workers = [threading.Thread(target=soak.run, args=(kind, i), daemon=True) for i in range(count)]
        for t in workers:
            t.start()
        time.sleep(ALONE_S)
        soak.stop.set()
        for t in workers:
            t.join(IO_TIMEOUT_S + 5)
        finished = soak.tally.done[kind] - done
        used = (bench.cpu_ticks(pid) - cpu) / bench.CLK_TCK
        result[kind] = used / finished * 1e6 if finished else None
    return result


def wait_of_the_121st(soak):
    """Holds 120 tunnels, opens one more, frees one: the seconds the 121st
    waited, or None when it was reset or never served."""
    held = []
    try:
        for _ in range(120):
            held.append(tunnel_through_proxy(soak.proxy_port, soak.echo))
        started = time.monotonic()
        extra = socket.create_connection((bench.HOST, soak.proxy_port), timeout=IO_TIMEOUT_S)
        extra.sendall(f"GET http://{bench.HOST}:{soak.origin}/1k HTTP/1.0\r\n\r\n".encode())
        time.sleep(1)
        held.pop().close()
        try:
            answer = read_response(extra)
        except ConnectionResetError:
            return None
        finally:
            extra.close()
        return time.monotonic() - started if answer.endswith(soak.small) else None
    finally:
        for s in held:
            s.close()


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else bench.KORVANET_BIN
    bench.own_scratch("kv-soak-")
    proxy, admin, smtp, pop3, origin_port, echo_port = bench.free_ports(6)
    socks = SOCKS_PORT
    servers = []
    status = 0
    try:
        origin, echo = bench.start_origin(origin_port), bench.start_echo(echo_port)
        servers += [origin, echo]
        if not bench.wait_port(origin, origin_port) or not bench.wait_port(echo, echo_port):
            print("origin or echo server did not start", file=sys.stderr)
            return 1
        korvanet, _ = bench.start_korvanet_at_home(binary, lambda home: registry((proxy, admin, socks, smtp, pop3), home))
        servers.append(korvanet)
        if not bench.wait_port(korvanet, proxy):
            print("korvanet did not start: " + bench.output_tail("korvanet"), file=sys.stderr)
            return 1

        tally, stop = Tally(), threading.Event()
        soak = Soak((proxy, socks, smtp, pop3, origin_port, echo_port), tally, stop)
        workers = [threading.Thread(target=soak.run, args=(kind, i), daemon=True)
                   for kind, count in SHARES.items() for i in range(count)]
        started = time.monotonic()
        idle = sample(korvanet.pid, started)
        for t in workers:
            t.start()
        samples = [idle]
        while time.monotonic() - started < MINUTES * 60:
            time.sleep(SAMPLE_S)
            if korvanet.proc.poll() is not None:
                print("korvanet ended during the soak: " + bench.output_tail("korvanet"), file=sys.stderr)
                return 1
            samples.append(sample(korvanet.pid, started))
            s = samples[-1]
            print(f"[soak] {s['t']:6.0f} s  PSS {s['pss'] / 1024:7.1f} MiB  fds {s['fds']:4d}  "
                  f"threads {s['threads']:4d}  cpu {s['cpu']:7.1f} s  done {sum(tally.done.values())}",
                  file=sys.stderr, flush=True)
        stop.set()
        for t in workers:
            t.join(IO_TIMEOUT_S + 5)
        alone = cpu_per_kind_alone(soak, korvanet.pid)
        for user in USERS:  # what the POP3 workers had not fetched yet
            soak.drain(user)
        waited = wait_of_the_121st(soak)
        time.sleep(2)
        end = sample(korvanet.pid, started)
        time.sleep(PARK_S + 5)  # a finished connection's thread waits this long for the next one
        quiet = sample(korvanet.pid, started)

        t0 = time.monotonic()
        korvanet.proc.send_signal(signal.SIGTERM)
        try:
            exit_status = korvanet.proc.wait(STOP_LIMIT_S)
        except subprocess.TimeoutExpired:
            exit_status = None
        stop_s = time.monotonic() - t0

        lost = dup = sent = 0
        for user in USERS:
            sent += len(tally.acked[user])
            lost += len(tally.acked[user] - set(tally.retrieved[user]))
            dup += sum(c - 1 for c in tally.retrieved[user].values() if c > 1)
        warm = next((s for s in samples if s["t"] >= WARMUP_S), samples[-1])
        hours = max((end["t"] - warm["t"]) / 3600, 1e-9)
        requests = sum(tally.done.values())
        print(f"minutes run        {end['t'] / 60:.1f}")
        print("finished per kind  " + ", ".join(f"{k} {v}" for k, v in tally.done.items()))
        print(f"most concurrent    {tally.most_active}")
        print("errors             " + (", ".join(f"{k} x{v}" for k, v in sorted(tally.errors.items())) or "none"))
        print("121st connection   " + ("reset or not served" if waited is None else f"served after {waited:.2f} s"))
        for name, s in (("idle", idle), ("after warm-up", warm), ("end", end), (f"{PARK_S + 5} s later", quiet)):
            print(f"{name:<18} PSS {s['pss'] / 1024:.1f} MiB, {s['fds']} descriptors, {s['threads']} threads")
        print(f"PSS slope          {(end['pss'] - warm['pss']) / 1024 / hours:+.2f} MiB per hour after warm-up")
        print(f"CPU per finished   {(end['cpu'] - idle['cpu']) / max(requests, 1) * 1e6:.0f} us (all kinds together)")
        print("CPU per finished, each kind alone for %.0f s: " % ALONE_S
              + ", ".join(f"{k} {us:.0f} us" if us is not None else f"{k} -" for k, us in alone.items()))
        print(f"messages           sent {sent}, lost {lost}, duplicated {dup}")
        print(f"SIGTERM            exit {exit_status} after {stop_s:.2f} s")
        if lost or dup or waited is None or exit_status != 0 or stop_s > STOP_LIMIT_S \
                or end["pss"] - warm["pss"] > 1024 and MINUTES >= 20 \
                or any("differs" in k or "wrong" in k or "partial" in k for k in tally.errors):
            status = 1
    finally:
        for s in reversed(servers):
            bench.stop_server(s)
    return status


if __name__ == "__main__":
    sys.exit(main())
