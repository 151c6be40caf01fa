"""FTP servers on loopback for the proxy's ftp:// tests: a scripted server
that records every command and can lie at any step, and a pyftpdlib server
over a directory."""
import re
import socket
import threading
import time

from peers import LoopbackServer


# vsftpd's configuration for a private run on loopback: anonymous and read-only
# from root, in the foreground as the user who starts it; passive answers on
# or off with pasv ("YES" or "NO").
VSFTPD_CONFIG = """\
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
anonymous_enable=YES
anon_root={root}
no_anon_password=YES
local_enable=NO
write_enable=NO
run_as_launching_user=YES
seccomp_sandbox=NO
background=NO
pasv_enable={pasv}
pasv_address=127.0.0.1
port_enable=YES
connect_from_port_20=NO
xferlog_enable=NO
dirmessage_enable=NO
secure_chroot_dir={home}
ftpd_banner=vsftpd here
"""


class ScriptedFtp(LoopbackServer):
    """A small FTP server: `files` {path: bytes} answer SIZE and RETR, `dirs`
    {path: listing bytes} answer CWD and LIST (of the directory last entered;
    "" is the login directory). Every connection's commands are recorded in
    `sessions` (a list of lists of str).

    greeting: bytes sent first. replies: {verb or "VERB arg": bytes or
    callable(arg) -> bytes} that replace the usual answer (b"" closes the
    connection instead). pasv: "ok", "noparen", "lie" (names 10.9.9.9), or
    "refuse". size: False to refuse SIZE. data: callable(kind, payload)
    -> list of (delay, bytes) pieces for the data connection, then "after"
    replies the final line (default 226). intruder: on PORT, a connection
    from 127.0.0.2 reaches the proxy's listener first and sends b"EVIL"."""

    def __init__(self, files=None, dirs=None, greeting=b"220 scripted ready\r\n", replies=None,
                 pasv="ok", size=True, data=None, after=b"226 done\r\n", intruder=False):
        self.intruder = intruder
        self.files = files or {}
        self.dirs = dirs or {}
        self.greeting = greeting
        self.replies = replies or {}
        self.pasv = pasv
        self.size = size
        self.data = data
        self.after = after
        self.sessions = []
        self.ended = []
        self.lock = threading.Lock()
        super().__init__(backlog=32)

    def connections(self):
        with self.lock:
            return len(self.sessions)

    def commands(self, n=-1):
        """The commands of session n, once the proxy has closed it (the
        browser may have its answer before the QUIT)."""
        with self.lock:
            done = self.ended[n]
        done.wait(5)
        with self.lock:
            return list(self.sessions[n])

    def handle(self, conn):
        conn.settimeout(10)
        record = []
        done = threading.Event()
        with self.lock:
            self.sessions.append(record)
            self.ended.append(done)
        state = {"cwd": "", "data": None, "listener": None, "evil": None}
        try:
            if self.greeting:
                conn.sendall(self.greeting)
            f = conn.makefile("rb")
            while True:
                line = f.readline(65536)
                if not line:
                    return
                text = line.rstrip(b"\r\n").decode("latin-1")
                record.append(text)
                verb, _, arg = text.partition(" ")
                if verb.upper() == "CWD" and arg in self.dirs:
                    state["cwd"] = arg
                answer = self.replies.get(text, self.replies.get(verb.upper()))
                if callable(answer):
                    answer = answer(arg)
                if answer is None:
                    answer = self.answer(conn, verb.upper(), arg, state)
                if answer == b"":
                    return
                if answer:
                    conn.sendall(answer)
                if verb.upper() == "QUIT":
                    return
        except OSError:
            pass
        finally:
            conn.close()
            for k in ("data", "listener", "evil"):
                if state[k]:
                    state[k].close()
            done.set()

    def answer(self, conn, verb, arg, state):
        if verb == "USER":
            return b"331 password please\r\n"
        if verb == "PASS":
            return b"230 logged in\r\n"
        if verb == "SIZE":
            if self.size and arg in self.files:
                return b"213 %d\r\n" % len(self.files[arg])
            return b"550 not a plain file\r\n"
        if verb == "CWD":
            if arg in self.dirs:
                state["cwd"] = arg
                return b"250 directory changed\r\n"
            return b"550 no such directory\r\n"
        if verb == "TYPE":
            return b"200 type set\r\n"
        if verb == "PASV":
            if self.pasv == "refuse":
                return b"502 no passive mode\r\n"
            listener = socket.socket()
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            state["listener"] = listener
            port = listener.getsockname()[1]
            numbers = "%s,%d,%d" % ("10,9,9,9" if self.pasv == "lie" else "127,0,0,1", port >> 8, port & 255)
            if self.pasv == "noparen":
                return b"227 Entering Passive Mode " + numbers.encode() + b"\r\n"
            return b"227 Entering Passive Mode (" + numbers.encode() + b")\r\n"
        if verb == "PORT":
            n = [int(x) for x in arg.split(",")]
            if self.intruder:
                evil = socket.create_connection((".".join(map(str, n[:4])), n[4] * 256 + n[5]), timeout=5,
                                                source_address=("127.0.0.2", 0))
                evil.sendall(b"EVIL")
                state["evil"] = evil
                time.sleep(0.1)
            s = socket.create_connection((".".join(map(str, n[:4])), n[4] * 256 + n[5]), timeout=5)
            state["data"] = s
            return b"200 port ok\r\n"
        if verb in ("RETR", "LIST"):
            payload = self.files.get(arg) if verb == "RETR" else self.dirs.get(state["cwd"])
            if payload is None:
                return b"550 not found\r\n"
            conn.sendall(b"150 opening data connection\r\n")
            data = state["data"]
            if state["listener"]:
                state["listener"].settimeout(5)
                data, _ = state["listener"].accept()
                state["listener"].close()
                state["listener"] = None
            pieces = self.data(verb, payload) if self.data else [(0, payload)]
            try:
                for delay, piece in pieces:
                    time.sleep(delay)
                    data.sendall(piece)
            except OSError:
                pass
            data.close()
            state["data"] = None
            time.sleep(0.05)
            return self.after
        if verb == "QUIT":
            return b"221 bye\r\n"
        return b"502 not implemented\r\n"


class PyFtpd:
    """pyftpdlib serving root read-only to anonymous, on a thread."""

    def __init__(self, root):
        import logging
        import warnings
        with warnings.catch_warnings():
            # Debian's pyftpdlib still imports asyncore, crypt and spwd.
            warnings.simplefilter("ignore", DeprecationWarning)
            from pyftpdlib.authorizers import DummyAuthorizer
            from pyftpdlib.handlers import FTPHandler
            from pyftpdlib.servers import ThreadedFTPServer
        logging.getLogger("pyftpdlib").setLevel(logging.ERROR)
        authorizer = DummyAuthorizer()
        authorizer.add_anonymous(str(root))
        authorizer.add_user("bob", "secret", str(root), perm="elr")
        handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "banner": "pyftpdlib ready"})
        self.server = ThreadedFTPServer(("127.0.0.1", 0), handler)
        self.port = self.server.address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"timeout": 0.2}, daemon=True)
        self.thread.start()

    def close(self):
        self.server.close_all()


def pasv_port(reply):
    m = re.search(r"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)", reply)
    return int(m.group(5)) * 256 + int(m.group(6))
