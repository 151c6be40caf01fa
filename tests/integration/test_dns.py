"""The resolver and the DNS forwarder seen from outside. The internal
resolver asks a scripted UDP server on 127.0.0.1:53 (DnsServer), driven
through the proxy, whose pages show what a lookup gave; the forwarder holds
UDP 53 on every interface, so its upstream runs in a second namespace."""
import re
import socket
import struct
import threading
import time

import pytest

from dns_upstream import Upstream, address_for, answer_for
from netns import Netns
from clients import exchange, read_head
from peers import LoopbackServer

PROXY, ADMIN, SOCKS = 7228, 7229, 7280
NO_DNS_ENTRY = b"doesn't have DNS entry!"
# Test builds shorten the 4 s retry wait; the one test of the wait itself runs without.
FAST_RETRY = {"KORVANET_TEST_DNS_RETRY_MS": "100"}


def query_bytes(qid, name):
    labels = b"".join(bytes([len(p)]) + p for p in name.encode().split(b"."))
    return struct.pack(">HBBHHHH", qid, 1, 0, 1, 0, 0, 0) + labels + b"\x00\x00\x01\x00\x01"


def reply(query, records, flags=b"\x81\x80", ancount=None, qdcount=1):
    """An answer to query: its question, then records given as
    (name bytes, type, rdata)."""
    end = 12
    while query[end]:
        end += 1 + query[end]
    end += 5
    n = len(records) if ancount is None else ancount
    out = query[:2] + flags + struct.pack(">HHHH", qdcount, n, 0, 0) + query[12:end]
    for name, rtype, data in records:
        out += name + struct.pack(">HHIH", rtype, 1, 3600, len(data)) + data
    return out


PTR = b"\xc0\x0c"  # a pointer to the question's name


class DnsPeer:
    """UDP 53 on loopback. script(query) returns the datagrams to send back."""

    def __init__(self, script, address="127.0.0.1", port=53):
        self.script = script
        self.queries = []  # (monotonic time, bytes)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, port))
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                msg, peer = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            self.queries.append((time.monotonic(), msg))
            for out in self.script(msg):
                self.sock.sendto(out, peer)

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


@pytest.fixture
def dns_peer():
    peers = []

    def make(script):
        peers.append(DnsPeer(script))
        return peers[-1]

    yield make
    for p in peers:
        p.close()


class Origin(LoopbackServer):
    def handle(self, conn):
        conn.settimeout(5)
        try:
            read_head(conn)
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello")
        except OSError:
            pass
        finally:
            conn.close()


@pytest.fixture
def origin():
    o = Origin()
    yield o
    o.close()


def start(korvanet, env=None, lists=None, **settings):
    base = {"ProxyPort": PROXY, "AdminPort": ADMIN, "SocksPort": SOCKS, "DnsServer": "127.0.0.1",
            "InternalResolver": 1, "Timeout": 1, "EnableCache": 0}
    base.update(settings)
    return korvanet(base, lists=lists, env=env)


def fetch(host, port):
    return exchange(f"GET http://{host}:{port}/ HTTP/1.0\r\n\r\n".encode(), PROXY, timeout=100)


def entries(srv, code):
    """Each entry of code as (severity, syscode, text)."""
    return re.findall(rf"(?m)^Error {code} severity (\d) syscode (\d+) \[[^]]*\]\r\n(.*?)\r\n",
                      srv.read_log("error.log"))


def loopback_a(query):
    return [reply(query, [(PTR, 1, socket.inet_aton("127.0.0.1"))])]


