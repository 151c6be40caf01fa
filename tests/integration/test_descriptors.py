"""Running out of descriptors: the server rests its listeners instead of
spinning, logs each episode once, keeps its running connections, and serves
again as soon as descriptors come back."""
import os
import re
import resource
import socket
import time

from clients import exchange, read_head
from mail_setup import LISTS, POP3, SMTP, LineClient, spool
from peers import Echo, LoopbackServer

PROXY, ADMIN = 18280, 18281
IDLE_CLIENTS = 100


class Page(LoopbackServer):
    def handle(self, conn):
        with conn:
            read_head(conn)
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello")


def limit_descriptors(soft, hard):
    return lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def entries(srv, code):
    return len(re.findall(rf"(?m)^Error {code} severity", srv.read_log("error.log")))


def open_tunnel(port):
    s = socket.create_connection(("127.0.0.1", PROXY), timeout=5)
    s.sendall(f"CONNECT 127.0.0.1:{port} HTTP/1.0\r\n\r\n".encode())
    assert read_head(s).startswith(b"HTTP/1.0 200")
    return s


def echoed(s, text):
    s.sendall(text)
    got = b""
    while len(got) < len(text):
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
    return got


def served_within(seconds, ask):
    deadline = time.monotonic() + seconds
    while True:
        answer = ask()
        if answer or time.monotonic() > deadline:
            return answer
        time.sleep(0.05)


def test_exhaustion_rests_the_listeners_and_recovers(korvanet):
    echo, page = Echo(), Page()
    srv = korvanet({"ProxyPort": PROXY, "AdminPort": ADMIN, "LogAccess": 1, "Timeout": 2, "EnableCache": 0},
                   preexec=limit_descriptors(40, 40))
    # The hard limit is far below what a full task table needs: said once at start.
    assert srv.wait_log("error.log", "open file limit too low for 120 connections")
    tunnel = open_tunnel(echo.port)
    assert echoed(tunnel, b"before") == b"before"

    idle = [socket.create_connection(("127.0.0.1", PROXY), timeout=5) for _ in range(IDLE_CLIENTS)]
    assert srv.wait_log("error.log", "failed to accept connection")
    # Administrators asking now wait in the queue with their whole request.
    waiting_admins = []
    for _ in range(3):
        s = socket.create_connection(("127.0.0.1", ADMIN), timeout=10)
        s.sendall(b"GET /admin/main HTTP/1.0\r\n\r\n")
        waiting_admins.append(s)
    time.sleep(0.5)
    start = cpu_seconds(srv.proc.pid)
    time.sleep(5)
    used = cpu_seconds(srv.proc.pid) - start
    assert used < 0.5, f"{used:.2f} s of CPU in 5 s while out of descriptors"
    assert srv.proc.poll() is None
    assert echoed(tunnel, b"during") == b"during"

    for s in idle:
        s.close()
    ask_page = lambda: exchange(f"GET http://127.0.0.1:{page.port}/ HTTP/1.0\r\n\r\n".encode(), PROXY, timeout=2)
    assert served_within(1, ask_page).endswith(b"\r\n\r\nhello")
    ask_admin = lambda: exchange(b"GET /admin/main HTTP/1.0\r\n\r\n", ADMIN, timeout=2)
    assert served_within(1, ask_admin).startswith(b"HTTP/1.0 200")
    for s in waiting_admins:
        s.settimeout(5)
        assert s.recv(12).startswith(b"HTTP/1.0 200")
        s.close()
    assert echoed(tunnel, b"after") == b"after"
    tunnel.close()
    assert 1 <= entries(srv, 3405) <= 5
    assert 1 <= entries(srv, 1202) <= 5
    echo.close()
    page.close()


def test_soft_descriptor_limit_is_raised_to_the_hard_limit(korvanet):
    srv = korvanet({"ProxyPort": PROXY, "AdminPort": ADMIN}, preexec=limit_descriptors(1024, 4096))
    limits = open(f"/proc/{srv.proc.pid}/limits").read()
    assert re.search(r"(?m)^Max open files\s+4096\s+4096\s+files", limits), limits
    assert "open file limit too low" not in srv.read_log("error.log")


