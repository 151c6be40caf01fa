"""Bad input on every port of one server. Each TCP port has one table of raw
inputs: seeded binary garbage, NUL bytes, 1 MiB without a line feed, half a
command and then silence, a reset in the middle of a line, and a valid
command with garbage after it. Each input gets the port's own answer, byte
for byte, or silence, and at most one error-log entry; once the bad clients
are gone the status page counts no connection and a fresh client of the port
is served. The UDP ports (the DNS forwarder, a UDP link, a SOCKS UDP
association) get garbage datagrams and still answer a valid one.

One server serves every port; the inputs of a port run at once, the ports
one after another. The forwarder holds UDP 53 on every interface, so its
upstream lives in a second namespace."""
import random
import re
import socket
import struct
import threading
import time
from types import SimpleNamespace

import pytest

from clients import PAGE_HEAD, admin_get, connect
from dns_upstream import Upstream, answer_for
from ftp_peers import ScriptedFtp
from harness import Server, digest
from mail_peers import ADMIN, BACK, page_prefix, send_pass
from mail_setup import GREETING as SMTP_HI, POP3, SMTP
from netns import Netns
from peers import HELLO, Echo, Origin, UdpEcho

PROXY, SOCKS, TELNET, FTP, REALAUDIO = 7528, 7530, 7523, 7521, 7590
LINK, UDP_LINK = 7540, 7541
TRANSFER, DNS = 5674, 53
LOOP = socket.inet_aton("127.0.0.1")

# The seed is one whose garbage names no host to any port, so nothing here
# depends on this machine's resolver: no CR or LF in its first 400 bytes (the
# Telnet prompt's line and the FTP login line grow too long first), no head
# end, a first byte that is no SOCKS version, and a first RealAudio length
# over the limit. Its complete lines are what the mail ports answer.
GARBAGE = random.Random(96).randbytes(1024)
LINES = GARBAGE.count(b"\n")
assert b"\r" not in GARBAGE[:400] and b"\n" not in GARBAGE[:400] and b"\n\n" not in GARBAGE
assert GARBAGE[0] not in (4, 5) and GARBAGE[0] << 8 | GARBAGE[1] > 256 and LINES >= 2
NULS = b"\x00" * 64 + b"\r\n\r\n"
MIB = b"A" * (1 << 20)
SILENCE_S = 1.0
INPUTS = ("garbage", "NUL bytes", "1 MiB without LF", "half, then silence", "reset mid-line", "valid + garbage")

# What the ports answer.
PARSE_PAGE = (b"HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n"
              b'<H4><font COLOR="#FF0000">Error parsing http request : </font></H2><p><pre>')
R500 = b"500 Command unrecognized\r\n"
POP3_HI = b"+OK Korvanet (version 1.5.3 ) POP3 server ready\r\n"
AUTH_HELP = b"-ERR Invalid command; valid commands:  USER,  QUIT\r\n"
SIGN_OFF = b"+OK Korvanet POP3 server signing off\r\n"
PROMPT = b"\xff\xfb\x01\xff\xfb\x03\r\nEnter : <host> [port] : "
FTP_HI = b"220 Korvanet FTP Gateway ready, enter username@host[:port]\r\n"
VERSION_OK = b"\x00\x02\x01\x01"
RA_SUCCESS = struct.pack("!HBB", 26, 6, 0) + b"proxy dialog successful."
# Error-log entries: (code, syscode, text).
BAD_REQUEST = ("2508", "0", "bad http request")
PARSE_ERROR = ("2509", "0", "error in parsing http request")
DIALOG_FAILED = ("3404", "0", "RealAudio proxy dialog failed")


def socks_version(n):
    return "2813", "0", f"SOCKS version {n} not supported"


def socks_connect(port):
    return b"\x05\x01\x00" + b"\x05\x01\x00\x01" + LOOP + struct.pack(">H", port)


class PortIn:
    """An answer holding, after `head`, two bytes of a port the server chose."""

    def __init__(self, head, tail):
        self.head, self.tail = head, tail

    def __len__(self):
        return len(self.head) + 2 + len(self.tail)

    def __repr__(self):
        return f"PortIn({self.head!r}, {self.tail[:40]!r}...)"

    def matches(self, answer):
        return len(answer) == len(self) and answer.startswith(self.head) and answer.endswith(self.tail)


def socks_answer(then):
    """The method answer and a connect reply from the gateway's own port, then `then`."""
    return PortIn(b"\x05\x00\x05\x00\x00\x01" + LOOP, then)


