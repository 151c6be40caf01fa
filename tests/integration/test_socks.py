"""The SOCKS port seen from outside: curl as a SOCKS 4 and 5 client, raw
sockets for byte-exact negotiation, replies and bad input, BIND with a peer
that dials the announced port, UDP ASSOCIATE both ways, the error-log
entries and the status rows."""
import re
import socket
import struct
import subprocess
import threading
import time

import pytest

from clients import exchange, read_until_close
from harness import digest
from peers import LoopbackServer

SOCKS, PROXY, ADMIN = 7080, 7128, 7129
LOOP = socket.inet_aton("127.0.0.1")
ZERO_V5_FAILURE = b"\x05\x01\x00\x01\x00\x00\x00\x00\x00\x00"
V4_FAILED = b"\x00\x5b\x00\x00\x00\x00\x00\x00"
BOB = f"001<|>bob<|>{digest('bob', 'bobpw')}<|><|>"
ROOT = f"000<|>root<|>{digest('root', 'rootpw')}<|>900:<|>"


class Echo(LoopbackServer):
    """Echoes what it receives until the client closes; notes each peer address."""

    def __init__(self, port=0):
        self.peers = []
        super().__init__(port)

    def handle(self, conn):
        self.peers.append(conn.getpeername())
        conn.settimeout(10)
        try:
            while True:
                data = conn.recv(65536)
                if not data:
                    break
                conn.sendall(data)
        except OSError:
            pass
        finally:
            conn.close()


class Http(LoopbackServer):
    """Answers every request with a small page, then closes."""
    BODY = b"hello through socks\n"

    def handle(self, conn):
        conn.settimeout(5)
        try:
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                data += chunk
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(self.BODY) + self.BODY)
        except OSError:
            pass
        finally:
            conn.close()


class Accepter(LoopbackServer):
    """Accepts and closes: stands for the DNS server's TCP port 53."""

    def handle(self, conn):
        conn.close()

    def close(self):
        # Wakes the accepting thread, so the port is free for the next test.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        super().close()


@pytest.fixture
def peers():
    made = []

    def make(cls, *args):
        made.append(cls(*args))
        return made[-1]

    yield make
    for p in made:
        p.close()


def start(korvanet, settings=None, lists=None):
    base = {"Socks4": 1, "Socks5": 1, "SocksPort": SOCKS, "ProxyPort": PROXY, "AdminPort": ADMIN,
            "Timeout": 2, "DnsServer": "127.0.0.1"}
    base.update(settings or {})
    return korvanet(base, lists)


def connect(timeout=10):
    return socket.create_connection(("127.0.0.1", SOCKS), timeout=timeout)


def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def v4_request(command, port, address=LOOP, user=b""):
    return b"\x04" + bytes([command]) + struct.pack(">H", port) + address + user + b"\x00"


def v5_request(command, port, host="127.0.0.1"):
    try:
        address = b"\x01" + socket.inet_aton(host)
    except OSError:
        address = b"\x03" + bytes([len(host)]) + host.encode()
    return b"\x05" + bytes([command]) + b"\x00" + address + struct.pack(">H", port)


def v5_open(command, port, host="127.0.0.1"):
    """A version 5 connection past the method answer, its request sent."""
    s = connect()
    s.sendall(b"\x05\x01\x00")
    assert recv_exactly(s, 2) == b"\x05\x00"
    s.sendall(v5_request(command, port, host))
    return s


def entries(srv):
    """(code, severity, syscode, text) of every error-log entry."""
    return [(int(c), int(sev), int(sys), text) for c, sev, sys, text in
            re.findall(r"Error (\d+) severity (\d) syscode (-?\d+) \[[^\]]*\]\r\n([^\r]*)\r\n",
                       srv.read_log("error.log"))]


def socks_entries(srv):
    return [e for e in entries(srv) if 2800 <= e[0] < 2900]


