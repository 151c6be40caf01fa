"""Small loopback peers and socket helpers shared by the black-box tests."""
import hashlib
import socket
import threading


def digest(name, password):
    """A user's stored password digest."""
    return hashlib.md5(f"{name}:Korvanet:{password}".encode()).hexdigest()


def read_until_close(s, limit=4 << 20):
    """Everything the peer sends until it closes (or resets), at most limit bytes."""
    data = b""
    try:
        while len(data) < limit:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass
    return data


def read_head(conn, limit=65536):
    """Bytes up to and including the first blank line (or what came before a close)."""
    data = b""
    while b"\r\n\r\n" not in data and len(data) < limit:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def exchange(raw, port, timeout=10, host="127.0.0.1"):
    """Sends raw bytes on a new connection and returns the whole answer."""
    s = socket.create_connection((host, port), timeout=timeout)
    s.sendall(raw)
    data = read_until_close(s)
    s.close()
    return data


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
