"""FTP peers of the gateway tests. Run as a program, it is a real FTP server
(pyftpdlib) on ADDRESS with a free port, serving ROOT to the users given as
NAME:PASSWORD, and prints "ready PORT" once it listens:

    ftp_gateway_peers.py ADDRESS ROOT NAME:PASSWORD...

Imported, it gives ScriptedServer: a control connection driven line by line
by the test, for the byte-exact dialogues and the misbehaving servers."""
import socket
import sys


class ScriptedServer:
    """Listens on address; the test accepts the gateway's connection and then
    sends replies and reads the commands it passes on."""

    def __init__(self, address="127.0.0.2", timeout=10):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((address, 0))
        self.listener.listen(8)
        self.listener.settimeout(timeout)
        self.address, self.port = address, self.listener.getsockname()[1]
        self.conn, self.pending = None, b""

    def accept(self, greeting=b"220 scripted ready\r\n"):
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(self.listener.gettimeout())
        if greeting:
            self.conn.sendall(greeting)
        return self

    def send(self, data):
        self.conn.sendall(data)

    def line(self):
        """The next line the gateway sent, with its line end; b"" once it closed."""
        while b"\n" not in self.pending:
            chunk = self.conn.recv(65536)
            if not chunk:
                out, self.pending = self.pending, b""
                return out
            self.pending += chunk
        out, _, self.pending = self.pending.partition(b"\n")
        return out + b"\n"

    def closed(self, timeout=10):
        """Whether the gateway closed this control connection (within timeout)."""
        self.conn.settimeout(timeout)
        try:
            while True:
                chunk = self.conn.recv(65536)
                if not chunk:
                    return True
                self.pending += chunk
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    def close(self):
        for s in (self.conn, self.listener):
            if s:
                s.close()


def serve(address, root, accounts):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    authorizer = DummyAuthorizer()
    for account in accounts:
        name, _, password = account.rpartition(":")
        authorizer.add_user(name, password, root, perm="elradfmwMT")
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "banner": "pyftpdlib ready"})
    server = FTPServer((address, 0), handler)
    print("ready", server.socket.getsockname()[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    import logging
    logging.basicConfig(level=logging.WARNING)
    serve(sys.argv[1], sys.argv[2], sys.argv[3:])