def closed_soon(s, timeout=5):
    """True when the server closes the connection (reset included) within timeout."""
    s.settimeout(timeout)
    try:
        return s.recv(100) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def curl(*args):
    return subprocess.run(["curl", "-sS", "--max-time", "15", *args], capture_output=True, timeout=30)


# --- real clients -------------------------------------------------------------

def test_curl_reaches_the_origin_through_every_client_kind(korvanet, peers):
    start(korvanet, {"SocksAuthentication": 0})
    origin = peers(Http)
    url = f"http://127.0.0.1:{origin.port}/x"
    for i, how in enumerate((["--socks4", f"127.0.0.1:{SOCKS}"],
                             ["--socks5", f"127.0.0.1:{SOCKS}"],
                             ["--socks5-hostname", f"127.0.0.1:{SOCKS}", f"http://localhost:{origin.port}/x"])):
        r = curl(*how, url) if len(how) == 2 else curl(*how)
        assert r.stdout == Http.BODY, (i, r.stderr)


def test_curl_with_user_and_password(korvanet, peers):
    srv = start(korvanet, {"SocksAuthentication": 1}, {"Users": [BOB]})
    origin = peers(Http)
    url = f"http://127.0.0.1:{origin.port}/x"
    r = curl("--socks5", f"127.0.0.1:{SOCKS}", "--proxy-user", "bob:bobpw", url)
    assert r.stdout == Http.BODY, r.stderr
    r = curl("--socks5", f"127.0.0.1:{SOCKS}", "--proxy-user", "bob:wrong", url)
    assert r.stdout == b"" and r.returncode != 0
    assert socks_entries(srv) == []


# --- negotiation, byte for byte -----------------------------------------------

def test_method_and_sub_negotiation_answers(korvanet):
    start(korvanet, {"SocksAuthentication": 1}, {"Users": [BOB]})
    long_name = b"n" * 255
    # (sent, expected answer, whether the server then closes)
    cases = [
        (b"\x05\x01\x00", b"\x05\xff", True),                       # no password method offered
        (b"\x05\x00", b"\x05\xff", True),                           # nothing offered
        (b"\x05\x02\x00\x02" + b"\x01\x03bob\x05bobpw", b"\x05\x02\x01\x00", False),
        (b"\x05\x01\x02" + b"\x01\x03bob\x05wrong", b"\x05\x02\x01\x01", True),
        (b"\x05\x01\x02" + b"\x07\x03Bob\x05bobpw", b"\x05\x02\x01\x01", True),   # names keep their case
        (b"\x05\x01\x02" + b"\x01\x00\x00", b"\x05\x02\x01\x01", True),            # empty name and password
        (b"\x05\x01\x02" + b"\x01\x04bob\x00\x05bobpw", b"\x05\x02\x01\x01", True),  # a NUL in the name
        (b"\x05\x01\x02" + b"\x01\x03bob\x06bobpw\x00", b"\x05\x02\x01\x01", True),  # a NUL after the password
        (b"\x05\x01\x02\x01\xff" + long_name + b"\xff" + long_name, b"\x05\x02\x01\x01", True),
        (b"\x05\xff" + bytes(range(255)), b"\x05\x02", False),       # 255 methods, 2 among them
    ]
    for i, (sent, answer, closes) in enumerate(cases):
        s = connect()
        s.sendall(sent)
        assert recv_exactly(s, len(answer)) == answer, i
        if closes:
            assert closed_soon(s), i
        s.close()


def test_without_authentication_any_offer_gets_no_method(korvanet):
    start(korvanet, {"SocksAuthentication": 0})
    for i, offer in enumerate((b"\x05\x01\x02", b"\x05\x00", b"\x05\xff" + bytes(255))):
        s = connect()
        s.sendall(offer)
        assert recv_exactly(s, 2) == b"\x05\x00", i
        s.close()


