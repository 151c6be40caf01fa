"""Scripted mail peers on loopback for the mail exchange tests: an SMTP
upstream and a POP3 provider that record what the server sends them and
answer as each test scripts, plus the set-up of a server that exchanges mail
with them and the Send and Receive page.

Replies are scripted per connection: a peer takes a list of override tables,
the first for its first connection, the second for the second, and so on;
later connections get the plain answers. An override table maps a command
word ("EHLO", "MAIL", "RCPT", "DATA", "RETR", ...; "greeting"; "." for the end
of the message data) to a reply, or to {n: reply} for the n-th time that word
comes in that connection. A reply is bytes or a list of pieces: bytes, CLOSE
(end the connection there), or a callable piece(conn) that sends what it
likes and returns False to end the connection. The upstream takes message
data only after a reply to DATA given as bytes beginning with "3"."""
import base64
import os
import re
import smtplib
import threading
import time

from clients import admin_get
from mail_setup import LISTS, SMTP, mail_dir, start_mail
from peers import LoopbackServer

CLOSE = object()
ADMIN = 7481
TRANSFER_TITLE = b"<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail Transfer</FONT></b></center><hr>\n"
BACK = b'<hr><a href="/admin/manual"><B>Back</b></a>'
STAMP = rb"\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\]"


def _pick(overrides, word, count):
    reply = overrides.get(word)
    if isinstance(reply, dict):
        reply = reply.get(count)
    return reply