def ra_message(kind, rest=b""):
    return struct.pack("!HB", len(rest) + 1, kind) + rest


def ra_dialogue(port):
    """A player's whole dialogue for a TCP-only stream from 127.0.0.1:port."""
    return (ra_message(1, b"\1") + ra_message(2, b"127.0.0.1") + ra_message(3, struct.pack("!H", port))
            + ra_message(5, b"\1") + ra_message(0))


def entries(srv):
    """(code, syscode, text) of every error-log entry."""
    return re.findall(r"Error (\d+) severity \d syscode (-?\d+) \[[^\]]*\]\r\n([^\r]*)\r\n", srv.read_log("error.log"))


def connection_count():
    m = re.search(rb"Total Connections : <B>(\d+)</B>", admin_get(ADMIN, "/admin/status"))
    return int(m.group(1))


def count_drops_to_zero(timeout=5):
    deadline = time.monotonic() + timeout
    while connection_count() != 0:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


# --- one bad client --------------------------------------------------------------

def bad_client(port, data, end, want):
    """Sends data on a new connection and ends it as `end` says:
    "shut": a half-close, then read until the server closes;
    "silence": read for SILENCE_S, then close (the server must hold on);
    "reset": read until len(want) bytes came, let the server take the
    line's start, then close with a reset;
    "echo": read until len(want) bytes came (a relay: a half-close would end
    it before the far end's answer is back), then close.
    Returns (answer, whether the server closed)."""
    s = connect(port, timeout=5)
    # A relay's far end answers while the rest is on its way: the two go at once.
    sender = threading.Thread(target=send_quietly, args=(s, data), daemon=True)
    sender.start()
    if end != "echo":
        sender.join(5)
    if end == "shut":
        try:
            s.shutdown(socket.SHUT_WR)
        except OSError:  # refused and reset already
            pass
    limit = {"silence": SILENCE_S, "reset": 2, "shut": 5, "echo": 5}[end]
    size = None if end in ("shut", "silence") else len(want)
    answer, closed = read_for(s, limit, size)
    if end == "reset":
        time.sleep(0.2)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    sender.join(5)
    return answer, closed


def send_quietly(s, data):
    try:
        s.sendall(data)
    except OSError:  # a server that refuses the rest closes (and resets)
        pass


def read_for(s, seconds, size=None):
    """What the server sends within seconds (until size bytes, when given),
    and whether it closed (a reset counts) meanwhile."""
    data = b""
    deadline = time.monotonic() + seconds
    while (size is None or len(data) < size) and time.monotonic() < deadline:
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            chunk = s.recv(1 << 20)
        except socket.timeout:
            break
        except ConnectionResetError:
            return data, True
        if not chunk:
            return data, True
        data += chunk
    return data, False


def matches(answer, want):
    return want.matches(answer) if isinstance(want, PortIn) else answer == want


# --- the server and its peers ------------------------------------------------------

@pytest.fixture(scope="module")
def kv(tmp_path_factory):
    """The server with every port open, its peers, and the answer of the
    admin page asked in the valid requests. Fails the module's last test on
    what Server.problems finds once the server has stopped."""
    folder = tmp_path_factory.mktemp("bad_input")
    made = SimpleNamespace(echo=Echo(), origin=Origin(), ftp=ScriptedFtp(), udp_echo=UdpEcho())
    with Netns() as ns:
        made.upstream = Upstream(ns, folder)
        settings = {"ProxyPort": PROXY, "AdminPort": ADMIN, "Socks4": 1, "Socks5": 1, "SocksPort": SOCKS,
                    "MailType": 1, "SMTPServer": "upstream.invalid", "SmtpServerPort": SMTP,
                    "Pop3ServerPort": POP3, "Telnet": 1, "TelnetPort": TELNET, "FTP": 1, "FTPPort": FTP,
                    "RealAudio": 1, "RealAudioPort": REALAUDIO, "Timeout": 1, "DnsServer": ns.there,
                    "EnableCache": 0, "UseBackground": 0, "MailSendRcvType": 1, "MailSendRcvTime": "0:0"}
        lists = {"Links": [f"{LINK}<|>127.0.0.1<|>{made.echo.port}<|>TCP<|>",
                           f"{UDP_LINK}<|>127.0.0.2<|>{made.udp_echo.port}<|>UDP<|>"],
                 "Users": [f"000<|>ann<|>{digest('ann', 'apw')}<|><|>"]}
        made.srv = Server(folder / "kv", settings, lists).start()
        try:
            made.main_page = admin_get(ADMIN, "/admin/main")
            assert made.main_page.startswith(PAGE_HEAD)
            yield made
        finally:
            made.srv.stop()
            for peer in (made.echo, made.origin, made.ftp, made.udp_echo):
                peer.close()
    problems = made.srv.problems()
    if problems:
        pytest.fail("\n\n".join(problems), pytrace=False)