def test_access_list_refuses_with_code_2(korvanet, peers):
    lists = {"Users": [BOB, ROOT], "Access": ["socks://*<|>900:<|>"]}
    start(korvanet, {"SocksAuthentication": 1}, lists)
    echo = peers(Echo)
    for user, password, answer in ((b"bob", b"bobpw", b"\x05\x02\x00\x01" + bytes(6)),
                                   (b"root", b"rootpw", None)):
        s = connect()
        s.sendall(b"\x05\x01\x02\x01" + bytes([len(user)]) + user + bytes([len(password)]) + password)
        assert recv_exactly(s, 4) == b"\x05\x02\x01\x00"
        s.sendall(v5_request(1, echo.port))
        reply = recv_exactly(s, 10)
        if answer:
            assert reply == answer
            assert closed_soon(s)
        else:
            assert reply[:4] == b"\x05\x00\x00\x01"
        s.close()


# --- replies ------------------------------------------------------------------

def test_connect_replies_carry_the_outbound_address(korvanet, peers):
    srv = start(korvanet)
    echo = peers(Echo)
    s = v5_open(1, echo.port)
    reply = recv_exactly(s, 10)
    assert reply[:8] == b"\x05\x00\x00\x01" + LOOP
    s.sendall(b"ping")
    assert recv_exactly(s, 4) == b"ping"
    assert echo.peers[-1] == ("127.0.0.1", struct.unpack(">H", reply[8:])[0])
    s.close()
    # Version 4: the eight bytes come in two pieces to a client that waits.
    s = connect()
    s.sendall(v4_request(1, echo.port, user=b"someone"))
    assert recv_exactly(s, 2) == b"\x00\x5a"
    started = time.monotonic()
    rest = recv_exactly(s, 6)
    assert time.monotonic() - started >= 0.05
    assert rest[2:] == LOOP and echo.peers[-1] == ("127.0.0.1", struct.unpack(">H", rest[:2])[0])
    s.sendall(b"pong")
    assert recv_exactly(s, 4) == b"pong"
    s.close()
    assert socks_entries(srv) == []


def test_failed_connects_answer_with_zero_address(korvanet):
    srv = start(korvanet)
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    dead_port = closed.getsockname()[1]
    closed.close()
    cases = [
        (v5_request(1, dead_port), ZERO_V5_FAILURE),
        (v5_request(1, 80, "no-such-host.invalid"), ZERO_V5_FAILURE),
        (b"\x05\x01\x00\x03\x00\x00\x50", ZERO_V5_FAILURE),                  # empty name
        (b"\x05\x01\x00\x03\x04a\x00bc\x00\x50", ZERO_V5_FAILURE),           # a NUL in the name
    ]
    for i, (request, answer) in enumerate(cases):
        s = connect()
        s.sendall(b"\x05\x01\x00")
        assert recv_exactly(s, 2) == b"\x05\x00"
        s.sendall(request)
        assert recv_exactly(s, 10) == answer, i
        assert closed_soon(s), i
        s.close()
    s = connect()
    s.sendall(v4_request(1, dead_port))
    assert recv_exactly(s, 8) == V4_FAILED
    s.close()
    assert socks_entries(srv) == []


def test_v4_client_that_speaks_first_gets_two_bytes(korvanet, peers):
    start(korvanet)
    echo = peers(Echo)
    s = connect()
    # The data right after the user ID is waiting when the reply goes out.
    s.sendall(v4_request(1, echo.port, user=b"u") + b"early data")
    assert recv_exactly(s, 2 + 10) == b"\x00\x5aearly data"
    s.close()
    # A 4a request: the host name after the user ID is data, the address is literal.
    s = connect()
    s.sendall(v4_request(1, 80, address=b"\x00\x00\x00\x01") + b"example.com\x00")
    assert read_until_close(s) == b"\x00\x5b"
    s.close()


