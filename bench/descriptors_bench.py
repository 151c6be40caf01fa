#!/usr/bin/python3
"""Out of descriptors: the release server started with `prlimit --nofile=64`
and every service on, then held out of descriptors for HOLD_S seconds by
idle proxy clients. Prints the 3405 entries per minute, the server's CPU
while it is out, and, once the idle clients close, how long each service
takes to answer a fresh client again (each asked while still out, so it
waits in its listen queue).

Runs in a private network namespace (`make descriptors` goes through
scripts/in-netns.sh); standalone: descriptors_bench.py [KORVANET_BIN]."""
import os
import re
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the shared process and registry helpers)

LIMIT = 64
IDLE_CLIENTS = 120
HOLD_S = 60
ANSWER_LIMIT_S = 20
PORTS = {"proxy": 7228, "admin": 7229, "SOCKS": 7230, "SMTP": 7225, "POP3": 7210}
# What each service sends first to a fresh client, and the bytes that start it.
PROBES = {
    "proxy": (b"GET http://127.0.0.1:1/ HTTP/1.0\r\n\r\n", b"HTTP/1.0 "),
    "admin": (b"GET /admin/main HTTP/1.0\r\n\r\n", b"HTTP/1.0 "),
    "SOCKS": (b"\x05\x01\x00", b"\x05\x00"),
    "SMTP": (b"", b"220 "),
    "POP3": (b"", b"+OK"),
}


def settings(home):
    p = PORTS
    return {"ProxyPort": p["proxy"], "AdminPort": p["admin"], "Socks5": 1, "SocksPort": p["SOCKS"], "MailType": 1,
            "SMTPServer": "upstream.invalid", "SmtpServerPort": p["SMTP"], "Pop3ServerPort": p["POP3"],
            "Timeout": 2, "EnableCache": 1, "LogsDir": os.path.join(home, "logs"),
            "CacheDir": os.path.join(home, "cache"), "MailDir": os.path.join(home, "mail")}


def entries(home, code):
    try:
        text = open(os.path.join(home, "logs", "error.log"), errors="replace").read()
    except OSError:
        return 0
    return len(re.findall(rf"(?m)^Error {code} severity", text))


def answered_at(name, sock, began, results):
    """Seconds from began until sock gets its service's first bytes."""
    send, start = PROBES[name]
    try:
        sock.settimeout(ANSWER_LIMIT_S)
        if send:
            sock.sendall(send)
        data = b""
        while len(data) < len(start):
            chunk = sock.recv(4096)
            if not chunk:
                break
            data += chunk
        results[name] = time.monotonic() - began if data.startswith(start) else f"answered {data[:20]!r}"
    except OSError as e:
        results[name] = f"{type(e).__name__}"
    finally:
        sock.close()


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else bench.KORVANET_BIN
    bench.own_scratch("kv-descriptors-")
    korvanet, home = bench.start_korvanet_at_home(binary, lambda home: bench.registry_text(settings(home)),
                                                  argv_prefix=("prlimit", f"--nofile={LIMIT}"))
    idle = []
    try:
        if not all(bench.wait_port(korvanet, p) for p in PORTS.values()):
            print("korvanet did not open every port: " + bench.output_tail("korvanet"), file=sys.stderr)
            return 1
        pid = korvanet.pid
        for _ in range(IDLE_CLIENTS):
            idle.append(socket.create_connection((bench.HOST, PORTS["proxy"]), timeout=10))
        deadline = time.monotonic() + 10
        while entries(home, 3405) == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        if entries(home, 3405) == 0:
            print("the server never ran out of descriptors", file=sys.stderr)
            return 1
        first, cpu = entries(home, 3405), bench.cpu_ticks(pid)
        began = time.monotonic()
        time.sleep(HOLD_S)
        held = time.monotonic() - began
        logged = entries(home, 3405) - first
        used = (bench.cpu_ticks(pid) - cpu) / bench.CLK_TCK
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        # One fresh client per service, queued while the server is still out.
        waiting = {name: socket.create_connection((bench.HOST, port), timeout=10) for name, port in PORTS.items()}
        time.sleep(0.5)
        freed = time.monotonic()
        for s in idle:
            s.close()
        idle = []
        results = {}
        threads = [threading.Thread(target=answered_at, args=(n, s, freed, results)) for n, s in waiting.items()]
        for t in threads:
            t.start()
        for t in threads:
            t.join(ANSWER_LIMIT_S + 5)
        print(f"descriptor limit        {LIMIT} ({fds} open while out, {IDLE_CLIENTS} idle clients)")
        print(f"3405 entries            {first} when it ran out, then {logged} in {held:.0f} s "
              f"({logged / held * 60:.1f} per minute)")
        print(f"CPU while out           {used * 1000:.0f} ms in {held:.0f} s ({used / held * 100:.2f} %)")
        for name in PORTS:
            got = results.get(name)
            print(f"{name:<8} answered        " + (f"{got:.3f} s after the idle clients closed"
                                                  if isinstance(got, float) else str(got)))
        return 0 if korvanet.proc.poll() is None else 1
    finally:
        for s in idle:
            s.close()
        bench.stop_server(korvanet)


if __name__ == "__main__":
    sys.exit(main())