class _ScriptedPeer(LoopbackServer):
    """What both peers share: per-connection scripts, a record of every
    connection, and waiting for connections to end."""

    def __init__(self, scripts=(), port=0):
        self.scripts = list(scripts)
        self.sessions = []      # one record list per connection, in accept order
        self.lock = threading.Lock()
        self.ended = threading.Condition(self.lock)
        self.finished = 0
        super().__init__(port)

    def handle(self, conn):
        with self.lock:
            number = len(self.sessions)
            record = []
            self.sessions.append(record)
        overrides = self.scripts[number] if number < len(self.scripts) else {}
        counts = {}
        conn.settimeout(30)
        try:
            self.converse(conn, overrides, counts, record)
        except OSError:
            pass
        finally:
            conn.close()
            with self.lock:
                self.finished += 1
                self.ended.notify_all()

    @staticmethod
    def resolve(overrides, counts, word, default):
        """The reply to this coming of word: scripted, else default."""
        counts[word] = counts.get(word, 0) + 1
        reply = _pick(overrides, word, counts[word])
        return default if reply is None else reply

    def reply(self, conn, overrides, counts, word, default):
        """Sends the reply to word; False: the connection ends."""
        return self.send(conn, self.resolve(overrides, counts, word, default))

    @staticmethod
    def send(conn, reply):
        for piece in ([reply] if isinstance(reply, bytes) else reply):
            if piece is CLOSE:
                return False
            if callable(piece):
                if piece(conn) is False:
                    return False
                continue
            conn.sendall(piece)
        return True

    def wait_idle(self, timeout=15):
        """Waits until every connection so far has ended; their records."""
        with self.lock:
            n = len(self.sessions)
        return self.wait_sessions(n, timeout)

    def wait_sessions(self, n, timeout=15):
        """Waits until n connections have ended; their records."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while self.finished < n:
                left = deadline - time.monotonic()
                assert left > 0, f"{self.finished} of {n} connections ended: {self.sessions}"
                self.ended.wait(left)
            return [list(s) for s in self.sessions]


def _lines(conn, pending):
    """Reads one line (without CRLF) after the bytes pending; (line, rest) or (None, b"")."""
    while b"\n" not in pending:
        chunk = conn.recv(65536)
        if not chunk:
            return None, b""
        pending += chunk
    line, rest = pending.split(b"\n", 1)
    return line.rstrip(b"\r"), rest


class SmtpUpstream(_ScriptedPeer):
    """An SMTP server that keeps each connection's commands as text and each
    message's data as bytes (from after the reply to DATA up to and including
    the final "\\r\\n.\\r\\n"), so a session reads like
    ["EHLO ...", "MAIL FROM:<a@b>", "RCPT TO:<c@d>", "DATA", b"...\\r\\n.\\r\\n", "RSET", "QUIT"].

    ehlo: the plain answer to EHLO; auth: (user, password) accepted by AUTH LOGIN."""

    def __init__(self, *scripts, ehlo=b"250-upstream\r\n250 HELP\r\n", auth=None):
        self.ehlo = ehlo
        self.auth = auth
        super().__init__(scripts)

    def messages(self):
        """The data of every message received whole (up to its final dot line),
        over all connections."""
        with self.lock:
            return [item for s in self.sessions for item in s
                    if isinstance(item, bytes) and item.endswith(b"\r\n.\r\n")]

    def converse(self, conn, overrides, counts, record):
        plain = {"HELO": b"250 upstream\r\n", "EHLO": self.ehlo, "MAIL": b"250 sender ok\r\n",
                 "RCPT": b"250 recipient ok\r\n", "DATA": b"354 go ahead\r\n", ".": b"250 queued\r\n",
                 "RSET": b"250 reset\r\n", "NOOP": b"250 ok\r\n", "ETRN": b"250 Queuing started\r\n",
                 "QUIT": [b"221 bye\r\n", CLOSE],
                 "AUTH": b"334 VXNlcm5hbWU6\r\n" if self.auth else b"502 5.5.1 not supported\r\n"}
        if not self.reply(conn, overrides, counts, "greeting", b"220 upstream ready\r\n"):
            return
        pending = b""
        while True:
            line, pending = _lines(conn, pending)
            if line is None:
                return
            text = line.decode("latin-1")
            record.append(text)
            word = text.split(" ")[0].upper()
            if word == "AUTH" and self.auth:
                if not self.reply(conn, overrides, counts, "AUTH", plain["AUTH"]):
                    return
                ok = True
                for want, prompt in ((self.auth[0], b"334 UGFzc3dvcmQ6\r\n"), (self.auth[1], None)):
                    line, pending = _lines(conn, pending)
                    if line is None:
                        return
                    record.append(line.decode("latin-1"))
                    ok = ok and line == base64.b64encode(want.encode())
                    if prompt:
                        conn.sendall(prompt)
                conn.sendall(b"235 2.7.0 Authentication successful\r\n" if ok
                             else b"535 5.7.8 Authentication credentials invalid\r\n")
                continue
            default = plain.get(word, b"500 unrecognized\r\n")
            if word == "DATA":
                reply = self.resolve(overrides, counts, "DATA", default)
                if not self.send(conn, reply):
                    return
                if not (isinstance(reply, bytes) and reply[:1] == b"3"):
                    continue
                data = pending
                while b"\r\n.\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        record.append(data)  # cut: kept, but never ends in the final dot line
                        return
                    data += chunk
                end = data.index(b"\r\n.\r\n") + 5
                record.append(data[:end])
                pending = data[end:]
                if not self.reply(conn, overrides, counts, ".", plain["."]):
                    return
                continue
            if not self.reply(conn, overrides, counts, word, default):
                return


def flood(line, count):
    """A piece sending the same line count times (an endless reply, bounded)."""
    def piece(conn):
        block = line * 500
        for _ in range(count // 500):
            conn.sendall(block)
    return piece


class Pop3Provider(_ScriptedPeer):
    """A POP3 account holding messages (bytes in transmission form, each ending
    in CRLF). Each connection's commands are kept as text; DELE marks a
    message, and only QUIT removes the marked ones, so a connection that ends
    otherwise leaves the account as it was. `held` is what the account holds."""

    def __init__(self, messages, *scripts, user="jim", password="pw", port=0):
        self.held = list(messages)
        self.user, self.password = user, password
        super().__init__(scripts, port)

    def converse(self, conn, overrides, counts, record):
        if not self.reply(conn, overrides, counts, "greeting", b"+OK provider ready\r\n"):
            return
        with self.lock:
            listed = list(self.held)
        marked, user, pending = set(), None, b""
        while True:
            line, pending = _lines(conn, pending)
            if line is None:
                return
            text = line.decode("latin-1")
            record.append(text)
            word, _, arg = text.partition(" ")
            word = word.upper()
            n = int(arg) if arg.strip().isdigit() else 0
            if word == "USER":
                user, default = arg, b"+OK\r\n"
            elif word == "PASS":
                default = b"+OK logged in\r\n" if (user, arg) == (self.user, self.password) else b"-ERR [AUTH] bad\r\n"
            elif word == "STAT":
                default = b"+OK %d %d\r\n" % (len(listed), sum(len(m) for m in listed))
            elif word == "RETR" and 1 <= n <= len(listed):
                default = b"+OK %d octets\r\n" % len(listed[n - 1]) + listed[n - 1] + b".\r\n"
            elif word == "DELE" and 1 <= n <= len(listed):
                marked.add(n)
                default = b"+OK marked\r\n"
            elif word == "QUIT":
                with self.lock:
                    gone = [listed[i - 1] for i in marked]
                    for m in gone:
                        self.held.remove(m)
                default = [b"+OK bye\r\n", CLOSE]
            else:
                default = b"-ERR no such command or message\r\n"
            if not self.reply(conn, overrides, counts, word, default):
                return


def pop3_account(user, password, port, target, host="127.0.0.1"):
    """A POP3 download list record (remote user, password, address, server, local target)."""
    server = f"{host}:{port}" if port else host
    return f"{user}<|>{password}<|><|>{server}<|>{target}"


def start_exchange(korvanet, upstream=None, accounts=(), settings=None, lists=None, env=None, home=None,
                   preexec=None, status=None):
    """A mail server sending to upstream, fetching the accounts, with its
    admin pages open on ADMIN and no schedule of its own."""
    base = {"AdminPort": ADMIN, "UseBackground": 0, "SMTPServer": "127.0.0.1", "SmtpSendPort": upstream.port if upstream else 9,
            "Timeout": 1, "LogMail": 1, "LogMailSend": 1, "MailSendRcvType": 1, "MailSendRcvTime": "0:0"}
    base.update(settings or {})
    all_lists = {k: list(v) for k, v in (lists or LISTS).items()}
    if accounts:
        all_lists["Pop3"] = list(accounts)
    return start_mail(korvanet, base, all_lists, env=env, home=home, preexec=preexec, status=status)


def queue_mail(message, sender="<me@here>", recipients=("<far@away.example>",)):
    """Hands a message for remote recipients to the server's SMTP port: it
    stays in the spool until a transfer sends it."""
    with smtplib.SMTP("127.0.0.1", SMTP, timeout=10) as c:
        c.sendmail(sender, list(recipients), message)


def spool_files(srv):
    """The queued files in directory order, the order a send pass takes them."""
    d = mail_dir(srv) / "spool"
    return [d / n for n in os.listdir(d) if n.endswith(".pm")] if d.exists() else []


def spool_data(srv):
    """The data a send pass should put on the wire for each queued file: the
    message after the envelope, then the final dot line."""
    return [p.read_bytes().split(b"\r\n\r\n", 1)[1] + b"\r\n.\r\n" for p in spool_files(srv)]


def write_spool(srv, name, data):
    """A spool file written directly (for formats the SMTP server never writes)."""
    d = mail_dir(srv) / "spool"
    d.mkdir(parents=True, exist_ok=True)
    part = d / (name + ".tmp")
    part.write_bytes(data)
    part.rename(d / name)


def page_prefix():
    """What the Send and Receive page sends before the transfer's own output."""
    return admin_get(ADMIN, "/admin/mail") + TRANSFER_TITLE + b"</body>"


