"""The mail server's SMTP side seen from outside: smtplib and raw sockets as
mail clients, sources 127.0.x.y for the relay rules, and the spool and
mailbox files it leaves under MailDir."""
import base64
import resource
import signal
import re
import smtplib
import threading
import time

import pytest

from clients import connect
from mail_setup import GREETING, LISTS, SMTP, LineClient, box, closed, error_entries, mail_dir, spool, start_mail

class Dialogue(LineClient):
    """A raw SMTP client."""

    def __init__(self, source=None):
        super().__init__(SMTP, source)


def test_dialogue_replies_are_exact(korvanet):
    start_mail(korvanet)
    d = Dialogue()
    assert d.greeting == GREETING
    cases = [
        (b"HELO me\r\n", b"250 mailhost\r\n"),
        (b"ehlo me\r\n", b"250-mailhost\r\n250-AUTH=LOGIN\r\n250 HELP\r\n"),
        (b"HELP\r\n", b"214 Commands : HELO MAIL RCPT DATA RSET NOOP QUIT\r\n"),
        (b"NOOP\r\n", b"250 OK\r\n"),
        (b"VRFY x\r\n", b"500 Command unrecognized\r\n"),
        (b"\x00HELO\r\n", b"500 Command unrecognized\r\n"),
        (b"DATA\r\n", b"503 Need MAIL before DATA\r\n"),
        (b"RCPT TO:<ann>\r\n", b"503 Need MAIL before RCPT\r\n"),
        (b"MAIL FROM:\r\n", b"501 Syntax error in parameters scanning\r\n"),
        (b"MAIL FROM:<a@b.c> SIZE=10\r\n", b"250 <a@b.c> SIZE=10... Sender ok\r\n"),
        (b"DATA\r\n", b"503 Need RCPT (recipient)\r\n"),
        (b"RCPT TO:\r\n", b"501 Syntax error in parameters scanning\r\n"),
        (b"RCPT TO:<x@>\r\n", b"550 <x@>... User unknown\r\n"),
        (b"RCPT TO:<@x:y@z>\r\n", b"550 <@x:y@z>... User unknown\r\n"),
        (b"RCPT TO:x@\r\n", b"550 x@... User unknown\r\n"),
        (b"RCPT TO:<ann>\r\n", b"250 <ann>... Recipient ok\r\n"),
        (b"RCPT TO:bob\r\n", b"250 <bob>... Recipient ok\r\n"),
        (b"RCPT TO: <ann>\r\n", b"550 < <ann>>... User unknown\r\n"),
        (b"RCPT TO:<nobody>\r\n", b"550 <nobody>... User unknown\r\n"),
        (b"RCPT TO:<Ann>\r\n", b"550 <Ann>... User unknown\r\n"),
        (b"RCPT TO:<far@away.example>\r\n", b"250 <far@away.example>... Recipient ok (will queue)\r\n"),
        (b"RSET\r\n", b"250 Reset state\r\n"),
        (b"RCPT TO:<ann>\r\n", b"503 Need MAIL before RCPT\r\n"),
        (b"QUIT\r\n", b"221 Korvanet SMTP Service closing transmission channel\r\n"),
    ]
    for i, (line, reply) in enumerate(cases):
        assert d.ask(line) == reply, f"row {i}: {line!r}"
    assert d.s.recv(10) == b""


def test_local_message_lands_in_mailboxes_without_spool(korvanet):
    srv = start_mail(korvanet, {"LogMailSmtp": 1})
    d = Dialogue()
    for line in (b"MAIL FROM:<x@y.z>\r\n", b"RCPT TO:<ann>\r\n", b"RCPT TO:cy\r\n"):
        d.ask(line)
    assert d.ask(b"DATA\r\n") == b"354 Enter mail, end with \".\" on a line by itself\r\n"
    body = b"Subject: t\r\n\r\n..dot stays stuffed\r\nline\r\n"
    assert d.ask(body + b".\r\n") == b"250 Message accepted for delivery\r\n"
    # Sender and recipients stay: a second DATA sends the same envelope again.
    d.ask(b"DATA\r\n")
    assert d.ask(b"second\n.\n") == b"250 Message accepted for delivery\r\n"
    d.ask(b"QUIT\r\n")
    d.close()
    assert box(srv, "ann") == sorted([body, b"second\n"])
    assert box(srv, "cy") == sorted([body, b"second\n"])
    assert spool(srv) == []
    log = srv.read_log("mail.log")
    lines = re.findall(r"OK   \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] SMTP server: received mail "
                       r"\(size (\d+\.\d\d) kB\) From: <x@y.z> To: ann cy\r\n", log)
    day = time.localtime().tm_mday
    head = len("$$ <x@y.z>\r\n\r\n") + len(f"Received: from 127.0.0.1 by 127.0.0.1 (Korvanet); Thu, {day} Dec 2026 15:47:20 +0000\r\n")
    sizes = [round((head + len(body)) / 1024, 2), round((head + len(b"second\n")) / 1024, 2)]
    assert len(lines) == 2
    assert [float(x) for x in lines] == pytest.approx(sizes, abs=0.0011)