# --- the TCP ports -------------------------------------------------------------------

def tcp_ports(kv):
    """Per port: (port, half a command, a valid command, the inputs relayed to
    an echo peer, {input: (answer, error-log entry or None)}, the fresh
    client's request and its answer)."""
    echo, ftp = kv.echo.port, kv.ftp.port
    telnet_valid = f"127.0.0.1 {echo}\r\n".encode()
    ftp_login = f"USER bob@127.0.0.1:{ftp}\r\n".encode()
    silent = dict.fromkeys(INPUTS, (b"", None))
    return {
        "proxy": (PROXY, b"GET http://127.0.0.1/ HTT", f"GET http://127.0.0.1:{kv.origin.port}/ HTTP/1.0\r\n\r\n".encode(),
                  (), {"garbage": (b"", BAD_REQUEST),
                       "NUL bytes": (PARSE_PAGE + b"</pre>", PARSE_ERROR),  # the head shown ends at the first NUL
                       "1 MiB without LF": (b"", BAD_REQUEST),
                       "half, then silence": (b"", BAD_REQUEST),  # logged once the client closes
                       "reset mid-line": (b"", None),
                       "valid + garbage": (HELLO, None)},
                  f"GET http://127.0.0.1:{kv.origin.port}/ HTTP/1.0\r\n\r\n".encode(), HELLO),
        "admin": (ADMIN, b"GET /admin/ma", b"GET /admin/main HTTP/1.0\r\n\r\n",
                  (), dict(silent, **{"valid + garbage": (kv.main_page, None)}),
                  b"GET /admin/main HTTP/1.0\r\n\r\n", kv.main_page),
        "SOCKS": (SOCKS, b"\x05\x01", socks_connect(echo),
                  ("valid + garbage",),
                  {"garbage": (b"", socks_version(GARBAGE[0])),
                   "NUL bytes": (b"", socks_version(0)),
                   "1 MiB without LF": (b"", socks_version(ord("A"))),
                   "half, then silence": (b"", None),
                   "reset mid-line": (b"", None),
                   "valid + garbage": (socks_answer(GARBAGE), None)},
                  socks_connect(echo) + b"ping", socks_answer(b"ping")),
        "SMTP": (SMTP, b"HELO hal", b"HELO here\r\n",
                 (), {"garbage": (SMTP_HI + R500 * LINES, None),
                      "NUL bytes": (SMTP_HI + R500 * 2, None),   # a line of NULs, an empty line
                      "1 MiB without LF": (SMTP_HI, None),
                      "half, then silence": (SMTP_HI, None),
                      "reset mid-line": (SMTP_HI, None),
                      "valid + garbage": (SMTP_HI + b"250 mailhost\r\n" + R500 * LINES, None)},
                 b"QUIT\r\n", SMTP_HI + b"221 Korvanet SMTP Service closing transmission channel\r\n"),
        "POP3": (POP3, b"USER an", b"USER ann\r\n",
                 (), {"garbage": (POP3_HI + AUTH_HELP * LINES, None),
                      "NUL bytes": (POP3_HI + AUTH_HELP * 2, None),
                      "1 MiB without LF": (POP3_HI, None),
                      "half, then silence": (POP3_HI, None),
                      "reset mid-line": (POP3_HI, None),
                      # The garbage's first line stands where PASS belongs.
                      "valid + garbage": (POP3_HI + b"+OK please send PASS command\r\n-ERR Use command USER again\r\n"
                                          + AUTH_HELP * (LINES - 1), None)},
                 b"USER ann\r\nPASS apw\r\nQUIT\r\n",
                 POP3_HI + b"+OK please send PASS command\r\n+OK 0 messages (0 octets)\r\n" + SIGN_OFF),
        "Telnet gateway": (TELNET, b"127.0.0", telnet_valid,
                           ("valid + garbage",),
                           dict(dict.fromkeys(INPUTS, (PROMPT, None)), **{"valid + garbage": (PROMPT + GARBAGE, None)}),
                           telnet_valid + b"ping", PROMPT + b"ping"),
        "FTP gateway": (FTP, b"USER bob@127.0", ftp_login,
                        (), {"garbage": (FTP_HI, None),
                             "NUL bytes": (FTP_HI + b"421-Error : \r\n421 Closing connection\r\n", None),
                             "1 MiB without LF": (FTP_HI, None),
                             "half, then silence": (FTP_HI, None),
                             "reset mid-line": (FTP_HI, None),
                             # The server's answer to the login; the garbage's first line is too long to pass.
                             "valid + garbage": (FTP_HI + b"331 password please\r\n", None)},
                        ftp_login + b"QUIT\r\n", FTP_HI + b"331 password please\r\n221 Bye\r\n"),
        "RealAudio gateway": (REALAUDIO, b"\x00\x02\x01", ra_dialogue(echo),
                              ("valid + garbage",),
                              dict(dict.fromkeys(INPUTS, (b"", DIALOG_FAILED)),
                                   **{"valid + garbage": (VERSION_OK + RA_SUCCESS + GARBAGE, None)}),
                              ra_dialogue(echo) + b"ping", VERSION_OK + RA_SUCCESS + b"ping"),
        "TCP link": (LINK, b"half", b"hello\n",
                     INPUTS, {"garbage": (GARBAGE, None), "NUL bytes": (NULS, None), "1 MiB without LF": (MIB, None),
                              "half, then silence": (b"half", None), "reset mid-line": (b"half", None),
                              "valid + garbage": (b"hello\n" + GARBAGE, None)},
                     b"ping", b"ping"),
        # Only the server's own trigger speaks here; a token it never handed out is no valid one.
        "mail transfer": (TRANSFER, b"\x01\x02\x03", bytes(8), (), silent, None, None),
    }


