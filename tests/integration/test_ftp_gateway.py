"""The FTP gateway seen from outside. Real clients (ftplib, curl) reach a real
server (pyftpdlib) through it; a scripted server (ftp_gateway_peers.ScriptedServer)
checks the dialogue byte for byte and plays the misbehaving servers.

Clients reach the gateway on 127.0.0.3 and the servers listen on 127.0.0.2,
so the gateway's address on the client side (127.0.0.3, in its 227 answers)
differs from its address on the server side (127.0.0.1, in the PORT lines it
sends on). Test builds read KORVANET_TEST_FTP_DATA_WAIT_MS for how long a
transfer waits for its data peer, since Timeout counts in whole minutes."""
import ftplib
import io
import os
import re
import resource
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from clients import admin_get, connect, curl, read_until, read_until_close
from ftp_gateway_peers import ScriptedServer
from peers import free_port

PROXY, ADMIN, GW = 7428, 7429, 7421
HERE = Path(__file__).resolve().parent
SERVER_HOST, GW_HOST, STRANGER = "127.0.0.2", "127.0.0.3", "127.0.0.5"
GREETING = b"220 Korvanet FTP Gateway ready, enter username@host[:port]\r\n"
BYE = b"221 Bye\r\n"
DATA_WAIT_MS = 1500


def pair(text):
    """The closing pair with its failure text."""
    return b"421-Error : " + text + b"\r\n421 Closing connection\r\n"


def start(korvanet, preexec=None, **settings):
    base = {"ProxyPort": PROXY, "AdminPort": ADMIN, "FTP": 1, "FTPPort": GW, "Timeout": 2, "EnableCache": 0,
            "DnsServer": "127.0.0.9", "InternalResolver": 1}
    base.update(settings)
    return korvanet(base, env={"KORVANET_TEST_DNS_RETRY_MS": "100",
                               "KORVANET_TEST_FTP_DATA_WAIT_MS": str(DATA_WAIT_MS)}, preexec=preexec)


def entries(srv, code):
    """Each entry of code as (severity, syscode, text)."""
    return re.findall(rf"(?m)^Error {code} severity (\d) syscode (\d+) \[[^]]*\]\r\n(.*?)\r\n",
                      srv.read_log("error.log"))


def gateway_rows(timeout=5, want=0):
    """The status page's FTP GW rows, once there are `want` of them."""
    deadline = time.monotonic() + timeout
    while True:
        page = admin_get(ADMIN, "/admin/status")
        rows = [r for r in re.findall(rb"<TR ALIGN=LEFT>.*?(?=<TR ALIGN)", page, re.S) if b"FTP GW" in r]
        if len(rows) == want or time.monotonic() > deadline:
            return rows
        time.sleep(0.05)


def closed(s, timeout=10):
    """Whether the peer closed s without sending anything more."""
    s.settimeout(timeout)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True


def listener(address="127.0.0.1"):
    s = socket.socket()
    s.bind((address, 0))
    s.listen(4)
    s.settimeout(10)
    return s, s.getsockname()[1]


def numbers(port):
    return f"{port >> 8},{port & 255}"


