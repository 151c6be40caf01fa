"""Slow clients hold only their own slot: on every TCP port one client stays
silent and one sends a byte now and then, and meanwhile a fresh client on
each port is answered within a few seconds. (The admin server serves one
request at a time by design, bounded by its request deadline, so its slow
clients are held beside the others but its own fresh client is not asked.)"""
import socket
import threading
import time

from harness import digest
from peers import Echo

PROXY, ADMIN, SOCKS, SMTP, POP3 = 7228, 7229, 7230, 7225, 7210
TELNET, FTP, REALAUDIO, LINK = 7223, 7221, 7290, 7240
TRANSFER = 5674
LIVENESS_S = 5


def first_bytes(port, send=b"", want=1):
    """Connects, sends, and returns the first bytes of the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=LIVENESS_S) as s:
        if send:
            s.sendall(send)
        data = b""
        while len(data) < want:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
        return data


def socks_method(port):
    return first_bytes(port, b"\x05\x01\x00", 2)


def link_echo(port):
    return first_bytes(port, b"through\n", 8)


# (name, port, probe of a fresh client, what the probe must start with)
PORTS = [
    ("proxy", PROXY, lambda: first_bytes(PROXY, b"GET http://127.0.0.1:1/ HTTP/1.0\r\n\r\n", 9), b"HTTP/1.0 "),
    ("SOCKS", SOCKS, lambda: socks_method(SOCKS), b"\x05\x00"),
    ("SMTP", SMTP, lambda: first_bytes(SMTP, want=4), b"220 "),
    ("POP3", POP3, lambda: first_bytes(POP3, want=3), b"+OK"),
    ("Telnet gateway", TELNET, lambda: first_bytes(TELNET, want=3), b"\xff"),
    ("FTP gateway", FTP, lambda: first_bytes(FTP, want=4), b"220 "),
    ("TCP link", LINK, lambda: link_echo(LINK), b"through\n"),
]
SLOW_ONLY = [("admin", ADMIN), ("RealAudio", REALAUDIO), ("mail transfer", TRANSFER)]


def drip(sock, stop, every_s):
    """One byte now and then until stopped or refused."""
    while not stop.wait(every_s):
        try:
            sock.sendall(b"x")
        except OSError:
            return


def test_slow_clients_hold_only_their_own_slot(korvanet):
    echo = Echo()
    srv = korvanet({"ProxyPort": PROXY, "AdminPort": ADMIN, "Socks5": 1, "SocksPort": SOCKS, "MailType": 1,
                    "SMTPServer": "upstream.invalid", "SmtpServerPort": SMTP, "Pop3ServerPort": POP3,
                    "Telnet": 1, "TelnetPort": TELNET, "FTP": 1, "FTPPort": FTP, "RealAudio": 1,
                    "RealAudioPort": REALAUDIO, "Timeout": 2},
                   lists={"Links": [f"{LINK}<|>127.0.0.1<|>{echo.port}<|>TCP<|>"],
                          "Users": [f"000<|>ann<|>{digest('ann', 'apw')}<|><|>"]})
    stop = threading.Event()
    held, drippers = [], []
    try:
        for _, port in [(n, p) for n, p, _, _ in PORTS] + SLOW_ONLY:
            silent = socket.create_connection(("127.0.0.1", port), timeout=10)
            slow = socket.create_connection(("127.0.0.1", port), timeout=10)
            held += [silent, slow]
            t = threading.Thread(target=drip, args=(slow, stop, 1.0), daemon=True)
            t.start()
            drippers.append(t)
        time.sleep(1.5)  # every slow client is in its handler now
        for name, port, probe, start in PORTS:
            began = time.monotonic()
            answer = probe()
            assert answer.startswith(start), (name, answer)
            assert time.monotonic() - began < LIVENESS_S, name
        assert srv.proc.poll() is None
    finally:
        stop.set()
        for t in drippers:
            t.join(5)
        for s in held:
            s.close()
        echo.close()