def sent(name, half, valid):
    return {"garbage": GARBAGE, "NUL bytes": NULS, "1 MiB without LF": MIB, "half, then silence": half,
            "reset mid-line": half, "valid + garbage": valid + GARBAGE}[name]


def ending(name, relayed):
    if name == "half, then silence":
        return "silence"
    if name == "reset mid-line":
        return "reset"
    return "echo" if name in relayed else "shut"


def fresh_client(kv, name, port, request, want):
    """A valid client after the bad ones: its answer and the one expected."""
    if name == "mail transfer":
        # The admin page's Send and Receive reaches the server through this port.
        page = admin_get(ADMIN, "/admin/mail?BothMail=+Send+and+Receive+", timeout=30)
        return page, page_prefix() + b"<b>Receiving ... </b><br><b>End</b><br><hr>" + send_pass([]) + BACK
    s = connect(port)
    s.sendall(request)
    relays = name in ("SOCKS", "Telnet gateway", "RealAudio gateway", "TCP link")
    answer, _ = read_for(s, 5, len(want) if relays else None)
    s.close()
    return answer, want


@pytest.mark.parametrize("name", ["proxy", "admin", "SOCKS", "SMTP", "POP3", "Telnet gateway", "FTP gateway",
                                  "RealAudio gateway", "TCP link", "mail transfer"])
def test_tcp_port_answers_bad_input_and_gives_the_slot_back(kv, name):
    port, half, valid, relayed, table, request, fresh = tcp_ports(kv)[name]
    assert list(table) == list(INPUTS)
    before = len(entries(kv.srv))
    results = {}

    def run(case):
        want = table[case][0]
        results[case] = bad_client(port, sent(case, half, valid), ending(case, relayed), want)

    threads = [threading.Thread(target=run, args=(case,)) for case in INPUTS]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    wrong = {}
    for case in INPUTS:
        want, _ = table[case]
        answer, closed = results.get(case, (None, None))
        held = ending(case, relayed) == "silence"
        if answer is None or not matches(answer, want) or (held and closed) or \
                (ending(case, relayed) == "shut" and not closed):
            wrong[case] = (answer if answer is None or len(answer) < 400 else answer[:400] + b"...", closed)
    assert wrong == {}, wrong
    # Every handler has ended: the slots are free, and each case left the entry it should.
    assert count_drops_to_zero(), "connections left open"
    assert sorted(entries(kv.srv)[before:]) == sorted(e for _, e in table.values() if e)
    answer, want = fresh_client(kv, name, port, request, fresh)
    assert matches(answer, want), answer[:400]
    assert count_drops_to_zero()
    assert kv.srv.problems() == []


# --- the UDP ports -------------------------------------------------------------------

def udp_client():
    c = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    c.bind(("127.0.0.1", 0))
    return c


