"""The mail server's POP3 side seen from outside: poplib and raw sockets as
mail readers of mailbox directories that the SMTP side or the test fills."""
import hashlib
import poplib
import re
import smtplib
import time
from pathlib import Path

from clients import read_until
from mail_setup import LineClient, LISTS, POP3, SMTP, closed, error_entries, start_mail

GREETING = b"+OK Korvanet (version 1.5.3 ) POP3 server ready\r\n"
SIGN_OFF = b"+OK Korvanet POP3 server signing off\r\n"
AUTH_HELP = b"-ERR Invalid command; valid commands:  USER,  QUIT\r\n"
TRANSACTION_HELP = (b"-ERR Invalid command; valid commands: STAT, LIST, RETR, DELE, NOOP, LAST, RSET, TOP, UIDL, "
                    b"QUIT\r\n")
LONG_NAME = "a" * 19 + "z"


class Reader(LineClient):
    """A raw POP3 client."""

    def __init__(self):
        super().__init__(POP3)

    def login(self, user=b"ann", password=b"apw"):
        assert self.ask(b"USER " + user + b"\r\n") == b"+OK please send PASS command\r\n"
        return self.ask(b"PASS " + password + b"\r\n")


def fill(srv, name, messages):
    d = Path(srv.settings["MailDir"]) / name
    d.mkdir(parents=True, exist_ok=True)
    for i, m in enumerate(messages):
        (d / f"y{i:07d}.cnm").write_bytes(m)
    return d


M1 = b"Subject: one\r\nTo: ann\r\n\r\nl1\r\nl2\r\n..stuffed\r\n"
M2 = b"Subject: two\r\n\r\nno final line end"


def test_authorisation_replies(korvanet):
    lists = dict(LISTS)
    lists["Users"] = LISTS["Users"] + [f"003<|>{LONG_NAME}<|>x<|><|>", "004<|>.hidden<|>x<|><|>"]
    start_mail(korvanet, lists=lists)
    r = Reader()
    assert r.greeting == GREETING
    cases = [
        (b"STAT\r\n", AUTH_HELP),
        (b"USER\r\n", AUTH_HELP),
        (b"USER nobody\r\n", b"-ERR Sorry, nobody doesn't get his mail here\r\n"),
        (b"USER .hidden\r\n", b"-ERR Sorry, .hidden doesn't get his mail here\r\n"),
        (b"USER ann\r\n", b"+OK please send PASS command\r\n"),
        (b"NOOP\r\n", b"-ERR Use command USER again\r\n"),
        (b"USER ann\r\n", b"+OK please send PASS command\r\n"),
        (b"PASS wrong\r\n", b"-ERR Invalid password\r\n"),
        (b"USER " + LONG_NAME.encode() + b"\r\n", b"+OK please send PASS command\r\n"),
        (b"PASS x\r\n", b"-ERR Invalid password\r\n"),
        (b"USER ann\r\n", b"+OK please send PASS command\r\n"),
        (b"PASS apw\r\n", b"+OK 0 messages (0 octets)\r\n"),
        (b"LIST\r\n", b"+OK scan listing follows\r\n.\r\n"),
        (b"XTND\r\n", TRANSACTION_HELP),
        (b"QUIT\r\n", SIGN_OFF),
    ]
    for i, (line, reply) in enumerate(cases):
        assert r.ask(line, until=reply[-5:]) == reply, f"row {i}: {line!r}"
    assert closed(r.s)
    r = Reader()
    r.login()
    r.s.close()