def test_user_id_limit(korvanet, peers):
    srv = start(korvanet)
    echo = peers(Echo)
    s = connect()
    s.sendall(v4_request(1, echo.port, user=b"u" * 255))
    assert recv_exactly(s, 8)[:2] == b"\x00\x5a"
    s.close()
    s = connect()
    s.sendall(b"\x04\x01" + struct.pack(">H", echo.port) + LOOP + b"u" * 256)
    assert read_until_close(s) == b""
    s.close()
    assert srv.wait_log("error.log", "user ID is too long")
    assert socks_entries(srv) == [(2819, 1, 0, "user ID is too long")]


# --- refusals and bad input -----------------------------------------------------

def test_bad_input_gets_its_answer_or_silence(korvanet, peers):
    srv = start(korvanet)
    # (bytes sent, answer, entry expected or None)
    cases = [
        (b"\x06", b"", (2813, 1, 0, "SOCKS version 6 not supported")),
        (b"GET / HTTP/1.0\r\n\r\n", b"", (2813, 1, 0, "SOCKS version 71 not supported")),
        (b"\x00", b"", (2813, 1, 0, "SOCKS version 0 not supported")),
        (b"\x04\x03\x00\x50" + LOOP + b"\x00", b"", (2815, 1, 0, "SOCKS v4 unknown command : 3")),
        (b"\x05\x01\x00" + b"\x05\x09\x00\x01" + LOOP + b"\x00\x50", b"\x05\x00",
         (2815, 1, 0, "SOCKS unsuported command : 9")),
        (b"\x05\x01\x00" + b"\x05\x01\x00\x04" + bytes(16) + b"\x00\x50", b"\x05\x00", None),   # IPv6
        (b"\x05\x01\x00" + b"\x05\x01\x00\x07" + LOOP + b"\x00\x50", b"\x05\x00", None),      # unknown type
        # Closed in the middle of a field.
        (b"\x04\x01\x00", b"", None),
        (b"\x04\x01\x00\x50" + LOOP + b"abc", b"", None),
        (b"\x05\x03\x00", b"", None),
        (b"\x05\x01\x00\x05\x01\x00\x03\x10abc", b"\x05\x00", None),
        (b"\x05\x01\x00\x05\x01\x00\x01\x7f", b"\x05\x00", None),
    ]
    for i, (sent, answer, entry) in enumerate(cases):
        before = socks_entries(srv)
        s = connect()
        s.sendall(sent)
        try:
            s.shutdown(socket.SHUT_WR)
        except OSError:  # refused and closed (with unread bytes: a reset) before it
            pass
        assert read_until_close(s) == answer, i
        s.close()
        if entry:
            assert srv.wait_log("error.log", entry[3]), i
        time.sleep(0.1)
        got = socks_entries(srv)[len(before):]
        assert got == ([entry] if entry else []), i
    # Still serving.
    echo = peers(Echo)
    s = v5_open(1, echo.port)
    assert recv_exactly(s, 10)[:2] == b"\x05\x00"
    s.close()


def test_a_version_that_is_off_closes_silently(korvanet):
    for i, (settings, hello) in enumerate((({"Socks5": 0}, b"\x05\x01\x00"),
                                           ({"Socks4": 0}, v4_request(1, 80)))):
        srv = start(korvanet, settings)
        assert exchange(hello, SOCKS) == b"", i
        time.sleep(0.1)
        assert socks_entries(srv) == [], i
        srv.stop()


# --- BIND ---------------------------------------------------------------------