def test_query_bytes_cache_and_letter_case(korvanet, dns_peer, origin):
    peer = dns_peer(loopback_a)
    srv = start(korvanet)
    assert fetch("www.Example.test", origin.port).endswith(b"hello")
    assert [q for _, q in peer.queries] == [query_bytes(1, "www.Example.test")]
    # Asked again: from the cache.
    assert fetch("www.Example.test", origin.port).endswith(b"hello")
    assert len(peer.queries) == 1
    # Another letter case is another name.
    assert fetch("www.example.test", origin.port).endswith(b"hello")
    assert [q for _, q in peer.queries][1:] == [query_bytes(2, "www.example.test")]
    # Dotless names go to the system's resolver, dotted addresses to nobody.
    assert fetch("localhost", origin.port).endswith(b"hello")
    assert fetch("127.0.0.1", origin.port).endswith(b"hello")
    assert len(peer.queries) == 2
    assert srv.read_log("error.log").count("Error 17") == 0


def test_cache_holds_200_names(korvanet, dns_peer, origin):
    peer = dns_peer(loopback_a)
    start(korvanet)
    for i in range(201):
        assert fetch(f"h{i}.test", origin.port).endswith(b"hello"), i
    assert len(peer.queries) == 201
    assert fetch("h200.test", origin.port).endswith(b"hello")
    assert len(peer.queries) == 201
    # h0 was the least recently used: pushed out by h200.
    assert fetch("h0.test", origin.port).endswith(b"hello")
    assert len(peer.queries) == 202


def self_pointer(offset):
    """A compression pointer to its own place in the message."""
    return struct.pack(">H", 0xC000 | offset)


def test_real_shaped_answers(korvanet, dns_peer, origin):
    """Only the first A record counts: 127.0.0.2 holds no origin, so a
    connect there shows as a refused page."""
    here, elsewhere = socket.inet_aton("127.0.0.1"), socket.inet_aton("127.0.0.2")
    cname = b"\x03web\xc0\x0c"
    shapes = {
        "cname.test": lambda q: [reply(q, [(PTR, 5, cname), (b"\x03web" + PTR, 1, here)])],
        "two.test": lambda q: [reply(q, [(PTR, 1, here), (PTR, 1, elsewhere)])],
        "aaaa.test": lambda q: [reply(q, [(PTR, 28, bytes(16)), (PTR, 1, here)])],
        "short.test": lambda q: [reply(q, [(PTR, 1, b"\x7f\x00\x00"), (PTR, 1, here)])],
        "plain.test": lambda q: [reply(q, [(b"\x05plain\x04test\x00", 1, here)])],
        # A CNAME whose name and data each point at themselves: pointers are
        # never followed, so the loop costs nothing and the A record counts.
        "loop.test": lambda q: [reply(q, [(self_pointer(len(q)), 5, self_pointer(len(q) + 12)), (PTR, 1, here)])],
        # Someone else's answer first: waited past.
        "foreign.test": lambda q: [b"\x99\x99" + reply(q, [(PTR, 1, elsewhere)])[2:], reply(q, [(PTR, 1, here)])],
    }

    def script(query):
        name = query[12:].split(b"\x00")[0]
        for key, make in shapes.items():
            if name.endswith(key.split(".")[0].encode() + b"\x04test"):
                return make(query)
        return []

    dns_peer(script)
    srv = start(korvanet)
    for name in shapes:
        assert fetch(name, origin.port).endswith(b"hello"), name
    assert entries(srv, 1717) == []


def fail_with(make_reply):
    return lambda query: [make_reply(query)]


