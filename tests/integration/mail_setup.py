"""The mail services' test set-up: their ports, the users and groups, a
server started as a mail server, and readers of the files under MailDir."""
import re
from pathlib import Path

from clients import connect, read_until
from harness import digest

SMTP, POP3 = 7025, 7110
GREETING = b"220 mailhost Korvanet 1.5.3  SMTP Service ready\r\n"
USERS = [f"000<|>ann<|>{digest('ann', 'apw')}<|>901:<|>", f"001<|>bob<|>{digest('bob', 'bpw')}<|>901:<|>",
         f"002<|>cy<|>{digest('cy', 'cpw')}<|><|>"]
LISTS = {"Users": USERS, "Groups": ["900<|>Admins", "901<|>sales", "902<|>nobody"]}


def start_mail(korvanet, settings=None, lists=None, env=None, home=None, preexec=None, status=None):
    base = {"MailType": 1, "SMTPServer": "upstream.invalid", "SmtpServerPort": SMTP, "Pop3ServerPort": POP3,
            "Timeout": 2, "HighPriorityMail": 0}
    base.update(settings or {})
    return korvanet(base, lists or LISTS, env=env, home=home, preexec=preexec, status=status)


def mail_dir(srv):
    return Path(srv.settings["MailDir"])


def box(srv, name):
    d = mail_dir(srv) / name
    return sorted(p.read_bytes() for p in d.iterdir()) if d.exists() else []


def spool(srv):
    d = mail_dir(srv) / "spool"
    return sorted(p.name for p in d.iterdir()) if d.exists() else []


def closed(s):
    """The peer ended the connection (a close with unread input is a reset)."""
    try:
        return s.recv(100) == b""
    except ConnectionResetError:
        return True


def error_entries(srv, code):
    return re.findall(rf"(?m)^Error {code} severity (\d) syscode (\d+) [^\r\n]*\r\n([^\r\n]*)", srv.read_log("error.log"))


class LineClient:
    """A raw line client of a mail port: send a line, get the reply bytes."""

    def __init__(self, port, source=None):
        self.s = connect(port, source=source)
        self.greeting = read_until(self.s, b"\r\n")

    def ask(self, line, until=b"\r\n"):
        self.s.sendall(line)
        data = b""
        while not data.endswith(until):
            chunk = self.s.recv(65536)
            if not chunk:
                break
            data += chunk
        return data

    def close(self):
        self.s.close()