def test_transaction_replies_and_deletion_at_quit(korvanet):
    srv = start_mail(korvanet)
    d = fill(srv, "ann", [M1, M2])
    (d / "sub.cnm").mkdir()
    (d / "other.txt").write_bytes(b"not a message")
    r = Reader()
    total = len(M1) + len(M2)
    assert r.login() == f"+OK 2 messages ({total} octets)\r\n".encode()
    names = sorted(p.name for p in d.iterdir() if p.name.startswith("y"))
    # Numbered in directory order: find which file is message 1.
    r.s.sendall(b"LIST\r\n")
    listing = read_until(r.s, b"\r\n.\r\n")
    sizes = [int(x) for x in re.findall(rb"(?m)^\d+ (\d+)\r$", listing)]
    first, second = (M1, M2) if sizes == [len(M1), len(M2)] else (M2, M1)
    assert listing == (b"+OK scan listing follows\r\n" + f"1 {len(first)}\r\n2 {len(second)}\r\n".encode()
                       + b".\r\n")
    n1 = 1 if first == M1 else 2
    n2 = 3 - n1
    uid1 = hashlib.md5(M1).hexdigest().encode()
    cases = [
        (b"STAT\r\n", f"+OK 2 {total}\r\n".encode()),
        (b"LIST 0\r\n", b"-ERR No such message\r\n"),
        (b"LIST 3\r\n", b"-ERR No such message\r\n"),
        (b"LIST -1\r\n", b"-ERR No such message\r\n"),
        (f"LIST {n1}\r\n".encode(), f"+OK {n1} {len(M1)}\r\n".encode()),
        (b"RETR x\r\n", b"-ERR No such message\r\n"),
        (b"RETR 99999999999\r\n", b"-ERR No such message\r\n"),
        (b"LAST\r\n", b"+OK 0\r\n"),
        (f"RETR {n1}\r\n".encode(), f"+OK message {n1} ({len(M1)} octets)\r\n".encode() + M1 + b".\r\n"),
        (f"RETR {n2}\r\n".encode(), f"+OK message {n2} ({len(M2)} octets)\r\n".encode() + M2 + b"\r\n.\r\n"),
        (b"LAST\r\n", b"+OK 2\r\n"),
        (f"TOP {n1} 0\r\n".encode(), f"+OK message {n1} ({len(M1)} octets)\r\n".encode()
         + b"Subject: one\r\nTo: ann\r\n\r\n.\r\n"),
        (f"TOP {n1}\r\n".encode(), f"+OK message {n1} ({len(M1)} octets)\r\n".encode()
         + b"Subject: one\r\nTo: ann\r\n\r\n.\r\n"),
        (f"TOP {n1} 2\r\n".encode(), f"+OK message {n1} ({len(M1)} octets)\r\n".encode()
         + b"Subject: one\r\nTo: ann\r\n\r\nl1\r\nl2\r\n.\r\n"),
        (f"UIDL {n1}\r\n".encode(), f"+OK {n1} ".encode() + uid1 + b"\r\n"),
        (b"UIDL x\r\n", b"-ERR No such message\r\n"),
        (b"UIDL 0\r\n", b"-ERR No such message\r\n"),
        (f"DELE {n1}\r\n".encode(), f"+OK message {n1} marked for deletion\r\n".encode()),
        (f"DELE {n1}\r\n".encode(), f"+OK message {n1} marked for deletion\r\n".encode()),
        (f"RETR {n1}\r\n".encode(), f"-ERR message {n1} has been marked for deletion\r\n".encode()),
        (f"LIST {n1}\r\n".encode(), f"-ERR message {n1} has been marked for deletion\r\n".encode()),
        (f"UIDL {n1}\r\n".encode(), f"-ERR message {n1} has been marked for deletion\r\n".encode()),
        (b"STAT\r\n", f"+OK 2 {total}\r\n".encode()),
        (b"UIDL\r\n", f"+OK\r\n{n2} {hashlib.md5(M2).hexdigest()}\r\n.\r\n".encode()),
        (b"RSET\r\n", f"+OK  2 messages ({total} octets)\r\n".encode()),
        (b"LAST\r\n", b"+OK 0\r\n"),
        (f"LIST {n1}\r\n".encode(), f"+OK {n1} {len(M1)}\r\n".encode()),
        (f"dele {n2}\r\n".encode(), f"+OK message {n2} marked for deletion\r\n".encode()),
        (b"NOOP\r\n", b"+OK\r\n"),
        (b"QUIT\r\n", SIGN_OFF),
    ]
    for i, (line, reply) in enumerate(cases):
        assert r.ask(line, until=reply[-5:]) == reply, f"row {i}: {line!r}"
    assert closed(r.s)
    assert sorted(p.name for p in d.iterdir()) == sorted(["sub.cnm", "other.txt", names[0 if first == M1 else 1]])
    del names


