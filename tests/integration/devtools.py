"""A headless browser driven over the DevTools protocol, with a client for
that protocol written on the standard library's sockets."""
import base64
import json
import os
import socket
import struct
import subprocess
import time
import urllib.parse
import urllib.request


class DevTools:
    """A DevTools protocol client over a standard-library websocket."""

    def __init__(self, ws_url, timeout=10):
        u = urllib.parse.urlparse(ws_url)
        self.sock = socket.create_connection((u.hostname, u.port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {u.path} HTTP/1.1\r\nHost: {u.hostname}:{u.port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n"
                           ).encode())
        data = b""
        while b"\r\n\r\n" not in data and len(data) < 65536:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("websocket handshake cut")
            data += chunk
        head, _, self.buffer = data.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 101"), head
        self.next_id = 0
        self.events = []  # what the browser told on its own, in order

    def close(self):
        self.sock.close()

    def _exact(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("websocket closed")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def _send(self, payload, opcode=1):
        head = bytes([0x80 | opcode])
        n = len(payload)
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def _message(self):
        parts = []
        for _ in range(10000):  # frames of one message
            b0, b1 = self._exact(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._exact(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._exact(8))[0]
            payload = self._exact(n)
            opcode = b0 & 0x0F
            if opcode == 8:
                raise ConnectionError("websocket closed by the browser")
            if opcode == 9:
                self._send(payload, 10)
                continue
            if opcode in (0, 1, 2):
                parts.append(payload)
                if b0 & 0x80:
                    return json.loads(b"".join(parts))
        raise ConnectionError("message too long")

    def call(self, method, **params):
        self.next_id += 1
        self._send(json.dumps({"id": self.next_id, "method": method, "params": params}).encode())
        for _ in range(10000):  # events before our answer
            message = self._message()
            if message.get("id") == self.next_id:
                assert "error" not in message, message
                return message["result"]
            if "method" in message:
                self.events.append(message)
        raise ConnectionError("no answer from the browser")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")

    def wait_for(self, expression, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                value = self.evaluate(expression)
            except AssertionError:
                value = None
            if value:
                return value
            time.sleep(0.1)
        raise AssertionError(f"browser never showed: {expression}")

    def errors(self):
        """Script exceptions and console or log entries of level error seen so far
        (Runtime and Log must have been enabled), the site icon's absence aside."""
        self.evaluate("true")  # takes in the events sent before it
        out = []
        for e in self.events:
            p = e.get("params", {})
            if e["method"] == "Runtime.exceptionThrown":
                out.append(p.get("exceptionDetails"))
            elif e["method"] == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
                out.append(p.get("args"))
            elif e["method"] == "Log.entryAdded" and p.get("entry", {}).get("level") == "error":
                # The icon is the browser's own guess, not something a page asked for.
                if not p["entry"].get("url", "").endswith("/favicon.ico"):
                    out.append(p["entry"])
        return out


class Browser:
    """with Browser(program, url, tmp_path) as tools: a headless browser that
    opened url, and a DevTools client of its page; the browser ends after."""

    def __init__(self, program, url, tmp_path):
        self.program, self.url, self.tmp_path = program, url, tmp_path
        self.proc = self.tools = None

    def __enter__(self):
        profile = self.tmp_path / "profile"
        self.proc = subprocess.Popen([self.program, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                      "--no-first-run", "--disable-background-networking",
                                      "--disable-component-update", "--disable-sync",
                                      "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
                                      f"--user-data-dir={profile}", self.url],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                     env=dict(os.environ, HOME=str(self.tmp_path)))
        try:
            port_file = profile / "DevToolsActivePort"
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and not (port_file.exists() and port_file.read_text().strip()):
                time.sleep(0.1)
            port = int(port_file.read_text().split()[0])
            targets = []
            while time.monotonic() < deadline and not targets:
                opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
                with opener.open(f"http://127.0.0.1:{port}/json/list", timeout=5) as answer:
                    targets = [t for t in json.loads(answer.read(1 << 20)) if t.get("type") == "page"]
                time.sleep(0.1)
            self.tools = DevTools(targets[0]["webSocketDebuggerUrl"])
        except BaseException:
            self.__exit__()
            raise
        return self.tools

    def __exit__(self, *exc):
        if self.tools:
            self.tools.close()
        self.proc.terminate()
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