def datagrams_within(c, seconds, count=None):
    """The datagrams that reach c within seconds (the first count of them, when given)."""
    got = []
    deadline = time.monotonic() + seconds
    while (count is None or len(got) < count) and time.monotonic() < deadline:
        c.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            got.append(c.recv(65536))
        except socket.timeout:
            break
    return got


def as_query(data):
    """The bytes with the response bit of a DNS header cleared."""
    return data[:2] + bytes([data[2] & 0x7F]) + data[3:]


def dns_query(qid, name):
    labels = b"".join(bytes([len(p)]) + p for p in name.encode().split(b"."))
    return struct.pack(">HBBHHHH", qid, 1, 0, 1, 0, 0, 0) + labels + b"\x00\x00\x01\x00\x01"


def test_dns_forwarder_passes_only_queries_and_answers_after_garbage(kv):
    before = len(entries(kv.srv))
    query = dns_query(0x4242, "after.bench.test")
    # (datagram, what comes back to its sender)
    cases = [
        (b"", None),
        (GARBAGE[:11], None),                             # shorter than a header
        (GARBAGE, None),                                  # the response bit set: no client's query
        (as_query(GARBAGE), None),                        # passed on; the upstream can't read it
        (as_query(random.Random(97).randbytes(65507)), None),
        (bytes(64), answer_for(bytes(64))),               # a header of zeros is a query, and answered
        (query + GARBAGE, answer_for(query)),             # what follows the question goes along unread
    ]
    bad = udp_client()
    for datagram, _ in cases:
        bad.sendto(datagram, ("127.0.0.1", DNS))
    assert sorted(datagrams_within(bad, 1)) == sorted(a for _, a in cases if a)
    fresh = udp_client()
    fresh_query = dns_query(0x0707, "fresh.bench.test")
    fresh.sendto(fresh_query, ("127.0.0.1", DNS))
    assert datagrams_within(fresh, 5, 1) == [answer_for(fresh_query)]
    for c in (bad, fresh):
        c.close()
    assert entries(kv.srv)[before:] == []
    assert kv.srv.problems() == []


def test_udp_link_relays_garbage_and_a_valid_datagram_after_it(kv):
    before = len(entries(kv.srv))
    # (datagram, what comes back: the echo peer's answer, or nothing)
    cases = [(b"", None), (GARBAGE, b"echo:" + GARBAGE), (NULS, b"echo:" + NULS), (b"\xff" * 65000, b"echo:" + b"\xff" * 65000)]
    bad = udp_client()
    for datagram, _ in cases:
        bad.sendto(datagram, ("127.0.0.1", UDP_LINK))
    assert sorted(datagrams_within(bad, 1)) == sorted(a for _, a in cases if a)
    fresh = udp_client()
    fresh.sendto(b"ping", ("127.0.0.1", UDP_LINK))
    assert datagrams_within(fresh, 5, 1) == [b"echo:ping"]
    for c in (bad, fresh):
        c.close()
    assert entries(kv.srv)[before:] == []
    assert kv.srv.problems() == []


def test_socks_udp_association_drops_garbage_and_relays_a_valid_datagram(kv):
    remote = UdpEcho()
    before = len(entries(kv.srv))
    control = connect(SOCKS)
    # The association's TCP connection carries nothing more: what follows the request is read and dropped.
    control.sendall(b"\x05\x01\x00" + b"\x05\x03\x00\x01" + bytes(6) + GARBAGE)
    reply, _ = read_for(control, 5, 12)
    assert reply[:10] == b"\x05\x00\x05\x00\x00\x01" + LOOP
    relay = ("127.0.0.1", struct.unpack(">H", reply[10:12])[0])
    header = b"\x00\x00\x00\x01" + socket.inet_aton("127.0.0.2") + struct.pack(">H", remote.port)
    client = udp_client()
    for datagram in (b"", GARBAGE, NULS, header[:7], b"\xff" * 65000, b"\x00\x00\x00\x03\xff" + GARBAGE[:100]):
        client.sendto(datagram, relay)
    assert datagrams_within(client, 0.5) == []
    client.sendto(header + b"ping", relay)
    assert datagrams_within(client, 5, 1) == [header + b"echo:ping"]
    assert [m for m, _ in remote.got] == [b"ping"]
    control.close()
    client.close()
    remote.close()
    assert count_drops_to_zero()
    assert entries(kv.srv)[before:] == []
    assert kv.srv.problems() == []