def test_lost_connection_still_deletes_and_second_session_sees_1018(korvanet):
    srv = start_mail(korvanet)
    d = fill(srv, "ann", [M1])
    a, b = Reader(), Reader()
    a.login()
    b.login()
    assert a.ask(b"DELE 1\r\n") == b"+OK message 1 marked for deletion\r\n"
    a.s.close()  # no QUIT
    deadline = time.monotonic() + 5
    while any(d.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert list(d.iterdir()) == []
    path = f"{d}/y0000000.cnm"
    # Refused before any "+OK", so a client never stores the error as the message.
    assert b.ask(b"RETR 1\r\n") == f"-ERR can't open file {path}\r\n".encode()
    assert b.ask(b"UIDL 1\r\n") == f"-ERR can't open file {path}\r\n".encode()
    assert b.ask(b"UIDL\r\n", until=b".\r\n") == b"+OK\r\n.\r\n"
    assert [(e[0], e[2]) for e in error_entries(srv, 1018)] == [("3", f"can't open file {path}")]
    assert len(error_entries(srv, 1039)) == 2
    b.ask(b"DELE 1\r\n")
    assert b.ask(b"QUIT\r\n") == SIGN_OFF
    assert srv.wait_log("error.log", "Error 1036")
    assert [e[2] for e in error_entries(srv, 1036)] == [f"can't delete file {path}"]


def test_poplib_reads_what_smtp_delivered_and_table_limit(korvanet):
    srv = start_mail(korvanet)
    body = b"Subject: via smtp\r\n\r\n.leading dot\r\nplain\r\n"
    with smtplib.SMTP("127.0.0.1", SMTP, timeout=10) as c:
        c.sendmail("<a@b>", ["bob"], body)
    p = poplib.POP3("127.0.0.1", POP3, timeout=10)
    p.user("bob")
    p.pass_("bpw")
    resp, lines, octets = p.retr(1)
    assert lines == [b"Subject: via smtp", b"", b".leading dot", b"plain"]
    p.quit()
    # The identifier covers the first 1,000 bytes only.
    long_message = b"Subject: long\r\n\r\n" + b"z" * 3000 + b"\r\n"
    fill(srv, "ann", [long_message])
    r = Reader()
    r.login()
    assert r.ask(b"UIDL 1\r\n") == f"+OK 1 {hashlib.md5(long_message[:1000]).hexdigest()}\r\n".encode()
    r.s.close()
    fill(srv, "cy", [b"m\r\n"] * 1200)
    r = Reader()
    assert r.login(b"cy", b"cpw") == b"+OK 999 messages (2997 octets)\r\n"
    assert r.ask(b"LIST 1000\r\n") == b"-ERR No such message\r\n"
    # A line too long ends the session as a lost connection does.
    r.s.sendall(b"X" * 9000)
    assert read_until(r.s, SIGN_OFF) == SIGN_OFF
    assert closed(r.s)



def test_listings_arrive_whole_without_waiting_for_acknowledgements(korvanet):
    """The LIST and UIDL listings of a mailbox are sent in one piece: sent a
    line at a time, all but the first line wait for the client's delayed
    acknowledgement (some 40 ms on every listing)."""
    srv = start_mail(korvanet)
    messages = [b"Subject: m%03d\r\n\r\nbody %03d\r\n" % (i, i) for i in range(100)]
    fill(srv, "ann", messages)
    r = Reader()
    assert r.login() == f"+OK 100 messages ({sum(len(m) for m in messages)} octets)\r\n".encode()
    # Numbered in the directory's order: the rows are compared as sets.
    cases = [
        (b"LIST\r\n", b"+OK scan listing follows\r\n", {b"%d" % len(m) for m in messages}),
        (b"UIDL\r\n", b"+OK\r\n", {hashlib.md5(m).hexdigest().encode() for m in messages}),
    ]
    for command, status, values in cases:
        r.s.sendall(command)
        first = r.s.recv(65536)
        whole = first if first.endswith(b"\r\n.\r\n") else first + read_until(r.s, b"\r\n.\r\n")
        assert whole.startswith(status) and whole.endswith(b"\r\n.\r\n"), command
        rows = [line.split(b" ") for line in whole[len(status):-len(b".\r\n")].split(b"\r\n")[:-1]]
        assert [n for n, _ in rows] == [b"%d" % (i + 1) for i in range(100)], command
        assert {v for _, v in rows} == values, command
        assert first == whole, "%r: the first read held %d of %d bytes" % (command, len(first), len(whole))
    r.ask(b"QUIT\r\n")


def longest_pause(s, marker):
    """The answer up to marker, and the longest wait between two of its reads
    after the first (seconds)."""
    data, longest, last = b"", 0.0, None
    while marker not in data:
        chunk = s.recv(65536)
        if not chunk:
            break
        now = time.monotonic()
        if last is not None:
            longest = max(longest, now - last)
        last = now
        data += chunk
    return data, longest


def test_long_answers_do_not_wait_for_acknowledgements(korvanet):
    """An answer of several of the page writer's pieces goes out piece after
    piece: held back until the client acknowledged the previous piece, each
    piece waited for the delayed acknowledgement (40 ms or more)."""
    srv = start_mail(korvanet)
    big = b"Subject: big\r\n\r\n" + b"".join(b"line %06d of a long message\r\n" % i for i in range(8000))
    fill(srv, "ann", [big] + [b"Subject: m%03d\r\n\r\nbody\r\n" % i for i in range(998)])
    r = Reader()
    assert r.login().startswith(b"+OK 999 messages")
    sizes = r.ask(b"LIST\r\n", until=b"\r\n.\r\n").split(b"\r\n")[1:-2]
    big_number = next(n for n, size in (row.split() for row in sizes) if int(size) == len(big))
    cases = [(b"RETR " + big_number + b"\r\n", len(big)), (b"UIDL\r\n", 999 * 36)]
    for command, at_least in cases:
        # The wait for an acknowledgement comes every time; a busy machine's
        # pause only now and then: the shortest of three answers counts.
        pauses = []
        for _ in range(3):
            r.s.sendall(command)
            answer, pause = longest_pause(r.s, b"\r\n.\r\n")
            assert answer.endswith(b"\r\n.\r\n") and len(answer) > at_least, command
            pauses.append(pause)
        assert min(pauses) < 0.030, "%r: pauses of %s ms between two pieces" % (
            command, ", ".join("%.1f" % (p * 1000) for p in pauses))
    r.ask(b"QUIT\r\n")