@pytest.mark.parametrize("case,script,logged", [
    ("nxdomain", fail_with(lambda q: reply(q, [], flags=b"\x81\x83")), None),
    ("no answer", fail_with(lambda q: reply(q, [])), None),
    ("cname only", fail_with(lambda q: reply(q, [(PTR, 5, b"\x01x\xc0\x0c")])), None),
    ("servfail", fail_with(lambda q: reply(q, [], flags=b"\x81\x82")), 2),
    ("refused", fail_with(lambda q: reply(q, [(PTR, 1, b"\x7f\x00\x00\x01")], flags=b"\x81\x85")), 5),
    ("not a response", fail_with(lambda q: reply(q, [(PTR, 1, b"\x7f\x00\x00\x01")], flags=b"\x01\x00")), 10),
    ("huge count", fail_with(lambda q: reply(q, [(PTR, 5, b"\x01x\xc0\x0c")], ancount=65535)), 12),
    ("cut header", fail_with(lambda q: q[:2] + b"\x81\x80\x00"), 12),
    ("label past end", fail_with(lambda q: reply(q, [(b"\x3fxx", 1, b"")])[:40]), 12),
])
def test_failing_answers(korvanet, dns_peer, case, script, logged):
    """Each fails fast, so it is asked again with the next ID: a logged code
    shows once per query."""
    peer = dns_peer(script)
    srv = start(korvanet, env=FAST_RETRY)
    page = fetch("gone.test", 80)
    assert NO_DNS_ENTRY in page, case
    assert [q for _, q in peer.queries] == [query_bytes(1, "gone.test"), query_bytes(2, "gone.test")]
    time.sleep(0.1)
    found = entries(srv, 1717)
    if logged is None:
        assert found == []
    else:
        assert found == [("3", "0", f"DNS resolver returned code : {logged} (gone.test)")] * 2
    assert "Error 17" not in srv.read_log("error.log").replace("Error 1717", "")


def test_a_name_with_line_ends_cannot_forge_an_entry(korvanet, dns_peer):
    """A SOCKS 5 client names its host in bytes of its own choosing; the
    entry for the failed answer shows the name's control characters as "?",
    so no line of the name stands as an entry (here a fault-guard one)."""
    dns_peer(fail_with(lambda q: reply(q, [], flags=b"\x81\x82")))
    srv = start(korvanet, env=FAST_RETRY, Socks5=1)
    name = b"a.\r\nError 3408 x\r\nService P caused an exception"
    s = socket.create_connection(("127.0.0.1", SOCKS), timeout=10)
    s.sendall(b"\x05\x01\x00")
    assert s.recv(2) == b"\x05\x00"
    s.sendall(b"\x05\x01\x00\x03" + bytes([len(name)]) + name + b"\x00\x50")
    assert s.recv(10) == b"\x05\x01\x00\x01" + bytes(6)
    s.close()
    shown = "DNS resolver returned code : 2 (a.??Error 3408 x??Service P caused an exception)"
    assert entries(srv, 1717) == [("3", "0", shown)] * 2
    assert srv.read_log("error.log").count("\r\n") == 4


def test_nobody_listening_is_a_read_error(korvanet):
    srv = start(korvanet, env=FAST_RETRY)
    assert NO_DNS_ENTRY in fetch("gone.test", 80)
    assert srv.wait_log("error.log", "Error reading reply from DNS server")
    assert entries(srv, 1719) == [("2", "10061", "Error reading reply from DNS server")] * 2


def test_fast_failure_is_retried_at_4_s(korvanet, dns_peer):
    peer = dns_peer(fail_with(lambda q: reply(q, [], flags=b"\x81\x83")))
    start(korvanet)
    began = time.monotonic()
    assert NO_DNS_ENTRY in fetch("gone.test", 80)
    assert 3.8 < time.monotonic() - began < 6
    (t1, q1), (t2, q2) = peer.queries
    assert 3.8 < t2 - t1 < 4.5
    assert (q1, q2) == (query_bytes(1, "gone.test"), query_bytes(2, "gone.test"))


def test_line_down_gives_up_at_5_s(korvanet, dns_peer):
    """With a dial-up connection named and the line down, a silent server is
    given up at the first resend, so dialling can take over."""
    peer = dns_peer(lambda q: [])
    srv = start(korvanet, ConnName="Office line")
    began = time.monotonic()
    assert NO_DNS_ENTRY in fetch("gone.test", 80)
    assert 4.8 < time.monotonic() - began < 7
    assert len(peer.queries) == 1
    assert "Error 17" not in srv.read_log("error.log")


