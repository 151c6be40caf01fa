"""The RealAudio gateway seen from outside: a player's raw dialogue and its
exact answers, the TCP-only relay to an echo server, and UDP mode with a
server that streams datagrams to the port it is told."""
import errno
import os
import re
import socket
import struct
import threading
import time

import pytest

from clients import admin_get, connect, read_until
import peers
from peers import LoopbackServer, free_port

PROXY, ADMIN, RA = 7428, 7429, 7490


# --- the dialogue's framing ----------------------------------------------------------

def msg(kind, rest=b""):
    return struct.pack("!HB", len(rest) + 1, kind) + rest


def u16(value):
    return struct.pack("!H", value)


VERSION = msg(1, b"\1")
END = msg(0)
VERSION_OK = b"\0\2\1\1"


def result(code, text):
    return struct.pack("!HBB", len(text) + 2, 6, code) + text


BAD_INFO = result(2, b"bad info passed in proxy dialog.")
WRONG_VERSION = result(3, b"Wrong Proxy Version.")
SUCCESS = result(0, b"proxy dialog successful.")
NO_NAME = result(1, b"couldn't connect to server : DNS lookup failed.")
NO_CONNECT = result(1, b"couldn't connect to server : connection failed.")


def dialogue(host, port, first_len=None, tcp_only=None):
    out = VERSION + msg(2, host) + msg(3, u16(port))
    if first_len is not None:
        out += msg(4, u16(first_len))
    if tcp_only is not None:
        out += msg(5, bytes([tcp_only]))
    return out + END


# --- the server, its logs and its sockets ---------------------------------------------

def start(korvanet, env=None, **settings):
    base = {"ProxyPort": PROXY, "AdminPort": ADMIN, "RealAudio": 1, "RealAudioPort": RA, "Timeout": 1,
            "EnableCache": 0, "InternalResolver": 0}
    base.update(settings)
    return korvanet(base, env=dict({"KORVANET_TEST_DNS_RETRY_MS": "100"}, **(env or {})))


def entries(srv, code):
    """Each entry of code as (severity, syscode, text)."""
    return re.findall(rf"(?m)^Error {code} severity (\d) syscode (\d+) \[[^]]*\]\r\n(.*?)\r\n",
                      srv.read_log("error.log"))


def wait_entries(srv, code, n, timeout=5):
    deadline = time.monotonic() + timeout
    while len(entries(srv, code)) < n and time.monotonic() < deadline:
        time.sleep(0.02)
    return entries(srv, code)


def status_rows(timeout=5):
    deadline = time.monotonic() + timeout
    while True:
        page = admin_get(ADMIN, "/admin/status")
        rows = [r for r in re.findall(rb"<TR ALIGN=LEFT>.*?(?=<TR ALIGN)", page, re.S) if b"REALAUDIO GW" in r]
        if rows or time.monotonic() > deadline:
            return rows
        time.sleep(0.05)


