"""Line tunnels and mapped links seen from outside. The POP3, SMTP and news
gateways hold 110, 25 and 119 on every interface and connect to the same
ports, so their destinations live in a second namespace behind a veth pair;
the Telnet gateway, TCP links and UDP links reach peers on loopback."""
import hashlib
import json
import poplib
import re
import smtplib
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from clients import admin_get, connect, curl, read_until
from netns import Netns
from peers import UdpEcho, free_port

PROXY, ADMIN, TELNET = 7328, 7329, 7323
HERE = Path(__file__).resolve().parent
OURS = "198.51.100.1"
POP_A, POP_B, ISP = "198.51.100.2", "198.51.100.5", "198.51.100.3"
OFFICE_NAME = "mail.office"


def name_address(name):
    """The address dns_upstream.py answers for name."""
    wire = b"".join(bytes([len(p)]) + p for p in name.encode().split(b".")) + b"\0"
    d = hashlib.md5(wire).digest()
    return f"10.{d[0]}.{d[1]}.{d[2]}"


OFFICE = name_address(OFFICE_NAME)
NEWS = POP_A


class Far:
    """The second namespace with its peers, each recording into its own log."""

    def __init__(self, ns, logs):
        self.ns, self.logs, self.procs = ns, logs, []

    def peer(self, kind, address, port):
        log = self.logs / f"{kind}-{address}-{port}.log"
        log.write_bytes(b"")
        proc = self.ns.popen([sys.executable, str(HERE / "line_peers.py"), kind, address, str(port), str(log)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert proc.stdout.readline().strip() == b"ready"
        return log


@pytest.fixture(scope="module")
def far(tmp_path_factory):
    logs = tmp_path_factory.mktemp("far")
    try:
        ns = Netns(here=OURS, there=POP_A, name="kvgw", extra=(POP_B, ISP, OFFICE))
        ns.__enter__()
    except subprocess.CalledProcessError as e:
        if b"veth" in (e.stderr or b"") or b"Unknown device type" in (e.stderr or b""):
            pytest.skip("no veth support here: " + e.stderr.decode(errors="replace"))
        raise
    try:
        f = Far(ns, logs)
        f.pop_a = f.peer("pop3", POP_A, 110)
        f.pop_b = f.peer("pop3", POP_B, 110)
        f.news = f.peer("news", NEWS, 119)
        f.isp = f.peer("smtp", ISP, 25)
        f.office = f.peer("smtp", OFFICE, 25)
        ns.wait_answered(POP_A, 110)
        yield f
    finally:
        ns.__exit__(None, None, None)


@pytest.fixture
def names(tmp_path):
    """A DNS server on loopback that answers every name (see name_address)."""
    proc = subprocess.Popen([sys.executable, str(HERE / "dns_upstream.py"), "127.0.0.1", "53",
                             str(tmp_path / "dns.log")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    yield
    proc.kill()
    proc.wait()


def start(korvanet, lists=None, **settings):
    base = {"ProxyPort": PROXY, "AdminPort": ADMIN, "Timeout": 1, "EnableCache": 0, "DnsServer": "127.0.0.1",
            "InternalResolver": 1}
    base.update(settings)
    return korvanet(base, lists=lists, env={"KORVANET_TEST_DNS_RETRY_MS": "100"})


def entries(srv, code):
    """Each entry of code as (severity, syscode, text)."""
    return re.findall(rf"(?m)^Error {code} severity (\d) syscode (\d+) \[[^]]*\]\r\n(.*?)\r\n",
                      srv.read_log("error.log"))


def wait_content(path, expected, timeout=5):
    deadline = time.monotonic() + timeout
    while True:
        data = path.read_bytes()
        if data == expected or time.monotonic() > deadline:
            return data
        time.sleep(0.02)


def smtp_records(path, n, timeout=5):
    deadline = time.monotonic() + timeout
    while True:
        lines = path.read_text().splitlines()
        if len(lines) >= n or time.monotonic() > deadline:
            return [json.loads(l) for l in lines]
        time.sleep(0.02)


def status_rows(service, n=1, timeout=5):
    deadline = time.monotonic() + timeout
    while True:
        page = admin_get(ADMIN, "/admin/status")
        rows = re.findall(rb"<TR ALIGN=LEFT>.*?(?=<TR ALIGN)", page, re.S)
        found = [r for r in rows if service.encode() in r]
        if len(found) >= n or time.monotonic() > deadline:
            return found
        time.sleep(0.05)


def closed(s, timeout=5):
    s.settimeout(timeout)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True


# --- POP3, SMTP and news gateways ----------------------------------------------

POP3_GREETING = b"+OK Korvanet pop3 tunnel ready\r\n"
POP3_INVALID = b"-ERR Invalid command; valid commands:  USER,  QUIT\r\n"


@pytest.mark.parametrize("user, peer", [("bob", "pop_a"), ("bob#" + POP_B, "pop_b")])
def test_pop3_gateway_routes_by_user(korvanet, far, user, peer):
    srv = start(korvanet, MailType=0, SMTPServer=ISP, POP3Server=POP_A)
    log = getattr(far, peer)
    log.write_bytes(b"")
    p = poplib.POP3("127.0.0.1", 110, timeout=10)
    assert p.getwelcome() == POP3_GREETING.rstrip()
    # The destination's own greeting is dropped; its answer to USER arrives.
    assert p.user(user) == b"+OK USER at " + (POP_B if "#" in user else POP_A).encode()
    rows = status_rows("POP3 GW")
    assert len(rows) == 1 and b"<TD> 127.0.0.1 <TD> " + (POP_B if "#" in user else POP_A).encode() in rows[0]
    p.pass_("pw")
    assert p.stat() == (1, 37)
    assert p.retr(1)[1] == [b"Subject: hi", b"", b"line one", b".dot line"]
    p.quit()
    assert wait_content(log, b"USER bob\r\nPASS pw\r\nSTAT\r\nRETR 1\r\nQUIT\r\n") == \
        b"USER bob\r\nPASS pw\r\nSTAT\r\nRETR 1\r\nQUIT\r\n"
    assert entries(srv, 3009) == []


def test_pop3_dialogue_lines(korvanet, far):
    start(korvanet, MailType=0, SMTPServer=ISP, POP3Server=POP_A)
    s = connect(110)
    assert read_until(s, b"\r\n") == POP3_GREETING
    s.sendall(b"STAT\r\n" + b"x" * 126 + b"\r\n")
    assert read_until(s, POP3_INVALID * 2) == POP3_INVALID * 2
    s.sendall(b"USER " + b"y" * 122 + b"\r\n")  # 127 characters: closed unanswered
    assert closed(s)
    # An empty host after "#" is no name to look up.
    s = connect(110)
    assert read_until(s, b"\r\n") == POP3_GREETING
    s.sendall(b"USER bob#\r\n")
    assert read_until(s, b"\r\n\r\n") == b"\r\nCan't lookup DNS name : \r\n"
    assert closed(s)
    s = connect(110)
    assert read_until(s, b"\r\n") == POP3_GREETING
    s.sendall(b"quit\r\n")
    assert closed(s)


MAIL = "From: a@example.org\r\nTo: b@example.org\r\nSubject: t\r\n\r\nbody\r\n.leading dot\r\n"


def send_mail(host="127.0.0.1"):
    with smtplib.SMTP(host, 25, timeout=10) as c:
        c.sendmail("a@example.org", ["b@example.org"], MAIL)


def test_smtp_gateway(korvanet, far):
    start(korvanet, MailType=0, SMTPServer=ISP, POP3Server=POP_A)
    before = len(smtp_records(far.isp, 0))
    send_mail()
    got = smtp_records(far.isp, before + 1)[before:]
    assert [(r["peer"], r["from"], r["to"], r["data"]) for r in got] == \
        [(OURS, "a@example.org", ["b@example.org"], MAIL)]


FROM_OFFICE = (
    "import smtplib, sys\n"
    "c = smtplib.SMTP(timeout=10, source_address=(sys.argv[1], 0))\n"
    "c.connect(sys.argv[2], 25)\n"
    "c.sendmail('office@example.org', ['out@example.net'], sys.argv[3])\n"
    "c.quit()\n")


def test_smtp_forwarding_both_ways(korvanet, far, names):
    # The local server is named; its address decides the direction.
    start(korvanet, MailType=2, SMTP1=ISP, SMTP2=OFFICE_NAME)
    isp_before, office_before = len(smtp_records(far.isp, 0)), len(smtp_records(far.office, 0))
    # Mail from anyone but the local server is handed to the local server.
    send_mail()
    inbound = smtp_records(far.office, office_before + 1)[office_before:]
    assert [(r["peer"], r["data"]) for r in inbound] == [(OURS, MAIL)]
    # The local server's own mail goes out to the Internet server, not back to it.
    out = far.ns.run([sys.executable, "-c", FROM_OFFICE, OFFICE, OURS, MAIL], capture_output=True, timeout=30)
    assert out.returncode == 0, out.stderr
    outbound = smtp_records(far.isp, isp_before + 1)[isp_before:]
    assert [(r["peer"], r["from"], r["data"]) for r in outbound] == [(OURS, "office@example.org", MAIL)]
    assert len(smtp_records(far.office, 0)) == office_before + 1


def test_news_gateway_relays_from_the_first_byte(korvanet, far):
    start(korvanet, NewsServer=NEWS)
    far.news.write_bytes(b"")
    s = connect(119)
    assert read_until(s, b"\r\n") == b"200 news " + NEWS.encode() + b"\r\n"
    s.sendall(b"DATE\r\n")
    assert read_until(s, b"\r\n") == b"111 20260101000000\r\n"
    s.sendall(b"QUIT\r\n")
    assert read_until(s, b"\r\n") == b"205 bye\r\n"
    assert closed(s)
    assert wait_content(far.news, b"DATE\r\nQUIT\r\n") == b"DATE\r\nQUIT\r\n"


# --- Telnet gateway ----------------------------------------------------------------

PROMPT = bytes([255, 251, 1, 255, 251, 3]) + b"\r\nEnter : <host> [port] : "
DO_ECHO, DONT_ECHO = bytes([255, 253, 1]), bytes([255, 254, 1])
WILL_TTYPE = bytes([255, 251, 24])


class Recorder:
    """A TCP server on loopback that greets and keeps what it receives."""

    def __init__(self, port=0, address="127.0.0.1"):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.data = b""
        self.done = threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn:
            conn.sendall(b"hello\r\n")
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                self.data += chunk
        self.done.set()

    def close(self):
        self.sock.close()


def telnet(line_bytes, answer=b""):
    s = connect(TELNET)
    got = b""
    while len(got) < len(PROMPT):
        chunk = s.recv(len(PROMPT) - len(got))
        assert chunk
        got += chunk
    assert got == PROMPT
    s.sendall(answer + line_bytes)
    return s


@pytest.mark.parametrize("answer, echoed", [(DO_ECHO, True), (DONT_ECHO, False)])
def test_telnet_prompt_echo_and_negotiation(korvanet, answer, echoed):
    start(korvanet, Telnet=1, TelnetPort=TELNET)
    dest = Recorder(23)
    try:
        s = telnet(b"127.0.0.1 2\bx\b23\r\n", answer + WILL_TTYPE)
        expect = (b"127.0.0.1 2\bx\b23\r" if echoed else b"") + b"hello\r\n"
        assert read_until(s, b"hello\r\n") == expect
        rows = status_rows("TELNET GW")
        assert len(rows) == 1 and b"<TD> 127.0.0.1 <TD> 127.0.0.1" in rows[0]
        s.sendall(b"typed after\r\n")
        s.close()
        assert dest.done.wait(5)
        # The echo answer is the gateway's alone; other negotiation passes on.
        assert dest.data == WILL_TTYPE + b"typed after\r\n"
    finally:
        dest.close()


def test_telnet_to_port_110_holds_the_pop3_dialogue(korvanet, far):
    start(korvanet, Telnet=1, TelnetPort=TELNET)
    far.pop_b.write_bytes(b"")
    s = telnet(f"{POP_B} 110\r\n".encode())
    assert read_until(s, b"\r\n") == POP3_GREETING
    s.sendall(b"USER carol\r\n")
    assert read_until(s, b"\r\n") == b"+OK USER at " + POP_B.encode() + b"\r\n"
    s.close()
    assert wait_content(far.pop_b, b"USER carol\r\n") == b"USER carol\r\n"


def test_telnet_refusals(korvanet):
    srv = start(korvanet, Telnet=1, TelnetPort=TELNET)
    # A refused destination: one entry, the client closed unanswered.
    s = telnet(b"127.0.0.1 1\r\n")
    assert closed(s)
    assert srv.wait_log("error.log", "failed to connect to destination IP")
    assert entries(srv, 3009) == [("1", "10061", "failed to connect to destination IP")]
    # 98 characters are a line; 99 close the connection, as does a port
    # above 65535 or silence past Timeout.
    for line in (b"h" * 99, b"127.0.0.1 65536\r\n"):
        s = telnet(line)
        assert closed(s)
    s = telnet(b"h" * 98 + b"\r\n")
    assert read_until(s, b"\r\n\r\n") == b"\r\nCan't lookup DNS name : " + b"h" * 98 + b"\r\n"
    assert len(entries(srv, 3009)) == 1


# --- mapped links ------------------------------------------------------------------

def link(local, host, remote, protocol="TCP"):
    return f"{local}<|>{host}<|>{remote}<|>{protocol}"


def test_tcp_link_relays_and_shows_its_row(korvanet, origin):
    page = b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"
    o = origin(page)
    held = Recorder()
    lp, lp_held = free_port(), free_port()
    start(korvanet, lists={"Links": [link(lp, "127.0.0.1", o.port), link(lp_held, "localhost", held.port)]})
    out = curl("-s", "-i", f"http://127.0.0.1:{lp}/x")
    assert out.returncode == 0 and out.stdout == page
    s = connect(lp_held)
    assert read_until(s, b"hello\r\n") == b"hello\r\n"
    rows = status_rows("MAPPED LINK")
    port = s.getsockname()[1]
    assert len(rows) == 1 and f"<TD> 127.0.0.1:{port} <TD> localhost:{held.port}".encode() in rows[0]
    s.close()
    held.close()


def test_tcp_link_failures(korvanet):
    refused, unnamed = free_port(), free_port()
    srv = start(korvanet, lists={"Links": [link(refused, "127.0.0.1", 1), link(unnamed, "no.such.name", 80)]},
                DnsServer="127.0.0.9")
    for port, code in ((refused, 3308), (unnamed, 3307)):
        s = connect(port)
        assert closed(s, 30)
    assert entries(srv, 3308) == [("1", "10061", "failed to connect to 127.0.0.1")]
    got = entries(srv, 3307)
    assert len(got) == 1 and got[0][0] == "1" and got[0][2] == "can't look up name no.such.name"


def udp_client(address="127.0.0.1"):
    c = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    c.bind((address, 0))
    c.settimeout(2)
    return c


def test_udp_link_forwards_whole_datagrams(korvanet):
    echo = UdpEcho()
    lp = free_port()
    start(korvanet, lists={"Links": [link(lp, "127.0.0.2", echo.port, "udp")]})
    c = udp_client()
    for payload in (b"one", bytes(range(256)) * 250, b"x" * 65000):
        c.sendto(payload, ("127.0.0.1", lp))
        msg, peer = c.recvfrom(65536)
        assert (msg, peer) == (b"echo:" + payload, ("127.0.0.1", lp))
    # An empty datagram is dropped, and the link goes on.
    c.sendto(b"", ("127.0.0.1", lp))
    c.sendto(b"after", ("127.0.0.1", lp))
    assert c.recvfrom(65536)[0] == b"echo:after"
    assert b"" not in [m for m, _ in echo.got]
    echo.close()


def test_udp_link_replies_go_to_the_last_sender(korvanet):
    echo = UdpEcho(hold=2)
    lp = free_port()
    start(korvanet, lists={"Links": [link(lp, "127.0.0.2", echo.port, "UDP")]})
    # Two clients on one port number share the outward socket; the replies
    # to both reach the one that sent last.
    a = udp_client()
    b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    b.bind(("127.0.0.4", a.getsockname()[1]))
    b.settimeout(2)
    a.sendto(b"from a", ("127.0.0.1", lp))
    time.sleep(0.2)
    b.sendto(b"from b", ("127.0.0.1", lp))
    assert sorted(b.recvfrom(65536)[0] for _ in range(2)) == [b"echo:from a", b"echo:from b"]
    a.settimeout(0.5)
    with pytest.raises(socket.timeout):
        a.recvfrom(65536)
    echo.close()


def test_udp_link_admission_and_start(korvanet):
    echo = UdpEcho()
    taken_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    taken_sock.bind(("0.0.0.0", 0))
    taken = taken_sock.getsockname()[1]
    lp, unnamed = free_port(), free_port()
    srv = start(korvanet, lists={"Links": [link(taken, "127.0.0.2", echo.port, "UDP"),
                                           link(lp, "127.0.0.2", echo.port, "UDP"),
                                           link(unnamed, "no.such.name", 53, "UDP")],
                                 "IP": ["10.0.0.0/8"]}, DnsServer="127.0.0.9")
    assert entries(srv, "000") == [("4", "10048", f"can't start UDP mapped link on port {taken}. (socket 1)")]
    # A client outside the allowed list is dropped without a word.
    stranger = udp_client("127.0.0.3")
    stranger.settimeout(0.5)
    stranger.sendto(b"let me in", ("127.0.0.1", lp))
    with pytest.raises(socket.timeout):
        stranger.recvfrom(65536)
    assert echo.got == []
    c = udp_client()
    c.sendto(b"allowed", ("127.0.0.1", lp))
    assert c.recvfrom(65536)[0] == b"echo:allowed"
    # A destination name that doesn't resolve drops everything, silently.
    c.settimeout(3)
    c.sendto(b"lost", ("127.0.0.1", unnamed))
    with pytest.raises(socket.timeout):
        c.recvfrom(65536)
    c.sendto(b"again", ("127.0.0.1", lp))
    assert c.recvfrom(65536)[0] == b"echo:again"
    assert len(entries(srv, "000")) == 1
    taken_sock.close()
    echo.close()