def test_silent_server_and_a_storm_of_foreign_ids(korvanet, dns_peer):
    """Sends at 0, 5, 15 and 35 s, then the end at 75 s: answers with other
    IDs, however many, neither end the query nor stretch it."""
    def storm(query):
        wrong = (struct.unpack(">H", query[:2])[0] + 1) & 0xFFFF
        return [struct.pack(">H", wrong) + reply(query, [(PTR, 1, b"\x7f\x00\x00\x01")])[2:]] * 200

    peer = dns_peer(storm)
    srv = start(korvanet)
    began = time.monotonic()
    assert NO_DNS_ENTRY in fetch("slow.test", 80)
    took = time.monotonic() - began
    assert 74.5 < took < 77
    times = [t - peer.queries[0][0] for t, _ in peer.queries]
    assert [round(t) for t in times] == [0, 5, 15, 35]
    assert {q for _, q in peer.queries} == {query_bytes(1, "slow.test")}
    assert srv.wait_log("error.log", "DNS server timeout")
    assert entries(srv, 1718) == [("3", "0", "DNS server timeout")]  # a slow failure is final


# --- The forwarder -----------------------------------------------------------

UPSTREAM = "10.53.0.2"


@pytest.fixture
def second_ns():
    with Netns() as ns:
        yield ns


