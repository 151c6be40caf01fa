"""Running out of descriptors: the server rests its listeners instead of
spinning, logs each episode once, keeps its running connections, and serves
again as soon as descriptors come back."""
import os
import re
import resource
import socket
import time

from clients import exchange, read_head
from peers import LoopbackServer

PROXY, ADMIN = 18280, 18281
IDLE_CLIENTS = 100


class Echo(LoopbackServer):
    def handle(self, conn):
        with conn:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)


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