def udp_ports(pid):
    """The local ports of the process's UDP sockets."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    ports = []
    with open(f"/proc/{pid}/net/udp") as f:
        for line in f.read().splitlines()[1:]:
            fields = line.split()
            if fields[9] in inodes:
                ports.append(int(fields[1].split(":")[1], 16))
    return sorted(ports)


def wait_udp_ports(pid, count, timeout=5):
    deadline = time.monotonic() + timeout
    while len(udp_ports(pid)) != count and time.monotonic() < deadline:
        time.sleep(0.02)
    return udp_ports(pid)


def read_exact(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def closed(s, timeout=5):
    s.settimeout(timeout)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True


# --- peers -------------------------------------------------------------------------

class Echo(peers.Echo):
    """Sends every byte back; counts its connections."""

    def __init__(self):
        self.connections = 0
        super().__init__()

    def handle(self, conn):
        self.connections += 1
        super().handle(conn)


class StreamServer(LoopbackServer):
    """The player's server in UDP mode: reads the first request and the port
    after it, then echoes the control connection. The test sends the stream
    with send_datagram, to the port the server was told."""

    def __init__(self, first_len):
        self.first_len = first_len
        self.request = None
        self.told = threading.Event()
        self.ended = threading.Event()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 0))
        super().__init__()

    def handle(self, conn):
        with conn:
            conn.settimeout(10)
            self.request = read_exact(conn, self.first_len + 2)
            self.told.set()
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    conn.sendall(data)
            except OSError:
                pass
        self.ended.set()

    def told_port(self):
        return struct.unpack("!H", self.request[-2:])[0]

    def send_datagram(self, payload, source=None):
        (source or self.udp).sendto(payload, ("127.0.0.1", self.told_port()))

    def close(self):
        super().close()
        self.udp.close()


def player_udp():
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(("127.0.0.1", 0))
    u.settimeout(3)
    return u


# --- the dialogue --------------------------------------------------------------------

BAD_DIALOGUES = [
    # (what the player sends, the exact answer)
    (msg(1, b"\2") + END, WRONG_VERSION),
    (msg(2, b"h.example") + msg(3, u16(80)) + END, BAD_INFO),               # messages before no version
    (VERSION + msg(3, u16(80)) + END, VERSION_OK + BAD_INFO),                 # no host
    (VERSION + msg(2, b"h.example") + msg(3, u16(0)) + END, VERSION_OK + BAD_INFO),
    (VERSION + msg(2) + msg(3, u16(80)) + END, VERSION_OK + BAD_INFO),        # length 1: no host stored
    (u16(0), b""),
    (VERSION + u16(257) + b"\2" + b"h" * 256, VERSION_OK),
    (u16(65535) + b"\2" + b"h" * 1000, b""),
    (VERSION + u16(20) + b"\2short", VERSION_OK),                             # truncated body
    (VERSION + b"\0", VERSION_OK),                                            # truncated length
]


def test_failed_dialogues_are_answered_logged_and_closed(korvanet):
    srv = start(korvanet)
    for i, (sent, answer) in enumerate(BAD_DIALOGUES):
        s = connect(RA)
        s.sendall(sent)
        got = b""
        try:
            try:
                s.shutdown(socket.SHUT_WR)
            except OSError as e:  # the gateway's reset may already be here
                if e.errno != errno.ENOTCONN:
                    raise
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
        except ConnectionResetError:  # the gateway closed with bytes unread
            pass
        assert got == answer, f"row {i}"
        s.close()
        assert len(wait_entries(srv, 3404, i + 1)) == i + 1, f"row {i}"
    assert set(entries(srv, 3404)) == {("1", "0", "RealAudio proxy dialog failed")}


def test_a_silent_player_is_closed_after_30_seconds(korvanet):
    # Timeout is one minute: the dialogue's own limit is shorter.
    srv = start(korvanet)
    s = connect(RA, timeout=60)
    s.sendall(VERSION + msg(2, b"half"))
    assert read_exact(s, 4) == VERSION_OK
    started = time.monotonic()
    assert closed(s, 60)
    assert 25 < time.monotonic() - started < 40
    assert wait_entries(srv, 3404, 1) == [("1", "0", "RealAudio proxy dialog failed")]


def test_tcp_only_relays_and_shows_the_destination(korvanet):
    echo = Echo()
    srv = start(korvanet)
    before = udp_ports(srv.proc.pid)
    s = connect(RA)
    # Lengths 1 and 256, unknown types and the host before the version.
    s.sendall(msg(2, b"localhost") + msg(9) + msg(7, b"x" * 255) + VERSION)
    assert read_exact(s, 4) == VERSION_OK
    # The destination shows as soon as the player named it.
    rows = status_rows()
    assert len(rows) == 1 and b"<TD> 127.0.0.1 <TD> localhost" in rows[0]
    s.sendall(msg(3, u16(echo.port)) + msg(4, u16(65535)) + msg(5, b"\1") + END + b"early bytes ")
    assert read_exact(s, len(SUCCESS)) == SUCCESS
    assert read_until(s, b"early bytes ") == b"early bytes "
    s.sendall(b"\0\1\2" * 5000)
    assert read_exact(s, 15000) == b"\0\1\2" * 5000
    # No datagram socket in TCP-only mode.
    assert udp_ports(srv.proc.pid) == before
    s.close()
    assert entries(srv, 3404) == [] and entries(srv, 3308) == []
    echo.close()


@pytest.mark.parametrize("host, syscode, entry", [
    # The name server's port is closed: the lookup's error is the refusal.
    (b"no.such.name", "10061", "can't look up name no.such.name"),
    # A name with line ends is no name to ask for, and can't forge entries.
    (b"bad\r\nError 999", "11001", "can't look up name bad??Error 999"),
])
def test_lookup_failures(korvanet, host, syscode, entry):
    srv = start(korvanet, InternalResolver=1, DnsServer="127.0.0.9")
    s = connect(RA, timeout=30)
    s.sendall(dialogue(host, 80, tcp_only=1))
    assert read_exact(s, 4 + len(NO_NAME)) == VERSION_OK + NO_NAME
    assert closed(s, 30)
    assert wait_entries(srv, 3406, 1) == [("1", syscode, entry)]


def test_refused_connect(korvanet):
    srv = start(korvanet)
    s = connect(RA)
    s.sendall(dialogue(b"127.0.0.1", free_port()))
    assert read_exact(s, 4 + len(NO_CONNECT)) == VERSION_OK + NO_CONNECT
    assert closed(s)
    assert wait_entries(srv, 3308, 1) == [("1", "10061", "failed to connect to 127.0.0.1")]


# --- UDP mode ----------------------------------------------------------------------

def test_udp_mode_forwards_the_servers_stream(korvanet):
    first = bytes(range(256)) * 32  # 8192 bytes: the longest first request
    server = StreamServer(len(first))
    srv = start(korvanet)
    before = udp_ports(srv.proc.pid)
    player = player_udp()
    player_port = player.getsockname()[1]
    s = connect(RA)
    s.sendall(dialogue(b"127.0.0.1", server.port, first_len=len(first)))
    assert read_exact(s, 4 + len(SUCCESS)) == VERSION_OK + SUCCESS
    s.sendall(first + u16(player_port))
    assert server.told.wait(5)
    # The server is told the gateway's own UDP port in place of the player's.
    assert server.request[:-2] == first
    during = udp_ports(srv.proc.pid)
    assert len(during) == len(before) + 2
    assert server.told_port() != player_port and server.told_port() in during
    # Whole datagrams, small and large, reach the player; an empty one ends
    # nothing, and a stranger's is not the server's stream.
    stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    stranger.bind(("127.0.0.2", 0))
    for payload in (b"a", b"s" * 512, b"t" * 513, bytes(range(256)) * 250):
        server.send_datagram(payload)
        assert player.recvfrom(65536)[0] == payload
    server.send_datagram(b"")
    server.send_datagram(b"stranger's", source=stranger)
    server.send_datagram(b"after")
    assert player.recvfrom(65536)[0] == b"after"
    # The control connection is relayed both ways meanwhile.
    s.sendall(b"PLAY\r\n")
    assert read_until(s, b"PLAY\r\n") == b"PLAY\r\n"
    rows = status_rows()
    assert len(rows) == 1 and b"<TD> 127.0.0.1 <TD> 127.0.0.1" in rows[0]
    # The player leaves: both datagram sockets close with the connection.
    s.close()
    assert server.ended.wait(5)
    assert wait_udp_ports(srv.proc.pid, len(before)) == before
    assert entries(srv, 3409) == []
    stranger.close()
    player.close()
    server.close()


def test_udp_mode_without_a_forwarder_still_relays(korvanet):
    server = StreamServer(3)
    srv = start(korvanet, env={"KORVANET_TEST_REALAUDIO_NO_THREAD": "1"})
    player = player_udp()
    s = connect(RA)
    s.sendall(dialogue(b"127.0.0.1", server.port, first_len=3) + b"req" + u16(player.getsockname()[1]))
    assert read_exact(s, 4 + len(SUCCESS)) == VERSION_OK + SUCCESS
    assert server.told.wait(5) and server.request[:3] == b"req"
    assert wait_entries(srv, 3409, 1) == [("3", "11", "can't create thread for udp relay")]
    s.sendall(b"PLAY\r\n")
    assert read_until(s, b"PLAY\r\n") == b"PLAY\r\n"
    s.close()
    assert server.ended.wait(5)
    player.close()
    server.close()


@pytest.mark.parametrize("first_len, after", [
    (65535, b""),                      # over 8,192 bytes: read as a failure
    (4, b"req"),                       # the player closes inside the request
    (4, b"req!" + u16(0)),             # port 0 is no port to send to
])
def test_udp_mode_request_failures_close_without_relay(korvanet, first_len, after):
    server = StreamServer(first_len)
    srv = start(korvanet)
    before = udp_ports(srv.proc.pid)
    s = connect(RA)
    s.sendall(dialogue(b"127.0.0.1", server.port, first_len=first_len))
    assert read_exact(s, 4 + len(SUCCESS)) == VERSION_OK + SUCCESS
    s.sendall(after)
    if len(after) < first_len + 2:
        s.shutdown(socket.SHUT_WR)  # the player is gone before its request is whole
    assert closed(s)
    assert server.ended.wait(5)
    assert server.request == b""
    assert wait_udp_ports(srv.proc.pid, len(before)) == before
    assert entries(srv, 3404) == [] and entries(srv, 3409) == []
    server.close()


def test_server_stops_with_a_stream_running(korvanet):
    server = StreamServer(0)
    srv = start(korvanet)
    player = player_udp()
    s = connect(RA)
    s.sendall(dialogue(b"127.0.0.1", server.port, first_len=0) + u16(player.getsockname()[1]))
    assert read_exact(s, 4 + len(SUCCESS)) == VERSION_OK + SUCCESS
    assert server.told.wait(5) and server.request == u16(server.told_port())
    server.send_datagram(b"frame")
    assert player.recvfrom(65536)[0] == b"frame"
    started = time.monotonic()
    assert srv.stop() == 0
    assert time.monotonic() - started < 5
    assert closed(s)
    player.close()
    server.close()