def test_bind_announces_a_port_a_peer_can_dial(korvanet, peers):
    srv = start(korvanet)
    peers(Accepter, 53)
    for version in (5, 4):
        if version == 5:
            s = v5_open(2, 0)
            first = recv_exactly(s, 10)
            assert first[:8] == b"\x05\x00\x00\x01" + LOOP
            port = struct.unpack(">H", first[8:])[0]
        else:
            s = connect()
            s.sendall(v4_request(2, 0))
            first = recv_exactly(s, 8)
            assert first[:2] == b"\x00\x5a" and first[4:] == LOOP
            port = struct.unpack(">H", first[2:4])[0]
        peer = socket.create_connection(("127.0.0.1", port), timeout=10)
        peer_port = peer.getsockname()[1]
        second = recv_exactly(s, 10 if version == 5 else 8)
        if version == 5:
            assert second == b"\x05\x00\x00\x01" + LOOP + struct.pack(">H", peer_port)
        else:
            assert second == b"\x00\x5a" + struct.pack(">H", peer_port) + LOOP
        s.sendall(b"to peer")
        assert recv_exactly(peer, 7) == b"to peer"
        peer.sendall(b"to client")
        assert recv_exactly(s, 9) == b"to client"
        peer.close()
        assert closed_soon(s)
        s.close()
    assert socks_entries(srv) == []


def test_bind_wait_ends_when_the_client_closes(korvanet, peers):
    start(korvanet)
    peers(Accepter, 53)
    s = v5_open(2, 0)
    port = struct.unpack(">H", recv_exactly(s, 10)[8:])[0]
    s.close()
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            time.sleep(0.05)
        except (ConnectionRefusedError, ConnectionResetError):  # reset: it closed with us queued
            break
    else:
        pytest.fail("the BIND listener stayed after the client closed")


def test_bind_without_the_interface_address(korvanet):
    # No DNS server to ask, then one that refuses: each its own entry and a failure reply.
    for i, (dns, entry) in enumerate(((None, (2810, 0, 0)), ("127.0.0.1", (2811, 0, 10061)))):
        srv = start(korvanet, {"DnsServer": ""} if dns is None else {})
        s = v5_open(2, 0)
        assert recv_exactly(s, 10) == ZERO_V5_FAILURE, i
        s.close()
        s = connect()
        s.sendall(v4_request(2, 0))
        assert recv_exactly(s, 8) == V4_FAILED, i
        s.close()
        assert srv.wait_log("error.log", "not possible to get address of internet interface")
        time.sleep(0.1)
        assert socks_entries(srv) == [entry + ("not possible to get address of internet interface",)] * 2, i
        srv.stop()


# --- UDP ASSOCIATE ------------------------------------------------------------

def test_udp_associate_both_ways(korvanet):
    srv = start(korvanet)
    remote = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    remote.bind(("127.0.0.2", 0))
    remote.settimeout(3)
    rport = remote.getsockname()[1]
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    client.bind(("127.0.0.1", 0))
    client.settimeout(3)
    s = v5_open(3, 0, "0.0.0.0")
    reply = recv_exactly(s, 10)
    assert reply[:8] == b"\x05\x00\x00\x01" + LOOP
    relay = ("127.0.0.1", struct.unpack(">H", reply[8:])[0])
    # A third host's datagram before the client's first is dropped.
    remote.sendto(b"too early", relay)
    with pytest.raises(socket.timeout):
        client.settimeout(0.5)
        client.recv(100)
    client.settimeout(3)
    header1 = b"\x00\x00\x00\x01" + socket.inet_aton("127.0.0.2") + struct.pack(">H", rport)
    header3 = b"\x00\x00\x00\x03\x09127.0.0.2" + struct.pack(">H", rport)
    for i, header in enumerate((header1, header3)):
        client.sendto(header + b"payload %d" % i, relay)
        data, source = remote.recvfrom(100)
        assert data == b"payload %d" % i, i
        remote.sendto(b"answer %d" % i, source)
        assert client.recv(100) == (b"\x00\x00\x00\x01" + socket.inet_aton("127.0.0.2") +
                                    struct.pack(">H", rport) + b"answer %d" % i), i
    # Datagrams the association drops, without ending it.
    for i, bad in enumerate((b"", b"\x00\x00", b"\x00\x00\x01\x01" + header1[4:] + b"fragment",
                             b"\x00\x00\x00\x04" + bytes(18) + b"ipv6", b"\x00\x00\x00\x01\x7f\x00",
                             b"\x00\x00\x00\x03\x20short", b"\x00\x00\x00\x03\x00\x00\x50empty",
                             b"\x00\x00\x00\x03\x03a\x00b" + struct.pack(">H", rport) + b"nul")):
        client.sendto(bad, relay)
    remote.settimeout(0.5)
    with pytest.raises(socket.timeout):
        remote.recvfrom(100)
    # A large datagram passes whole.
    big = bytes(range(256)) * 200
    client.sendto(header1 + big, relay)
    remote.settimeout(3)
    assert remote.recvfrom(65536)[0] == big
    # The association socket goes with the TCP connection.
    s.close()
    client.connect(relay)
    deadline = time.monotonic() + 3
    gone = False
    while time.monotonic() < deadline and not gone:
        client.send(header1 + b"x")
        try:
            client.settimeout(0.2)
            client.recv(100)
        except ConnectionRefusedError:
            gone = True
        except socket.timeout:
            pass
    assert gone
    assert socks_entries(srv) == []