@pytest.mark.parametrize("tz,zone", [("UTC0", "+0000"), ("EST5", "-0500"), ("IST-5:30", "+0500"),
                                     ("NZST-12", "+1200")])
def test_spool_file_for_remote_recipient(korvanet, tz, zone):
    srv = start_mail(korvanet, env={"TZ": tz})
    with smtplib.SMTP("127.0.0.1", SMTP, timeout=10) as c:
        c.sendmail("<me@here>", ["<far@away.example>", "ann", "<two@else.example>"],
                   b"Subject: out\r\n\r\n.leading dot\r\nend\r\n")
    names = spool(srv)
    assert len(names) == 1 and re.fullmatch(r"\d{8}\.pm", names[0])
    data = (mail_dir(srv) / "spool" / names[0]).read_bytes()
    m = re.fullmatch(rb"\$\$ <me@here>\r\nT <far@away.example>\r\nT <two@else.example>\r\n\r\n"
                     rb"Received: from 127.0.0.1 by 127.0.0.1 \(Korvanet\); "
                     rb"(Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d{1,2} [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d ([-+]\d{4})\r\n"
                     rb"Subject: out\r\n\r\n\.\.leading dot\r\nend\r\n", data)
    assert m, data
    assert m.group(2).decode() == zone
    assert box(srv, "ann") == [b"Subject: out\r\n\r\n..leading dot\r\nend\r\n"]


def test_relay_rules_by_source_and_authentication(korvanet):
    settings = {"MailRelayIPs": "127.0.5.0/255.255.255.0 ; 127.0.9.9 10.0.0.300",
                "MailLocalDomains": "home.example,Office.example"}
    start_mail(korvanet, settings)
    cases = [
        ("127.0.5.77", b"<x@far.example>", b"250 <x@far.example>... Recipient ok (will queue)\r\n"),
        ("127.0.9.9", b"<x@far.example>", b"250 <x@far.example>... Recipient ok (will queue)\r\n"),
        ("127.0.6.1", b"<x@far.example>", b"550 <x@far.example>... Relaying denied\r\n"),
        ("127.0.6.1", b"<x@OFFICE.example>", b"250 <x@OFFICE.example>... Recipient ok (will queue)\r\n"),
        ("127.0.6.1", b"x@home.example", b"250 x@home.example... Recipient ok (will queue)\r\n"),
        ("127.0.6.1", b"<ann>", b"250 <ann>... Recipient ok\r\n"),
    ]
    for i, (source, rcpt, reply) in enumerate(cases):
        d = Dialogue(source)
        d.ask(b"MAIL FROM:<a@b>\r\n")
        assert d.ask(b"RCPT TO:" + rcpt + b"\r\n") == reply, f"row {i}"
        d.close()
    # AUTH LOGIN in both forms; a failed one leaves relaying closed.
    d = Dialogue("127.0.6.1")
    d.ask(b"MAIL FROM:<a@b>\r\n")
    user, good, bad = (base64.b64encode(x).decode() for x in (b"ann", b"apw", b"nope"))
    assert d.ask(b"AUTH LOGIN\r\n") == b"334 VXNlcm5hbWU6\r\n"
    assert d.ask(f"{user}\r\n".encode()) == b"334 UGFzc3dvcmQ6\r\n"
    assert d.ask(f"{bad}\r\n".encode()) == b"535 LOGIN authentication failed\r\n"
    assert d.ask(b"RCPT TO:<x@far.example>\r\n") == b"550 <x@far.example>... Relaying denied\r\n"
    assert d.ask(f"AUTH LOGIN {user}\r\n".encode()) == b"334 UGFzc3dvcmQ6\r\n"
    assert d.ask(f"{good}\r\n".encode()) == b"235 Authentication successful\r\n"
    assert d.ask(b"RCPT TO:<x@far.example>\r\n") == b"250 <x@far.example>... Recipient ok (will queue)\r\n"
    # An AUTH line of 1000 characters ends the dialogue.
    assert d.ask(b"AUTH LOGIN\r\n") == b"334 VXNlcm5hbWU6\r\n"
    d.s.sendall(b"A" * 1000 + b"\r\n")
    assert closed(d.s)
    d.close()