class Ftpd:
    """pyftpdlib on SERVER_HOST serving root to bob (pw) and bob@office (pw2)."""

    def __init__(self, root):
        self.root = root
        self.blob = os.urandom(300_000) + b"\r\n\n\r\0tail"
        (root / "blob.bin").write_bytes(self.blob)
        (root / "notes.txt").write_bytes(b"line one\r\nline two\n")
        (root / "sub").mkdir()
        self.proc = subprocess.Popen([sys.executable, str(HERE / "ftp_gateway_peers.py"), SERVER_HOST, str(root), "bob:pw",
                                      "bob@office:pw2"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready = self.proc.stdout.readline().split()
        assert ready[:1] == [b"ready"], ready
        self.port = int(ready[1])

    def close(self):
        self.proc.kill()
        self.proc.wait()


@pytest.fixture
def ftpd(tmp_path):
    root = tmp_path / "ftproot"
    root.mkdir()
    d = Ftpd(root)
    yield d
    d.close()


def raw_listing(ftp, command):
    out = io.BytesIO()
    ftp.retrbinary(command, out.write)
    return out.getvalue()


def scripted_login(greeting=b"220 scripted ready\r\n", user=b"bob"):
    """A client logged in through the gateway to a ScriptedServer, which has
    read the login command; returns (client, server)."""
    fake = ScriptedServer(SERVER_HOST)
    c = connect(GW, host=GW_HOST)
    assert read_until(c, b"\r\n") == GREETING
    c.sendall(user + f"@{fake.address}:{fake.port}\r\n".encode())
    fake.accept(greeting)
    return c, fake


def logged_in():
    c, fake = scripted_login()
    assert fake.line() == b"bob\r\n"
    fake.send(b"230 in\r\n")
    assert read_until(c, b"\r\n") == b"230 in\r\n"
    return c, fake


def command(c, fake, line, reply):
    """Sends a command, checks the server got it as sent, answers it and
    checks the client got the answer."""
    c.sendall(line)
    assert fake.line() == line
    fake.send(reply)
    assert read_until(c, reply) == reply


def passive(c, fake, announced, data_port):
    """PASV answered by the server with `announced` host numbers and
    data_port; returns the gateway's listener port from its 227 answer."""
    c.sendall(b"PASV\r\n")
    assert fake.line() == b"PASV\r\n"
    fake.send(f"227 Entering Passive Mode ({announced},{numbers(data_port)}).\r\n".encode())
    got = read_until(c, b"\r\n")
    m = re.fullmatch(rb"227 Entering Passive Mode \(127,0,0,3,(\d+),(\d+)\)\r\n", got)
    assert m, got
    return int(m[1]) * 256 + int(m[2])


def active(c, fake, announced, client_port):
    """PORT sent by the client; returns the gateway's listener port from the
    rewritten PORT the server got."""
    c.sendall(f"PORT {announced},{numbers(client_port)}\r\n".encode())
    got = fake.line()
    m = re.fullmatch(rb"PORT 127,0,0,1,(\d+),(\d+)\r\n", got)
    assert m, got
    fake.send(b"200 PORT ok\r\n")
    assert read_until(c, b"\r\n") == b"200 PORT ok\r\n"
    return int(m[1]) * 256 + int(m[2])


# --- real clients, real server ----------------------------------------------------

@pytest.mark.parametrize("pasv", [True, False], ids=["passive", "active"])
def test_ftplib_through_the_gateway_is_byte_exact(korvanet, ftpd, pasv):
    start(korvanet)
    ftp = ftplib.FTP(timeout=10)
    assert ftp.connect(GW_HOST, GW) == GREETING.decode().rstrip("\r\n")
    # The user name holds "@": the split is at the last one.
    assert ftp.login(f"bob@office@{SERVER_HOST}:{ftpd.port}", "pw2").startswith("230")
    ftp.set_pasv(pasv)
    assert raw_listing(ftp, "RETR blob.bin") == ftpd.blob
    up = os.urandom(200_000) + b"\r\n"
    ftp.storbinary("STOR up.bin", io.BytesIO(up))
    assert (ftpd.root / "up.bin").read_bytes() == up
    ftp.storbinary("APPE up.bin", io.BytesIO(b"appended"))
    assert (ftpd.root / "up.bin").read_bytes() == up + b"appended"
    ftp.storbinary("STOU", io.BytesIO(b"unique"))
    assert sorted(p.read_bytes() for p in ftpd.root.iterdir() if p.is_file()) == sorted(
        [ftpd.blob, b"line one\r\nline two\n", up + b"appended", b"unique"])
    # A failed transfer leaves the dialogue going.
    with pytest.raises(ftplib.error_perm, match="^550"):
        raw_listing(ftp, "RETR missing.bin")
    listing, names = raw_listing(ftp, "LIST"), raw_listing(ftp, "NLST")
    facts = dict(ftp.mlsd())
    assert facts["blob.bin"]["size"] == str(len(ftpd.blob)) and facts["sub"]["type"] == "dir"

    direct = ftplib.FTP(timeout=10)
    direct.connect(SERVER_HOST, ftpd.port)
    direct.login("bob", "pw")
    assert raw_listing(direct, "LIST") == listing and raw_listing(direct, "NLST") == names
    assert dict(direct.mlsd())["blob.bin"] == facts["blob.bin"]
    direct.quit()
    assert ftp.quit() == BYE.decode().rstrip("\r\n")


@pytest.mark.parametrize("mode", [[], ["-P", "-"]], ids=["passive", "active"])
def test_curl_through_the_gateway_is_byte_exact(korvanet, ftpd, tmp_path, mode):
    start(korvanet)
    via = f"ftp://bob%40{SERVER_HOST}%3A{ftpd.port}:pw@{GW_HOST}:{GW}/"
    direct = f"ftp://bob:pw@{SERVER_HOST}:{ftpd.port}/"
    out = curl(*mode, via + "blob.bin")
    assert out.returncode == 0, out.stderr
    assert out.stdout == ftpd.blob
    upload = tmp_path / "curl-up.bin"
    upload.write_bytes(os.urandom(150_000))
    out = curl(*mode, "-T", str(upload), via + "curl-up.bin")
    assert out.returncode == 0, out.stderr
    assert (ftpd.root / "curl-up.bin").read_bytes() == upload.read_bytes()
    for path in ("", "sub/"):
        through, plain = curl(*mode, via + path), curl(direct + path)
        assert through.returncode == 0 and plain.returncode == 0, through.stderr
        assert through.stdout == plain.stdout
    assert b"curl-up.bin" in curl(*mode, "-l", via).stdout


@pytest.mark.parametrize("pasv", [True, False], ids=["passive", "active"])
def test_client_that_abandons_a_download(korvanet, ftpd, pasv):
    srv = start(korvanet)
    (ftpd.root / "big.bin").write_bytes(os.urandom(1 << 20) * 16)
    ftp = ftplib.FTP(timeout=10)
    ftp.connect(GW_HOST, GW)
    ftp.login(f"bob@{SERVER_HOST}:{ftpd.port}", "pw")
    ftp.set_pasv(pasv)
    data = ftp.transfercmd("RETR big.bin")
    assert len(data.recv(1000)) > 0
    data.close()
    # The server's answer to the broken transfer passes on, the dialogue goes on.
    try:
        assert ftp.getresp()[:1] in "24"
    except ftplib.error_temp:
        pass
    assert raw_listing(ftp, "RETR notes.txt") == b"line one\r\nline two\n"
    assert ftp.quit() == BYE.decode().rstrip("\r\n")
    # A receiver that went away is no fault of the gateway's.
    assert entries(srv, 1105) == []


# --- the dialogue, byte for byte ---------------------------------------------------

def test_dialogue_and_rewritten_addresses(korvanet):
    start(korvanet)
    # The server's greeting is read, not passed on: it ends at the first line
    # with a blank fourth character that does not begin with a blank.
    c, fake = scripted_login(greeting=b"220-first\r\n 22 not last\r\n220 last\r\n", user=b"USER bob@office")
    assert fake.line() == b"USER bob@office\r\n"
    fake.send(b"331-password\r\n331 please\r\n")
    assert read_until(c, b"331 please\r\n") == b"331-password\r\n331 please\r\n"
    rows = gateway_rows(want=1)
    assert len(rows) == 1 and b"<TD> 127.0.0.1 <TD> 127.0.0.2" in rows[0]
    # 1xx replies are passed on and the next reply read.
    c.sendall(b"STAT\r\n")
    assert fake.line() == b"STAT\r\n"
    fake.send(b"150 one\r\n150 two\r\n211 end\r\n")
    assert read_until(c, b"211 end\r\n") == b"150 one\r\n150 two\r\n211 end\r\n"

    first = passive(c, fake, "127,0,0,2", 1025)
    connect(first, host=GW_HOST).close()
    # The gateway answers EPSV and EPRT itself.
    for line in (b"EPSV\r\n", b"eprt |1|127.0.0.1|2121|\r\n"):
        c.sendall(line)
        assert read_until(c, b"\r\n") == b"500 Command not understood.\r\n"
    # The server's next line is the PORT: it never saw EPSV or EPRT.
    second = active(c, fake, "127,0,0,1", 51210)
    assert second not in (first, 51210)
    # One data listener at a time: the one of PASV is gone.
    with pytest.raises(ConnectionRefusedError):
        connect(first, host=GW_HOST)
    command(c, fake, b"quit \r\n", b"221 server bye\r\n")  # not exactly "quit": passed on
    c.sendall(b"QUIT\r\n")
    assert read_until_close(c) == BYE
    assert fake.line() == b"QUIT\r\n"
    assert fake.closed()
    assert gateway_rows(want=0) == []
    fake.close()


def test_data_channel_keeps_to_the_control_hosts(korvanet):
    start(korvanet)
    c, fake = logged_in()
    payload = os.urandom(100_000)

    # Passive: the 227 names a third host, but the gateway fetches from the
    # server's control address; a stranger on the listener gets nothing.
    data, data_port = listener(SERVER_HOST)
    gw_port = passive(c, fake, "10,9,9,9", data_port)
    stranger = connect(gw_port, host=GW_HOST, source=STRANGER)
    client_data = connect(gw_port, host=GW_HOST)
    c.sendall(b"RETR f\r\n")
    assert fake.line() == b"RETR f\r\n"
    server_data, _ = data.accept()
    fake.send(b"150 here\r\n")
    server_data.sendall(payload)
    server_data.close()
    assert read_until(c, b"\r\n") == b"150 here\r\n"
    assert read_until_close(client_data) == payload
    assert read_until_close(stranger) == b""
    fake.send(b"226 sent\r\n")
    assert read_until(c, b"\r\n") == b"226 sent\r\n"

    # Active: the PORT names a third host, but the gateway delivers to the
    # client's control address; only the server's host may connect.
    mine, my_port = listener("127.0.0.1")
    gw_port = active(c, fake, "10,9,9,9", my_port)
    stranger = connect(gw_port, source=STRANGER)
    c.sendall(b"STOR f\r\n")
    assert fake.line() == b"STOR f\r\n"
    server_data = connect(gw_port, source=SERVER_HOST)
    fake.send(b"150 go\r\n")
    assert read_until(c, b"\r\n") == b"150 go\r\n"
    client_data, _ = mine.accept()
    client_data.sendall(payload)
    client_data.close()
    assert read_until_close(server_data) == payload
    assert read_until_close(stranger) == b""
    fake.send(b"226 stored\r\n")
    assert read_until(c, b"\r\n") == b"226 stored\r\n"
    for s in (c, data, mine):
        s.close()
    fake.close()


@pytest.mark.parametrize("mode", ["passive", "active"])
def test_a_data_peer_that_never_connects(korvanet, mode):
    start(korvanet)
    c, fake = logged_in()
    data, data_port = listener(SERVER_HOST)
    if mode == "passive":
        passive(c, fake, "127,0,0,2", data_port)  # the client never connects
    else:
        mine, my_port = listener("127.0.0.1")
        active(c, fake, "127,0,0,1", my_port)  # the server never connects
    c.sendall(b"LIST\r\n")
    assert fake.line() == b"LIST\r\n"
    if mode == "passive":
        server_data, _ = data.accept()
    fake.send(b"150 opening\r\n")
    assert read_until(c, b"\r\n") == b"150 opening\r\n"
    began = time.monotonic()
    if mode == "passive":
        # The wait ends after its limit and the data socket closes.
        assert read_until_close(server_data) == b""
        waited = time.monotonic() - began
        assert DATA_WAIT_MS / 1000 - 0.3 < waited < DATA_WAIT_MS / 1000 + 3
    fake.send(b"425 no data connection\r\n")
    assert read_until(c, b"\r\n") == b"425 no data connection\r\n"
    assert time.monotonic() - began > DATA_WAIT_MS / 1000 - 0.3
    command(c, fake, b"NOOP\r\n", b"200 still here\r\n")
    c.close()
    fake.close()


def test_kill_ends_a_running_transfer(korvanet):
    start(korvanet)
    c, fake = logged_in()
    data, data_port = listener(SERVER_HOST)
    client_data = connect(passive(c, fake, "127,0,0,2", data_port), host=GW_HOST)
    c.sendall(b"RETR f\r\n")
    assert fake.line() == b"RETR f\r\n"
    server_data, _ = data.accept()
    fake.send(b"150 here\r\n")
    server_data.sendall(b"part")
    assert read_until(c, b"\r\n") == b"150 here\r\n"
    assert read_until(client_data, b"part") == b"part"
    # The data sockets are the record's: a kill wakes the relay between them.
    serial = int(re.search(rb'/admin/kill/(\d+)"', gateway_rows(want=1)[0]).group(1))
    admin_get(ADMIN, f"/admin/kill/{serial}")
    assert closed(client_data, 5) and closed(c, 5)
    assert gateway_rows(want=0) == []
    for s in (server_data, data):
        s.close()
    fake.close()


# --- failures: the closing pair and the log -----------------------------------------

def test_login_failures_end_with_the_closing_pair(korvanet):
    srv = start(korvanet)
    refused = free_port()
    cases = [
        (b"USER bob", b"USER bob"),
        (b"USER bob@", b"USER bob"),
        (b"@127.0.0.2", b""),
        (b"USER bob@:21", b"USER bob"),
        (b"USER bob@127.0.0.2:0", b"USER bob"),
        (b"USER bob@127.0.0.2:65536", b"USER bob"),
        (b"USER bob@127.0.0.2:x", b"USER bob"),
        (b"USER bob@no.such.name", b"Host no.such.name doesn't have DNS entry!\n"),
        (f"USER bob@127.0.0.2:{refused}".encode(), b"Can't connect to host 127.0.0.2 : Connection refused."),
    ]
    for line, text in cases:
        c = connect(GW, host=GW_HOST)
        assert read_until(c, b"\r\n") == GREETING
        c.sendall(line + b"\r\n")
        assert read_until_close(c) == pair(text), line
    assert entries(srv, 1907) == [("1", "10061", "Can't connect to host 127.0.0.2 : Connection refused.")]
    assert entries(srv, 1906) == []


def test_no_descriptor_left_for_the_server_connection(korvanet):
    srv = start(korvanet, preexec=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40)))
    # Clients at the login prompt take every descriptor; the last one waits
    # in the listener's queue.
    held = []
    while len(held) < 100:
        s = connect(GW, host=GW_HOST, timeout=2)
        try:
            assert read_until(s, b"\r\n") == GREETING
        except socket.timeout:
            break
        held.append(s)
    assert 0 < len(held) < 100
    # One descriptor back: the waiting client gets it, and none is left for
    # the connection to its server.
    held.pop().close()
    s.settimeout(10)
    assert read_until(s, b"\r\n") == GREETING
    s.sendall(b"USER bob@127.0.0.2:21\r\n")
    assert read_until_close(s) == pair(b"socket() failed, code 10024")
    assert entries(srv, 1906) == [("1", "10024", "can't create socket")]
    for c in held:
        c.close()