def transfer(timeout=60):
    """Presses Send and Receive; the whole page, until the transfer closes it."""
    return admin_get(ADMIN, "/admin/mail?BothMail=+Send+and+Receive+", timeout=timeout)


def unstamped(page):
    """The page with each account's time stamp as [STAMP]."""
    return re.sub(STAMP, b"[STAMP]", page)


def receive_account(user, host, messages, targets):
    """The receive pass's fragments for one account whose messages all arrive
    and are delivered; targets: the progress text of the deliveries (one for
    all, or a list with one per message)."""
    out = (b'<b><font color="0000ff">%s@%s </font></b> [STAMP]<br>' % (user.encode(), host.encode())
           + b"Connecting to %s ... Ok.<br>\n" % host.encode() + b"Entering user's mailbox  ... Ok.<br>\n"
           + b"%d messages in mailbox (%d bytes)<br>" % (len(messages), sum(len(m) for m in messages)))
    for n, m in enumerate(messages, 1):
        out += (b"%d message received (%d bytes) Ok.<br>\n" % (n, len(m))
                + b"Distributing to Korvanet account(s) :<br>"
                + (targets if isinstance(targets, bytes) else targets[n - 1])
                + b" <br>\n" + b"Transaction successful.<br>\n")
    return out


def send_pass(sizes, host="127.0.0.1"):
    """The send pass's fragments when every file goes out."""
    if not sizes:
        return b"<b>Sending ...</b><br>No messages to send<br>\n"
    total = sum(sizes)
    out = (b"<b>Sending ...</b><br>" + b'<b><font color="#0000ff">%d messages (%.2f kB) to send.</font></b><br>'
           % (len(sizes), total / 1024) + b"Connecting to %s ... Ok.<br>\n" % host.encode())
    done = 0
    for n, size in enumerate(sizes, 1):
        done += size
        out += b"Sending message %d (%d bytes) ; %.1f %% sent<br>\n" % (n, size, done * 100.0 / total)
    return out + b"<b>End</b><br>"


def stops_cleanly(srv, within=5):
    """Stops the server: prompt, exit status 0, and no sanitizer report (a leak
    or a memory fault seen during the test fails it here)."""
    began = time.monotonic()
    code = srv.stop()
    assert time.monotonic() - began < within, "stopping took too long"
    out = srv.output()
    assert code == 0 and "Sanitizer" not in out and "runtime error" not in out, out[-3000:]


def wait_for(predicate, timeout=10, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()