def test_groups_rules_and_accounts(korvanet):
    lists = dict(LISTS)
    lists["Pop3"] = ["remote<|><|>@Corp.example<|>pop.invalid<|>{ RULE }",
                     "empty<|><|><|>pop.invalid<|>cy"]
    lists["Rules"] = ["[sales]<|>sales", "[nobody]<|>hollow", "[ghost]<|>phantom", "cy<|>@"]
    srv = start_mail(korvanet, {"MailRelayIPs": ""}, lists)
    with smtplib.SMTP("127.0.0.1", SMTP, timeout=10) as c:
        # The account's address occurs in the recipient: sorted with the recipient as
        # envelope, so To: is not read; the default rule takes what matches nothing.
        c.sendmail("<a@b>", ["<sales-team@corp.example>"], b"To: whoever\r\n\r\n1\r\n")
        c.sendmail("<a@b>", ["<misc@corp.example>"], b"To: sales\r\n\r\n2\r\n")
        c.sendmail("<a@b>", ["<hollow@corp.example>"], b"\r\n3\r\n")
        c.sendmail("<a@b>", ["<phantom@corp.example>"], b"\r\n4\r\n")
        c.sendmail("<a@b>", ["<z@other.example>"], b"\r\n5\r\n")
    assert box(srv, "ann") == [b"To: whoever\r\n\r\n1\r\n"]
    assert box(srv, "bob") == [b"To: whoever\r\n\r\n1\r\n"]
    assert box(srv, "cy") == [b"To: sales\r\n\r\n2\r\n"]
    # An account without an address matches nobody: those recipients stay remote.
    assert len(spool(srv)) == 1
    reports = box(srv, "problems.log")
    assert len(reports) == 2
    texts = b"".join(reports)
    assert b"Error description: group [nobody] doesn't contain users !\r\n" in texts
    assert b"Error description: group [ghost] doesn't exist !\r\n" in texts
    assert [e[2] for e in error_entries(srv, 1008)] == ["group ghost doesn't exist"]
    assert [e[2] for e in error_entries(srv, 1010)] == ["group [nobody] doesn't contain users, e-mail saved in problems.log"]


def test_backup_mailbox_and_sort_mode_one(korvanet):
    lists = dict(LISTS)
    lists["Pop3"] = ["remote<|><|>corp.example<|>pop.invalid<|>bob"]
    srv = start_mail(korvanet, {"MailSmtpBackupMbox": "archive", "SortMode": 1}, lists)
    with smtplib.SMTP("127.0.0.1", SMTP, timeout=10) as c:
        c.sendmail("<a@b>", ["ann", "<x@corp.example>", "cy"], b"S: 1\r\n\r\nb\r\n")
    assert box(srv, "archive") == [b"S: 1\r\n\r\nb\r\n"]
    assert box(srv, "bob") == [b"S: 1\r\n\r\nb\r\n"]
    assert box(srv, "ann") == [] and box(srv, "cy") == []


def test_bad_input_limits(korvanet):
    srv = start_mail(korvanet, {"Timeout": 1})
    d = Dialogue()
    d.ask(b"MAIL FROM:<a@b>\r\n")
    for i in range(1024):
        d.s.sendall(b"RCPT TO:<ann>\r\n")
    got = b""
    while got.count(b"\r\n") < 1024:
        got += d.s.recv(65536)
    assert got == b"250 <ann>... Recipient ok\r\n" * 1024
    assert d.ask(b"RCPT TO:<ann>\r\n") == b"552 Too many recipients\r\n"
    # 8192 characters without a line feed end the dialogue.
    d.s.sendall(b"N" * 8192)
    assert closed(d.s)
    d.close()
    # A client that closes during DATA leaves nothing behind.
    d = Dialogue()
    for line in (b"MAIL FROM:<a@b>\r\n", b"RCPT TO:<ann>\r\n", b"RCPT TO:<far@x.example>\r\n", b"DATA\r\n"):
        d.ask(line)
    d.s.sendall(b"Subject: cut\r\n\r\npartial")
    time.sleep(0.2)
    d.close()
    time.sleep(0.3)
    assert box(srv, "ann") == [] and spool(srv) == []
    assert "received mail" not in srv.read_log("mail.log")


