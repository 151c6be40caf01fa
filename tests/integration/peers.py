"""The loopback peers of the black-box tests: the origin server (also the fake
parent proxy and the far end of a tunnel) that the `origin` fixture of
conftest.py makes, the TCP and UDP echo peers, and a free port."""
import re
import socket
import struct
import threading
import time

from clients import read_head

HELLO = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello"


class LoopbackServer:
    """Listens on 127.0.0.1 and runs handle(conn) on a thread per connection."""

    def __init__(self, port=0, backlog=16):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(backlog)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()

    def handle(self, conn):
        raise NotImplementedError

    def close(self):
        self.sock.close()


class Echo(LoopbackServer):
    """Sends back every byte it receives, until the client closes."""

    def handle(self, conn):
        with conn:
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        return
                    conn.sendall(data)
            except OSError:  # the far side reset: the end as well
                return


class UdpEcho:
    """Answers each datagram with "echo:" and the datagram, from its own
    address; with hold=n it keeps its answers until n datagrams came."""

    def __init__(self, address="127.0.0.2", hold=1):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 0))
        self.port = self.sock.getsockname()[1]
        self.hold, self.got = hold, []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        waiting = []
        while True:
            try:
                msg, peer = self.sock.recvfrom(65536)
            except OSError:
                return
            self.got.append((msg, peer))
            waiting.append((msg, peer))
            if len(waiting) >= self.hold:
                for m, p in waiting:
                    self.sock.sendto(b"echo:" + m, p)
                waiting = []

    def close(self):
        self.sock.close()


class Origin(LoopbackServer):
    """An origin server on loopback that records the exact bytes it receives.

    Each connection: reads one request (its head and a Content-Length body),
    records it in `requests`, counts it in `hits` by path, answers, and closes.

    answer: the bytes sent to every request (b"": take nothing, say nothing, as
    the far end of a tunnel does), or answer(path, number) giving bytes or a
    list of (delay_s, bytes) pieces, optionally ending in (delay_s, "RST") to
    abort with a reset; number counts the requests for that path from 1.
    keep_open: seconds the connection stays open after the answer.
    hold: the connection stays open after the answer until close(): a
    download or tunnel in progress."""

    def __init__(self, answer=HELLO, port=0, keep_open=0.0, hold=False, timeout=10):
        self.answer = answer
        self.keep_open = keep_open
        self.hold = hold
        self.timeout = timeout
        self.requests = []
        self.hits = {}
        self.held = []
        self.lock = threading.Lock()
        super().__init__(port, backlog=32)

    def count(self, path=None):
        """Requests for path so far, or for every path."""
        with self.lock:
            return sum(self.hits.values()) if path is None else self.hits.get(path, 0)

    def handle(self, conn):
        if self.hold:
            self.held.append(conn)
        try:
            if self.answer == b"":
                return
            conn.settimeout(self.timeout)
            data = read_head(conn)
            if b"\r\n\r\n" not in data:
                return
            head, _, body = data.partition(b"\r\n\r\n")
            m = re.search(rb"(?im)^content-length: *(\d+)", head)
            want = int(m.group(1)) if m else 0
            while len(body) < want:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                body += chunk
            path = data.split(b" ")[1].decode()
            with self.lock:
                self.requests.append(head + b"\r\n\r\n" + body)
                self.hits[path] = self.hits.get(path, 0) + 1
                number = self.hits[path]
            pieces = self.answer(path, number) if callable(self.answer) else self.answer
            if isinstance(pieces, bytes):
                pieces = [(0, pieces)]
            for delay, piece in pieces:
                time.sleep(delay)
                if piece == "RST":
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    break
                conn.sendall(piece)
            if self.keep_open:
                time.sleep(self.keep_open)
        except OSError:
            pass
        finally:
            if not self.hold:
                conn.close()

    def close(self):
        super().close()
        for c in self.held:
            c.close()


_handed_out = set()


def free_port():
    """A loopback port where nothing listens (at the moment of asking), and
    never one handed out before in this run: two asked for in a row could
    otherwise come back equal, and the second listener would not start."""
    while True:
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        if port not in _handed_out:
            _handed_out.add(port)
            return port