def flood(sock, chunk, limit=64 << 20):
    """Sends chunk again and again until the peer stops taking it; returns
    the bytes sent (at most limit)."""
    sent = 0
    try:
        while sent < limit:
            sock.sendall(chunk)
            sent += len(chunk)
    except OSError:
        pass
    return sent


def test_server_failures_end_with_the_closing_pair(korvanet):
    srv = start(korvanet)
    text_no_lf = b"x" * 65536
    cases = [
        # (greeting, what the server does after reading the login, failure text)
        (b"421 busy\r\n", None, b"Sevice not available."),
        (b"220-never ends\r\n", "close", b"Sevice not available."),
        (None, "close", b"Sevice not available."),
        (b"220 ready\r\n", "close", b"Server closed connection."),
        (b"220 ready\r\n", "endless text", b"Server closed connection."),
    ]
    for greeting, then, text in cases:
        c, fake = scripted_login(greeting=greeting)
        sender = None
        if greeting and greeting.startswith(b"220 "):
            assert fake.line() == b"bob\r\n"
        if then == "close":
            fake.conn.close()
        elif then == "endless text":
            sender = threading.Thread(target=flood, args=(fake.conn, text_no_lf))
            sender.start()
        assert read_until_close(c) == pair(text), (greeting, then)
        if sender:
            sender.join(10)
            assert not sender.is_alive()
        fake.close()
    assert entries(srv, 1907) == [] and entries(srv, 1906) == []