def exhaust(srv, port):
    """Lowers the server's limit to just above its highest open descriptor and
    fills every hole below it with idle clients of port, until the accept
    thread reports that it can take no more; returns the clients and the
    limits to restore."""
    pid = srv.proc.pid
    highest = max(int(n) for n in os.listdir(f"/proc/{pid}/fd"))
    limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (highest + 1, limits[1]))
    before = entries(srv, 3405)
    fillers = []
    while entries(srv, 3405) == before and len(fillers) < 100:
        fillers.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        time.sleep(0.02)
    assert entries(srv, 3405) > before and every_descriptor_taken(srv), "the holes never filled"
    return fillers, limits


def every_descriptor_taken(srv, timeout=5):
    pid = srv.proc.pid
    limit = resource.prlimit(pid, resource.RLIMIT_NOFILE)[0]
    deadline = time.monotonic() + timeout
    while len(os.listdir(f"/proc/{pid}/fd")) < limit:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def test_each_service_answers_when_no_descriptor_is_left(korvanet):
    echo_port = 18282
    page = Page()
    srv = korvanet({"ProxyPort": PROXY, "AdminPort": ADMIN, "MailType": 1, "SMTPServer": "upstream.invalid",
                    "SmtpServerPort": SMTP, "Pop3ServerPort": POP3, "Timeout": 2, "EnableCache": 1},
                   lists=LISTS, env={"KORVANET_TEST_ECHO_PORTS": str(echo_port)})
    smtp = LineClient(SMTP)
    for line in (b"HELO here\r\n", b"MAIL FROM:<a@b.example>\r\n", b"RCPT TO:<ann>\r\n", b"DATA\r\n"):
        smtp.ask(line)
    assert smtp.ask(b"Subject: first\r\n\r\nbody\r\n.\r\n").startswith(b"250")
    smtp.ask(b"MAIL FROM:<a@b.example>\r\n")
    smtp.ask(b"RCPT TO:<ann>\r\n")
    pop = LineClient(POP3)
    pop.ask(b"USER ann\r\n")
    assert pop.ask(b"PASS apw\r\n").startswith(b"+OK")
    admin = socket.create_connection(("127.0.0.1", ADMIN), timeout=10)
    proxy = socket.create_connection(("127.0.0.1", PROXY), timeout=10)
    time.sleep(0.2)  # every connection accepted
    registry_before = srv.registry.read_bytes()
    spooled = spool(srv)

    fillers, limits = exhaust(srv, echo_port)
    # SMTP: no 250 without a stored file.
    reply = smtp.ask(b"DATA\r\n")
    if reply.startswith(b"354"):
        reply = smtp.ask(b"Subject: second\r\n\r\nbody\r\n.\r\n")
    assert reply.startswith(b"4"), reply
    assert spool(srv) == spooled
    # POP3: the message cannot be opened.
    assert pop.ask(b"RETR 1\r\n").startswith(b"-ERR"), "RETR while out of descriptors"
    # A save that cannot write keeps the file as it was.
    admin.sendall(b"GET /admin/config/apply?__PROXY__=&ProxyPort=4000&Save=+++Save++ HTTP/1.0\r\n\r\n")
    admin.settimeout(10)
    while admin.recv(65536):  # until the server has closed its end
        pass
    assert srv.registry.read_bytes() == registry_before
    # The admin connection's close freed a descriptor: a client waiting in the
    # queue takes it as soon as the accept thread looks again.
    fillers.append(socket.create_connection(("127.0.0.1", echo_port), timeout=5))
    assert every_descriptor_taken(srv), "the freed descriptor stayed free"
    # The proxy: its entry and its page (last: its close frees a descriptor).
    proxy.sendall(f"GET http://127.0.0.1:{page.port}/ HTTP/1.0\r\n\r\n".encode())
    proxy.settimeout(10)
    assert read_head(proxy).startswith(b"HTTP/1.0 ")
    assert srv.wait_log("error.log", "can't create socket")

    resource.prlimit(srv.proc.pid, resource.RLIMIT_NOFILE, limits)
    for s in fillers:
        s.close()
    assert served_within(1, lambda: exchange(f"GET http://127.0.0.1:{page.port}/ HTTP/1.0\r\n\r\n".encode(),
                                            PROXY, timeout=2)).endswith(b"hello")
    assert pop.ask(b"RETR 1\r\n", until=b"\r\n.\r\n").startswith(b"+OK")
    for s in (smtp.s, pop.s, admin, proxy):
        s.close()
    page.close()
