#!/usr/bin/python3
"""Slow clients' drop-out times: with `Timeout` 2 (minutes), one client that
stays silent and one that sends a byte every 5 s on every TCP port, and the
seconds until the server closes each. A client the server keeps past
LIMIT_S shows "held": a relay (the TCP link) moves every byte it gets, so a
dripping client there lives as long as it drips.

Runs in a private network namespace (`make dropout` goes through
scripts/in-netns.sh); standalone: slow_clients.py [KORVANET_BIN]."""
import os
import select
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the shared process and registry helpers)

TIMEOUT_MINUTES = 2
DRIP_S = 5
LIMIT_S = TIMEOUT_MINUTES * 60 * 2 + 30
# The namespace is ours, so the ports are fixed (SocksPort stops at 10000).
PORTS = {"proxy": 7228, "admin": 7229, "SOCKS": 7230, "SMTP": 7225, "POP3": 7210, "Telnet gateway": 7223,
         "FTP gateway": 7221, "RealAudio gateway": 7290, "TCP link": 7240, "MAIL TRANSFER": 5674}


def settings(home):
    p = PORTS
    return {"ProxyPort": p["proxy"], "AdminPort": p["admin"], "Socks5": 1, "SocksPort": p["SOCKS"], "MailType": 1,
            "SMTPServer": "upstream.invalid", "SmtpServerPort": p["SMTP"], "Pop3ServerPort": p["POP3"],
            "Telnet": 1, "TelnetPort": p["Telnet gateway"], "FTP": 1, "FTPPort": p["FTP gateway"],
            "RealAudio": 1, "RealAudioPort": p["RealAudio gateway"], "Timeout": TIMEOUT_MINUTES,
            "LogsDir": os.path.join(home, "logs"), "MailDir": os.path.join(home, "mail"), "EnableCache": 0}


def closed_by_server(sock, drip):
    """Seconds until the server closes or resets sock, or None past LIMIT_S.
    A dripping client sends one byte every DRIP_S seconds meanwhile; what
    the server sends is read and dropped."""
    began = time.monotonic()
    next_drip = began + DRIP_S
    while True:
        now = time.monotonic()
        if now - began > LIMIT_S:
            return None
        wait = min(next_drip, began + LIMIT_S) - now if drip else began + LIMIT_S - now
        readable, _, _ = select.select([sock], [], [], max(wait, 0))
        try:
            if readable:
                if not sock.recv(65536):
                    return time.monotonic() - began
            elif drip and time.monotonic() >= next_drip:
                sock.sendall(b"x")
                next_drip += DRIP_S
        except OSError:
            return time.monotonic() - began


def measure(name, port, results):
    for kind, drip in (("silent", False), ("byte every 5 s", True)):
        def one(kind=kind, drip=drip):
            try:
                sock = socket.create_connection((bench.HOST, port), timeout=10)
            except OSError as e:
                results[(name, kind)] = f"connect failed: {e}"
                return
            with sock:
                results[(name, kind)] = closed_by_server(sock, drip)
        t = threading.Thread(target=one, daemon=True)
        t.start()
        results.setdefault("threads", []).append(t)


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else bench.KORVANET_BIN
    bench.own_scratch("kv-dropout-")
    servers = []
    try:
        (echo_port,) = bench.free_ports(1)
        echo = bench.start_echo(echo_port, idle_s=LIMIT_S + 60)  # the link's silent client meets our time-out, not the echo's
        servers.append(echo)
        if not bench.wait_port(echo, echo_port):
            print("echo server did not start", file=sys.stderr)
            return 1
        link = f"{PORTS['TCP link']}<|>127.0.0.1<|>{echo_port}<|>TCP<|>"
        korvanet, _ = bench.start_korvanet_at_home(
            binary, lambda home: bench.registry_text(settings(home), {"Links": [link]}))
        servers.append(korvanet)
        if not all(bench.wait_port(korvanet, p) for p in PORTS.values()):
            print("korvanet did not open every port: " + bench.output_tail("korvanet"), file=sys.stderr)
            return 1
        results = {}
        for name, port in PORTS.items():
            measure(name, port, results)
        print(f"[dropout] {len(PORTS) * 2} slow clients, Timeout {TIMEOUT_MINUTES}, up to {LIMIT_S} s",
              file=sys.stderr, flush=True)
        for t in results.pop("threads"):
            t.join(LIMIT_S + 30)
        print(f"{'port':<20} {'silent':>10} {'byte every 5 s':>16}")
        for name in PORTS:
            cells = []
            for kind in ("silent", "byte every 5 s"):
                got = results.get((name, kind))
                cells.append("held" if got is None else got if isinstance(got, str) else f"{got:.1f} s")
            print(f"{name:<20} {cells[0]:>10} {cells[1]:>16}")
        return 0 if korvanet.proc.poll() is None else 1
    finally:
        for s in reversed(servers):
            bench.stop_server(s)


if __name__ == "__main__":
    sys.exit(main())