@pytest.mark.parametrize("line", [b"PORT 127,0,0,1,4", b"PORT 127,0,0,1,4,1,7", b"PORT 127,0,0,256,4,1",
                                  b"PORT 127,0,0,1,4,1000", b"PORT -1,0,0,1,4,1", b"PORT"],
                         ids=["missing", "extra", "address-range", "port-range", "sign", "none"])
def test_unreadable_port_ends_the_session(korvanet, line):
    start(korvanet)
    c, fake = logged_in()
    c.sendall(line + b"\r\n")
    assert read_until_close(c) == pair(b"Failed to scan port information.")
    assert fake.closed() and fake.pending == b""


def test_unreadable_227_passes_unchanged(korvanet):
    start(korvanet)
    c, fake = logged_in()
    for reply in (b"227 Entering Passive Mode (127,0,0,2,4).\r\n", b"227 Entering Passive Mode (127,0,0,2,4,1,1)\r\n",
                  b"227 Entering Passive Mode (127,0,0,2,256,1)\r\n", b"227 Entering Passive Mode 127,0,0,2,4,1\r\n",
                  b"227-Entering Passive Mode (127,0,0,2,4,1)\r\n227 end\r\n", b"502 no passive\r\n"):
        command(c, fake, b"PASV\r\n", reply)
    # No listener was made: a transfer passes its reply and relays nothing.
    command(c, fake, b"RETR f\r\n", b"425 use PORT or PASV first\r\n")
    command(c, fake, b"NOOP\r\n", b"200 ok\r\n")
    c.close()
    fake.close()