def test_pipelined_commands_after_data_and_concurrent_senders(korvanet):
    srv = start_mail(korvanet)
    d = Dialogue()
    d.ask(b"MAIL FROM:<a@b>\r\n")
    d.ask(b"RCPT TO:<ann>\r\n")
    d.ask(b"DATA\r\n")
    # The end mark split across sends, then a command in the same packet.
    d.s.sendall(b"one\r")
    time.sleep(0.05)
    d.s.sendall(b"\n.")
    time.sleep(0.05)
    assert d.ask(b"\r\nNOOP\r\n", until=b"250 OK\r\n") == b"250 Message accepted for delivery\r\n250 OK\r\n"
    d.close()
    errors = []

    def send(i):
        try:
            with smtplib.SMTP("127.0.0.1", SMTP, timeout=20) as c:
                c.sendmail("<a@b>", ["bob"], f"Subject: {i}\r\n\r\nmsg {i}\r\n".encode())
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=send, args=(i,)) for i in range(20)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert errors == []
    assert sorted(box(srv, "bob")) == sorted(f"Subject: {i}\r\n\r\nmsg {i}\r\n".encode() for i in range(20))
    assert box(srv, "ann") == [b"one\r\n"]


def test_start_refused_without_upstream_and_leftovers_removed(korvanet, tmp_path):
    home = tmp_path / "h"
    mail = home / "mail"
    (mail / "spool").mkdir(parents=True)
    (mail / "ann").mkdir()
    (mail / "spool" / "12345678.pm.part").write_bytes(b"half")
    (mail / "ann" / "y1234567.cnm.part").write_bytes(b"half")
    (mail / "ann" / "y7654321.cnm").write_bytes(b"whole\r\n")
    srv = start_mail(korvanet, {"SMTPServer": ""}, home=home)
    assert [e[:2] for e in error_entries(srv, 1025)] == [("3", "0")]
    assert error_entries(srv, 1025)[0][2] == "SMTP server is not set; Mail server disabled"
    with pytest.raises(OSError):
        connect(SMTP, timeout=2)
    assert sorted(p.name for p in (mail / "ann").iterdir()) == ["y7654321.cnm"]
    assert list((mail / "spool").iterdir()) == []


def small_files():
    """A store that takes no file above 20,000 bytes: writes beyond fail as on a full disk."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))


def test_full_store_answers_451_and_keeps_nothing(korvanet):
    srv = start_mail(korvanet, preexec=small_files)
    big = b"Subject: big\r\n\r\n" + (b"y" * 98 + b"\r\n") * 300
    for i, rcpts in enumerate((["ann"], ["<far@away.example>"], ["ann", "<far@away.example>"])):
        d = Dialogue()
        d.ask(b"MAIL FROM:<a@b>\r\n")
        for r in rcpts:
            d.ask(b"RCPT TO:" + r.encode() + b"\r\n")
        d.ask(b"DATA\r\n")
        assert d.ask(big + b".\r\n") == b"451 Requested action aborted: local error in processing\r\n", f"row {i}"
        # The dialogue goes on: a small message still gets through.
        d.ask(b"DATA\r\n")
        assert d.ask(b"small\r\n.\r\n") == b"250 Message accepted for delivery\r\n", f"row {i}"
        d.close()
    entries = error_entries(srv, 1024)
    assert len(entries) == 3
    assert all(e[0] == "3" and e[1] != "0" and re.fullmatch(r"can't create file : .*/spool/\d{8}\.pm", e[2])
               for e in entries), entries
    assert box(srv, "ann") == [b"small\r\n"] * 2
    assert len(spool(srv)) == 2
    assert not list(mail_dir(srv).rglob("*.part"))