def client(port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", port))
    s.settimeout(2)
    return s


def start_forwarder(korvanet, lists=None, **settings):
    base = {"Socks4": 1, "DnsServer": UPSTREAM}
    base.update(settings)
    srv = start(korvanet, lists=lists, **base)
    time.sleep(0.1)
    return srv


def expect_answer(sock, query):
    """The upstream's answer to this query, with the client's own ID."""
    data, peer = sock.recvfrom(65536)
    assert peer == ("127.0.0.1", 53)
    assert data == answer_for(query)
    return data


def test_colliding_ids_each_get_their_own_answer(korvanet, second_ns, tmp_path):
    up = Upstream(second_ns, tmp_path, "--hold", "2")
    start_forwarder(korvanet)
    a, b = client(), client()
    qa, qb = query_bytes(0x4242, "one.bench.test"), query_bytes(0x4242, "two.bench.test")
    a.sendto(qa, ("127.0.0.1", 53))
    b.sendto(qb, ("127.0.0.1", 53))
    expect_answer(a, qa)
    expect_answer(b, qb)
    seen = up.queries()
    ids = [struct.unpack(">H", q[:2])[0] for _, q in seen]
    assert len(ids) == 2 and ids[0] != ids[1] and max(ids) < 65530
    assert [q[2:] for _, q in seen] == [qa[2:], qb[2:]]
    assert all(peer == "10.53.0.1:53" for peer, _ in seen)
    assert address_for(b"\x03one\x05bench\x04test") != address_for(b"\x03two\x05bench\x04test")


def test_21_outstanding_loses_the_oldest(korvanet, second_ns, tmp_path):
    up = Upstream(second_ns, tmp_path, "--hold", "21")
    start_forwarder(korvanet)
    socks = [client() for _ in range(21)]
    queries = [query_bytes(100 + i, f"n{i}.bench.test") for i in range(21)]
    for s, q in zip(socks, queries):
        s.sendto(q, ("127.0.0.1", 53))
        time.sleep(0.005)  # keeps their order
    assert len(up.wait_queries(21)) == 21
    for s, q in list(zip(socks, queries))[1:]:
        expect_answer(s, q)
    socks[0].settimeout(0.5)
    with pytest.raises(socket.timeout):
        socks[0].recvfrom(65536)
    ids = [struct.unpack(">H", q[:2])[0] for _, q in up.queries()]
    assert len(set(ids)) == 21 and max(ids) < 65530


def test_strangers_duplicates_and_short_datagrams_dropped(korvanet, second_ns, tmp_path):
    up = Upstream(second_ns, tmp_path, "--hold", "1000", "--twice")
    srv = start_forwarder(korvanet)
    c = client()
    # Under 12 bytes: dropped. A bare 12-byte header: forwarded.
    c.sendto(b"\x00\x07" + b"\x01" * 9, ("127.0.0.1", 53))
    c.sendto(b"\x00\x08\x01\x00" + bytes(8), ("127.0.0.1", 53))
    q = query_bytes(0x0101, "real.bench.test")
    c.sendto(q, ("127.0.0.1", 53))
    seen = up.wait_queries(2)
    assert [x[2:] for _, x in seen] == [b"\x01\x00" + bytes(8), q[2:]]
    upstream_id = seen[1][1][:2]
    # A stranger's answer carrying the very ID the upstream was sent: dropped.
    stranger = client()
    stranger.sendto(upstream_id + answer_for(q)[2:], ("127.0.0.1", 53))
    c.settimeout(0.5)
    with pytest.raises(socket.timeout):
        c.recvfrom(65536)
    up.release()
    # The upstream answers twice; the second finds its entry gone.
    c.settimeout(2)
    expect_answer(c, q)
    c.settimeout(0.5)
    with pytest.raises(socket.timeout):
        c.recvfrom(65536)
    assert "Error 17" not in srv.read_log("error.log")


def test_queries_from_the_upstream_itself_are_dropped(korvanet, second_ns, tmp_path):
    """A query from UPSTREAM:53 would go back to the upstream, and round again
    if DnsServer pointed at this machine; from another port it is a client's."""
    start_forwarder(korvanet)
    up = Upstream(second_ns, tmp_path, "--query-to", "10.53.0.1:53")
    q = query_bytes(0x0202, "side.bench.test")
    assert ask_from_second_ns(second_ns, q) == answer_for(q)
    seen = up.queries()
    assert [x[2:] for _, x in seen] == [q[2:]]


def ask_from_second_ns(ns, q, timeout=2):
    """Sends q from 10.53.0.2:5353 to the forwarder's veth address; the answer, or b"" on silence."""
    out = ns.run(["python3", "-c", "import socket,sys; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
                  "s.bind(('10.53.0.2', 5353)); s.sendto(bytes.fromhex(sys.argv[1]), ('10.53.0.1', 53)); "
                  "s.settimeout(float(sys.argv[2]))\ntry: print(s.recvfrom(65536)[0].hex())\n"
                  "except socket.timeout: print()", q.hex(), str(timeout)],
                 check=True, capture_output=True, text=True, timeout=timeout + 10)
    return bytes.fromhex(out.stdout.strip())


@pytest.mark.parametrize("settings,lists", [
    ({"SecureInterface": "192.0.2.7"}, None),  # 10.53.0.1 is not a secure interface
    ({}, {"IP": ["192.0.2.0/24"]}),           # 10.53.0.2 is not an allowed address
])
def test_admission_of_queries(korvanet, second_ns, tmp_path, settings, lists):
    """Queries pass the rules connections pass, silently: the address asked
    must be a secure interface, the client an allowed address. Loopback
    passes both."""
    up = Upstream(second_ns, tmp_path)
    srv = start_forwarder(korvanet, lists=lists, **settings)
    refused = query_bytes(0x0303, "outside.bench.test")
    assert ask_from_second_ns(second_ns, refused, timeout=0.5) == b""
    c = client()
    q = query_bytes(0x0304, "inside.bench.test")
    c.sendto(q, ("127.0.0.1", 53))
    expect_answer(c, q)
    assert [x[2:] for _, x in up.queries()] == [q[2:]]
    assert "Error" not in srv.read_log("error.log")


def test_port_53_taken(korvanet):
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("0.0.0.0", 53))
    try:
        srv = start(korvanet, Socks4=1)
        assert srv.wait_log("error.log", "can't start DNS forwarder")
        log = srv.read_log("error.log")
        assert "the port number 53 is already in use" in log
    finally:
        holder.close()