def test_passive_target_that_refuses_ends_the_session(korvanet):
    start(korvanet)
    c, fake = logged_in()
    passive(c, fake, "127,0,0,2", free_port())
    c.sendall(b"RETR f\r\n")
    assert fake.line() == b"RETR f\r\n"
    assert read_until_close(c) == pair(b"Cannot create data connection.")
    assert fake.closed()


# --- bad input ------------------------------------------------------------------------

def test_line_limits(korvanet):
    start(korvanet)
    # A login line of 200 characters is read; its command is cut to 49.
    fake = ScriptedServer(SERVER_HOST)
    host = f"@{fake.address}:{fake.port}"
    user = b"USER " + b"u" * (200 - 5 - len(host))
    c = connect(GW, host=GW_HOST)
    assert read_until(c, b"\r\n") == GREETING
    c.sendall(user + host.encode() + b"\r\n")
    fake.accept()
    assert fake.line() == user[:49] + b"\r\n"
    fake.send(b"230 in\r\n")
    assert read_until(c, b"\r\n") == b"230 in\r\n"
    # So is a command of 200; one of 201 closes both sides without a word.
    command(c, fake, b"NOOP " + b"x" * 195 + b"\r\n", b"200 ok\r\n")
    c.sendall(b"NOOP " + b"x" * 196 + b"\r\n")
    assert closed(c)
    assert fake.closed() and fake.pending == b""
    fake.close()
    # A login line of 201 characters: closed, and no server is called.
    fake = ScriptedServer(SERVER_HOST, timeout=1)
    host = f"@{fake.address}:{fake.port}"
    c = connect(GW, host=GW_HOST)
    assert read_until(c, b"\r\n") == GREETING
    c.sendall(b"USER " + b"u" * (201 - 5 - len(host)) + host.encode() + b"\r\n")
    assert closed(c)
    with pytest.raises(socket.timeout):
        fake.accept()
    fake.close()


def cpu_ticks(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def test_endless_preliminary_replies(korvanet):
    srv = start(korvanet)
    c, fake = logged_in()
    c.sendall(b"RETR f\r\n")
    assert fake.line() == b"RETR f\r\n"
    line = b"150 still working\r\n"
    fake.send(line * 1000)
    got = b""
    while len(got) < len(line) * 1000:
        chunk = c.recv(65536)
        assert chunk
        got += chunk
    assert got == line * 1000
    # Between lines the gateway waits: it does not spin.
    before = cpu_ticks(srv.proc.pid)
    time.sleep(1)
    assert cpu_ticks(srv.proc.pid) - before < 20
    # Lines forever: they flow while the client reads; once it has gone,
    # the gateway leaves and the server's sends fail.
    sender = threading.Thread(target=flood, args=(fake.conn, line * 100))
    sender.start()
    assert read_until(c, line * 50).count(line) >= 50
    c.close()
    sender.join(15)
    assert not sender.is_alive()
    assert gateway_rows(want=0) == []
    fake.close()