# --- status rows --------------------------------------------------------------

def status_rows():
    page = exchange(b"GET /admin/status HTTP/1.0\r\n\r\n", ADMIN)
    return re.findall(rb"<font size=-1>SOCKS</font><TD> \d+ (.*?)(?=<TR ALIGN)", page, re.S)


def test_status_rows_of_all_three_commands(korvanet, peers):
    start(korvanet)
    peers(Accepter, 53)
    echo = peers(Echo)
    waiting = connect()                      # not past its request yet
    waiting.sendall(b"\x05")
    tunnel = v5_open(1, echo.port, "localhost")
    assert recv_exactly(tunnel, 10)[:2] == b"\x05\x00"
    bind = v5_open(2, 4321, "10.1.2.3")
    assert recv_exactly(bind, 10)[:2] == b"\x05\x00"
    udp = v5_open(3, 0, "0.0.0.0")
    assert recv_exactly(udp, 10)[:2] == b"\x05\x00"
    try:
        want = sorted([b"<TD> 127.0.0.1 <TD>", b"<TD> 127.0.0.1 <TD> connect&nbsp;localhost:%d" % echo.port,
                       b"<TD> 127.0.0.1 <TD> bind&nbsp;10.1.2.3:4321"])
        rows = []
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            rows = sorted(status_rows())
            if len(rows) == 4:
                break
            time.sleep(0.05)
        # The association's port is 0: the client's bare row, like one still negotiating.
        assert rows == sorted(want + [b"<TD> 127.0.0.1 <TD>"])
        udp2 = v5_open(3, 53, "192.0.2.7")
        assert recv_exactly(udp2, 10)[:2] == b"\x05\x00"
        time.sleep(0.1)
        assert b"<TD> 127.0.0.1 <TD> udp&nbsp;assoc&nbsp;192.0.2.7:53" in status_rows()
        udp2.close()
    finally:
        for s in (waiting, tunnel, bind, udp):
            s.close()


# --- the fixed waits, once each -------------------------------------------------

def test_silent_client_and_unanswered_bind_end_after_60_seconds(korvanet, peers):
    srv = start(korvanet, {"Timeout": 5})
    peers(Accepter, 53)
    silent = connect(timeout=90)
    silent.sendall(b"\x05\x01")             # stops in the middle of the methods
    bind = v5_open(2, 0)
    assert recv_exactly(bind, 10)[:2] == b"\x05\x00"
    bind.settimeout(90)
    started = time.monotonic()
    results = {}

    def wait(name, s):
        try:
            results[name] = (s.recv(100), time.monotonic() - started)
        except OSError as e:
            results[name] = (e, time.monotonic() - started)

    threads = [threading.Thread(target=wait, args=(n, s)) for n, s in (("silent", silent), ("bind", bind))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(100)
    for name in ("silent", "bind"):
        data, took = results[name]
        assert data == b"", name            # closed, and BIND sent no second reply
        assert 55 <= took <= 70, (name, took)
    assert socks_entries(srv) == []
