"""The mail exchange seen from outside: the Send and Receive page of the admin
server, the commands and data that reach a scripted SMTP upstream and POP3
provider (and a real SMTP server and POP3 server), the mailboxes and the spool
it leaves, bad input from either side, urgent mail, the schedule, the queue
view, the internal trigger port, and an account and a rule set up through the
configuration pages and a browser pressing Send and Receive."""
import base64
import os
import random
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

from clients import admin_get, connect, listening, read_until_close, submission
from devtools import Browser
from mail_peers import (ADMIN, BACK, CLOSE, STAMP, Pop3Provider, SmtpUpstream, flood, page_prefix,
                        pop3_account, queue_mail, receive_account, send_pass, spool_data, spool_files, start_exchange,
                        stops_cleanly, transfer, unstamped, wait_for, write_spool)
from harness import KEY, parse_registry
from mail_setup import LISTS, box, error_entries, mail_dir
from peers import free_port

EHLO = "EHLO Korvanet.anywhere"
FROM = "MAIL FROM:<me@here>"
TO_FAR = "RCPT TO:<far@away.example>"
NOTHING_RECEIVED = b"<b>Receiving ... </b><br><b>End</b><br><hr>"
FAILED_ACCOUNT = b'<br><b><font color="#ff0000">Error occured</font></b>, skipping to the next user.<br>'

ONE = (b"From: sender@far.example\r\nTo: jim@far.example\r\nSubject: one\r\n\r\n"
       b"first\r\n..stuffed dot stays stuffed\r\n")
# More than one block of the download and of the send, with a line longer than any line buffer.
TWO = b"Subject: two\r\n\r\n" + b"L" * 20000 + b"\r\n" + b"".join(b"line %d\r\n" % i for i in range(2000))
OUT = b"Subject: outbound\r\nTo: far@away.example\r\n\r\nhello\r\n.leading dot\r\n"


def error_count(srv):
    return len(re.findall(r"(?m)^Error \d+ severity", srv.read_log("error.log")))


def sent(data, sender=FROM, rcpts=(TO_FAR,)):
    """A whole upstream session for one message that goes through."""
    return [EHLO, sender, *rcpts, "DATA", data, "RSET", "QUIT"]


# --- the whole page and both peers ---------------------------------------------------

def test_send_and_receive_page_and_what_the_peers_see(korvanet):
    provider = Pop3Provider([ONE, TWO])
    upstream = SmtpUpstream()
    srv = start_exchange(korvanet, upstream, [pop3_account("jim", "pw", provider.port, "ann")])
    queue_mail(OUT)
    queue_mail(TWO, sender="<two@here>", recipients=["<x@away.example>", "<y@away.example>"])
    sizes = [p.stat().st_size for p in spool_files(srv)]
    data = spool_data(srv)
    assert len(data) == 2 and all(d.startswith(b"Received: from 127.0.0.1 by 127.0.0.1 (Korvanet); ") for d in data)
    out = next(d for d in data if b"Subject: outbound" in d)
    assert out.endswith(b"\r\n" + OUT.replace(b"\r\n.leading", b"\r\n..leading") + b"\r\n.\r\n")
    before = time.time()
    page = transfer()
    want = (page_prefix() + b"<b>Receiving ... </b><br>"
            + receive_account("jim", "127.0.0.1", [ONE, TWO], b"ann, ") + b"<b>End</b><br>" + b"<hr>"
            + send_pass(sizes) + BACK)
    assert unstamped(page) == want
    stamp = re.search(STAMP, page).group().decode()
    shown = time.mktime(time.strptime(stamp, "[%d/%m/%Y %H:%M:%S]"))
    assert before - 2 <= shown <= time.time() + 1, stamp
    assert provider.wait_sessions(1) == [["USER jim", "PASS pw", "STAT", "RETR 1", "DELE 1", "RETR 2", "DELE 2",
                                          "QUIT"]]
    assert provider.held == []
    # One connection, the files in directory order, each followed by RSET.
    envelopes = {out: (FROM, TO_FAR)}
    two = ("MAIL FROM:<two@here>", "RCPT TO:<x@away.example>", "RCPT TO:<y@away.example>")
    session = [EHLO] + [c for d in data for c in (*envelopes.get(d, two), "DATA", d, "RSET")] + ["QUIT"]
    assert upstream.wait_sessions(1) == [session]
    assert spool_files(srv) == []
    assert box(srv, "ann") == sorted([ONE, TWO])
    log = srv.read_log("mail.log")
    for n, m in ((1, ONE), (2, TWO)):
        assert (f'POP3 download: {n} messages ({len(m)} bytes) downloaded from account "jim@127.0.0.1" '
                "successfuly") in log
    assert f"Mail send: 2 messages ({sum(sizes)} bytes) sent successfuly" in log
    assert error_count(srv) == 0
    # The schedule's wait does not hold up the stop.
    stops_cleanly(srv)


def test_accounts_in_list_order_with_their_targets(korvanet):
    to_orders = b"To: orders@corp.example\r\nSubject: o\r\n\r\norder\r\n"
    to_other = b"To: someone@corp.example\r\nSubject: s\r\n\r\nother\r\n"
    first = Pop3Provider([ONE])
    # No port in the account: the provider's standard one.
    second = Pop3Provider([to_orders, to_other], user="sue", password="", port=110)
    closed_port = free_port()
    accounts = [pop3_account("gone", "pw", closed_port, "cy"),                # refused: the pass goes on
                pop3_account("jim", "pw", first.port, "[sales]"),
                pop3_account("nobody", "pw", first.port, ""),          # no target: skipped
                pop3_account("", "pw", first.port, "cy"),              # no user: skipped
                "u<|>pw<|><|><|>cy",                                   # no server: skipped
                pop3_account("sue", "", None, "{ RULE }")]
    lists = dict(LISTS, Rules=["[sales]<|>orders", "cy<|>@"])
    srv = start_exchange(korvanet, None, accounts, {"MailSmtpBackupMbox": "archive", "SMTPServer": "127.0.0.1"},
                         lists)
    page = transfer()
    # The backup copy is made without progress output.
    want = (page_prefix() + b"<b>Receiving ... </b><br>"
            + b'<b><font color="0000ff">gone@127.0.0.1 </font></b> [STAMP]<br>' + b"Connecting to 127.0.0.1 ... "
            + b'Error 1004 : see <a href="/admin/logs/error">error logs </a> for details\n' + FAILED_ACCOUNT
            + receive_account("jim", "127.0.0.1", [ONE], b"[sales], ")
            + receive_account("sue", "127.0.0.1", [to_orders, to_other], [b"RULEs: [sales], ", b"RULEs: cy, "])
            + b"<b>End</b><br><hr>" + send_pass([]) + BACK)
    assert unstamped(page) == want
    assert first.wait_sessions(1)[0][:2] == ["USER jim", "PASS pw"]
    # The empty password goes with its blank.
    assert second.wait_sessions(1) == [["USER sue", "PASS ", "STAT", "RETR 1", "DELE 1", "RETR 2", "DELE 2", "QUIT"]]
    assert box(srv, "ann") == sorted([ONE, to_orders])
    assert box(srv, "bob") == sorted([ONE, to_orders])
    assert box(srv, "cy") == [to_other]
    assert box(srv, "archive") == sorted([ONE, to_orders, to_other])
    entries = error_entries(srv, 1004)
    assert len(entries) == 1 and entries[0][0] == "2" and entries[0][1] != "0"
    assert entries[0][2].startswith("can't connect to POP3 server : 127.0.0.1; Reason : ")
    assert 'POP3 download: download problems for account "gone@127.0.0.1"' in srv.read_log("mail.log")
    second.close()


@pytest.mark.parametrize("target, stored", [("[ghost]", True), ("[nobody]", True), ("ann", False)])
def test_failed_delivery_deletes_only_what_was_stored(korvanet, tmp_path, target, stored):
    # A mailbox that can't be written (here a plain file where its folder should
    # be) stores the message nowhere: it stays remote. A missing group or one
    # without members gets a problem report: stored, so it may go.
    provider = Pop3Provider([ONE])
    home = tmp_path / "h"
    (home / "mail").mkdir(parents=True)
    (home / "mail" / "ann").write_bytes(b"not a folder")
    srv = start_exchange(korvanet, None, [pop3_account("jim", "pw", provider.port, target)], home=home)
    page = transfer()
    assert unstamped(page) == (page_prefix() + b"<b>Receiving ... </b><br>"
                               + b'<b><font color="0000ff">jim@127.0.0.1 </font></b> [STAMP]<br>'
                               + b"Connecting to 127.0.0.1 ... Ok.<br>\n" + b"Entering user's mailbox  ... "
                               + in_box(1, len(ONE))
                               + b"1 message received (%d bytes) Ok.<br>\n" % len(ONE)
                               + b"Distributing to Korvanet account(s) :<br>" + target.encode() + b", "
                               + b'<br><b><font color="#ff0000">Error occured</font></b>, see '
                                 b'<a href="/admin/logs/error">error logs </a> for details<br>'
                               + b"<b>End</b><br><hr>" + send_pass([]) + BACK)
    assert ('POP3 download: problems in mail distribution for account "jim@127.0.0.1", see error logs for details'
            in srv.read_log("mail.log"))
    session = provider.wait_sessions(1)[0]
    assert session == ["USER jim", "PASS pw", "STAT", "RETR 1"] + (["DELE 1"] if stored else []) + ["QUIT"]
    reports = box(srv, "problems.log")
    problem = {"[ghost]": b"group [ghost] doesn't exist !", "[nobody]": b"group [nobody] doesn't contain users !"}
    if stored:
        assert provider.held == [] and len(reports) == 1
        assert b"Error description: " + problem[target] + b"\r\n" in reports[0] and ONE in reports[0]
    else:
        assert provider.held == [ONE] and reports == []
        assert len(error_entries(srv, 1034) + error_entries(srv, 1035)) == 1
    if target == "[ghost]":
        assert [e[2] for e in error_entries(srv, 1008)] == ["group ghost doesn't exist"]


def test_messages_stay_remote_without_dele(korvanet):
    provider = Pop3Provider([ONE, TWO])
    srv = start_exchange(korvanet, None, [pop3_account("jim", "pw", provider.port, "ann")], {"POP3DELE": 0})
    for _ in range(2):
        assert transfer().endswith(BACK)
    assert provider.wait_sessions(2) == [["USER jim", "PASS pw", "STAT", "RETR 1", "RETR 2", "QUIT"]] * 2
    assert provider.held == [ONE, TWO]
    assert box(srv, "ann") == sorted([ONE, TWO] * 2)


def test_mail_log_switches_off(korvanet):
    provider = Pop3Provider([ONE])
    upstream = SmtpUpstream({"RCPT": b"550 no\r\n"})
    srv = start_exchange(korvanet, upstream, [pop3_account("jim", "pw", provider.port, "ann"),
                                              pop3_account("jim", "wrong", provider.port, "ann")],
                         {"LogMail": 0, "LogMailSend": 0})
    queue_mail(OUT)
    assert transfer().endswith(BACK)
    # Delivered, refused and failed alike: nothing in the mail log.
    assert box(srv, "ann") == [ONE] and len(box(srv, "problems.log")) == 1
    assert srv.read_log("mail.log") == ""


def test_message_end_forms(korvanet):
    lf_only = b"Subject: lf\n\nbody\n"
    pause = lambda conn: time.sleep(0.2)  # noqa: E731
    scripts = {"RETR": {
        1: b"+OK\r\n.\r\n",                                            # empty
        2: b"+OK\r\n" + lf_only + b".\n",                                 # bare line feeds
        3: b"+OK 5\r\n" + b"Subject: three\r\n\r\n..\r\n" + b".\r\n",  # a stuffed dot line just before the end
        4: [b"+OK\r\nSubject: four\r\n\r\nbody\r", pause, b"\n.", pause, b"\r\n"],  # the end line cut up
    }}
    provider = Pop3Provider([b"", lf_only, b"x", b"y"], scripts)
    srv = start_exchange(korvanet, None, [pop3_account("jim", "pw", provider.port, "ann")])
    began = time.monotonic()
    page = transfer()
    # None of them ends by the time-out: each end is seen at once.
    assert time.monotonic() - began < 20
    assert page.endswith(BACK)
    assert page.count(b"Transaction successful") >= 3
    # The empty message is nothing to store; the others keep their bytes.
    assert box(srv, "ann") == sorted([lf_only, b"Subject: three\r\n\r\n..\r\n", b"Subject: four\r\n\r\nbody\r\n"])


# --- the upstream's refusals ---------------------------------------------------------

THREE = ("<a@x.example>", "<b@x.example>", "<c@x.example>")
REFUSALS = [
    # (recipients, script of the first connection, its commands before RSET (DATA_SENT: the data),
    #  the refusal shown, returned to the problems mailbox)
    ("550-second-of-three", THREE, {"RCPT": {2: b"550 5.1.1 no such user\r\n"}},
     [FROM, "RCPT TO:<a@x.example>", "RCPT TO:<b@x.example>"], b"550 5.1.1 no such user", True),
    ("451-rcpt", THREE[:1], {"RCPT": {1: b"451 4.3.0 try later\r\n"}}, [FROM, "RCPT TO:<a@x.example>"],
     b"451 4.3.0 try later", False),
    ("451-mail", THREE[:1], {"MAIL": {1: b"451 4.3.0 busy\r\n"}}, [FROM], b"451 4.3.0 busy", False),
    ("554-data-command", THREE[:1], {"DATA": {1: b"554 5.3.0 no data today\r\n"}},
     [FROM, "RCPT TO:<a@x.example>", "DATA"], b"554 5.3.0 no data today", True),
    ("451-data-end", THREE[:1], {".": {1: b"451 4.3.0 disk full\r\n"}},
     [FROM, "RCPT TO:<a@x.example>", "DATA", "DATA_SENT"], None, False),
    ("554-data-end", THREE[:1], {".": {1: b"554 5.6.0 content rejected\r\n"}},
     [FROM, "RCPT TO:<a@x.example>", "DATA", "DATA_SENT"], b"554 5.6.0 content rejected", True),
]


@pytest.mark.parametrize("rcpts, script, commands, refusal, returned", [r[1:] for r in REFUSALS],
                         ids=[r[0] for r in REFUSALS])
def test_refusals_return_or_keep_the_message(korvanet, rcpts, script, commands, refusal, returned):
    upstream = SmtpUpstream(script)
    srv = start_exchange(korvanet, upstream)
    queue_mail(OUT, recipients=rcpts)
    sizes = [p.stat().st_size for p in spool_files(srv)]
    data = spool_data(srv)[0]
    page = transfer()
    head = (page_prefix() + NOTHING_RECEIVED + b"<b>Sending ...</b><br>"
            + b'<b><font color="#0000ff">1 messages (%.2f kB) to send.</font></b><br>' % (sizes[0] / 1024)
            + b"Connecting to 127.0.0.1 ... Ok.<br>\n" + b"Sending message 1 (%d bytes) ; 100.0 %% sent<br>\n" % sizes[0])
    tail = b"<b>End</b><br>" + BACK
    if refusal is None:
        assert page.startswith(head) and page.endswith(tail), page
    else:
        assert page == head + b'<font color="#ff0000"><b> Error</b></font>, SMTP server responed : ' + refusal \
            + b"<br>" + tail
        assert [e[2] for e in error_entries(srv, 1028)] == \
            ["can't start data transmision, SMTP responded : " + refusal.decode()]
        assert "Mail send: problems sending e-mails to SMTP server, see error log for details" in srv.read_log("mail.log")
    first = upstream.wait_sessions(1)[0]
    assert first == [EHLO] + [data if c == "DATA_SENT" else c for c in commands] + ["RSET", "QUIT"]
    reports = box(srv, "problems.log")
    if returned:
        # Returned whole, trace line included, and gone from the spool: nobody got it.
        assert len(reports) == 1
        assert (b'Error description: SMTP server "127.0.0.1" responded :\r\n' + refusal + b"\r\n") in reports[0]
        assert data[:-5] in reports[0]
        assert spool_files(srv) == []
        assert transfer().endswith(send_pass([]) + BACK)
        assert len(upstream.sessions) == 1
    else:
        # Kept, and sent by the next transfer.
        assert reports == []
        assert len(spool_files(srv)) == 1
        assert transfer().endswith(send_pass(sizes) + BACK)
        assert upstream.wait_sessions(2)[1] == sent(data, rcpts=[f"RCPT TO:{r}" for r in rcpts])
        assert spool_files(srv) == []


def test_a_refused_file_does_not_stop_the_next(korvanet):
    upstream = SmtpUpstream()
    srv = start_exchange(korvanet, upstream)
    queue_mail(OUT, recipients=THREE)
    queue_mail(ONE, recipients=["<d@x.example>"])
    files = spool_files(srv)
    three = [b"T <a@x.example>" in f.read_bytes() for f in files]
    sizes = [f.stat().st_size for f in files]
    data = spool_data(srv)
    # The second recipient of the three is refused, whichever file goes first.
    upstream.scripts = [{"RCPT": {2 if three[0] else 3: b"550 5.1.1 no such user\r\n"}}]
    page = transfer()
    total, done, shown, session = sum(sizes), 0, b"", [EHLO]
    for n, (size, refused, d) in enumerate(zip(sizes, three, data), 1):
        done += size
        shown += b"Sending message %d (%d bytes) ; %.1f %% sent<br>\n" % (n, size, done * 100.0 / total)
        if refused:
            shown += b'<font color="#ff0000"><b> Error</b></font>, SMTP server responed : 550 5.1.1 no such user<br>'
            session += [FROM, "RCPT TO:<a@x.example>", "RCPT TO:<b@x.example>", "RSET"]
        else:
            session += [FROM, "RCPT TO:<d@x.example>", "DATA", d, "RSET"]
    assert page == (page_prefix() + NOTHING_RECEIVED + b"<b>Sending ...</b><br>"
                    + b'<b><font color="#0000ff">2 messages (%.2f kB) to send.</font></b><br>' % (total / 1024)
                    + b"Connecting to 127.0.0.1 ... Ok.<br>\n" + shown + b"<b>End</b><br>" + BACK)
    assert upstream.wait_sessions(1)[0] == session + ["QUIT"]
    assert spool_files(srv) == [] and len(box(srv, "problems.log")) == 1


def test_unreachable_upstream_keeps_the_spool(korvanet):
    srv = start_exchange(korvanet, None, settings={"SmtpSendPort": free_port()})
    queue_mail(OUT)
    sizes = [p.stat().st_size for p in spool_files(srv)]
    assert transfer() == (page_prefix() + NOTHING_RECEIVED + b"<b>Sending ...</b><br>"
                          + b'<b><font color="#0000ff">1 messages (%.2f kB) to send.</font></b><br>' % (sizes[0] / 1024)
                          + b"Connecting to 127.0.0.1 ... "
                          + b'Error 1027 : see <a href="/admin/logs/error">error logs </a> for details<BR>\n'
                          + b"<b>End</b><br>" + BACK)
    entries = error_entries(srv, 1027)
    assert len(entries) == 1 and entries[0][0] == "3" and entries[0][1] != "0"
    assert entries[0][2].startswith("can't connect to SMTP server : 127.0.0.1; Reason : ")
    assert len(spool_files(srv)) == 1
    assert "Mail send: problems sending e-mails to SMTP server, see error log for details" in srv.read_log("mail.log")


# --- greeting, EHLO, AUTH and ETRN ------------------------------------------------

AUTH_EHLO = b"250-upstream\r\n250-8BITMIME\r\n250-AUTH LOGIN PLAIN\r\n250 HELP\r\n"
B64 = lambda text: base64.b64encode(text.encode()).decode()  # noqa: E731
AUTH_CASES = [
    # (EHLO answer, script, AuthUser, password the upstream takes, commands before MAIL, sent)
    ("ehlo-500-helo-no-auth", AUTH_EHLO, {"EHLO": b"500 5.5.1 unrecognized\r\n"}, "au", "apw",
     [EHLO, "HELO Korvanet.anywhere"], True),
    ("no-auth-offered", b"250-upstream\r\n250 HELP\r\n", {}, "au", "apw", [EHLO], True),
    ("auth-right", AUTH_EHLO, {}, "au", "apw", [EHLO, "AUTH LOGIN", B64("au"), B64("apw")], True),
    ("no-auth-user", AUTH_EHLO, {}, "", "apw", [EHLO], True),
    # Only a continuation line announces it.
    ("auth-on-the-last-line", b"250-upstream\r\n250 AUTH LOGIN\r\n", {}, "au", "apw", [EHLO], True),
    ("auth-wrong", AUTH_EHLO, {}, "au", "other", [EHLO, "AUTH LOGIN", B64("au"), B64("apw")], False),
    ("helo-refused-too", AUTH_EHLO, {"EHLO": b"500 no\r\n", "HELO": b"501 no either\r\n"}, "au", "apw",
     [EHLO, "HELO Korvanet.anywhere"], False),
]


@pytest.mark.parametrize("ehlo, script, user, accepted, commands, goes", [c[1:] for c in AUTH_CASES],
                         ids=[c[0] for c in AUTH_CASES])
def test_ehlo_helo_and_auth(korvanet, ehlo, script, user, accepted, commands, goes):
    upstream = SmtpUpstream(script, ehlo=ehlo, auth=("au", accepted))
    srv = start_exchange(korvanet, upstream, settings={"SmtpAuthUser": user, "SmtpAuthPass": "apw"})
    queue_mail(OUT)
    sizes = [p.stat().st_size for p in spool_files(srv)]
    data = spool_data(srv)[0]
    page = transfer()
    session = upstream.wait_sessions(1)[0]
    if goes:
        assert page == page_prefix() + NOTHING_RECEIVED + send_pass(sizes) + BACK
        assert session == commands + sent(data)[1:]
        assert spool_files(srv) == []
        return
    assert session == commands + ["QUIT"]
    assert len(spool_files(srv)) == 1
    head = (page_prefix() + NOTHING_RECEIVED + b"<b>Sending ...</b><br>"
            + b'<b><font color="#0000ff">1 messages (%.2f kB) to send.</font></b><br>' % (sizes[0] / 1024)
            + b"Connecting to 127.0.0.1 ... Ok.<br>\n")
    if "AUTH LOGIN" in commands:
        refusal = "535 5.7.8 Authentication credentials invalid"
        assert page == (head + b'<font color="#ff0000"><b>Error; </b></font>SEND: AUTH LOGIN failed: '
                        + refusal.encode() + b"<p><b>End</b><br>" + BACK)
        assert [(e[0], e[2]) for e in error_entries(srv, "000")] == [("3", "AUTH LOGIN failed, SMTP server replied: " + refusal)]
    else:
        assert page == head + b"<b>End</b><br>" + BACK
    assert "Mail send: problems sending e-mails to SMTP server" in srv.read_log("mail.log")


@pytest.mark.filterwarnings("ignore:Requiring AUTH while not requiring TLS")
def test_auth_login_with_a_real_smtp_server(korvanet):
    got = []

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            got.append((envelope.mail_from, envelope.rcpt_tos, envelope.content))
            return "250 OK"

    def check(server, session, envelope, mechanism, auth_data):
        ok = mechanism == "LOGIN" and isinstance(auth_data, LoginPassword) and \
            (auth_data.login, auth_data.password) == (b"au", b"right pw")
        return AuthResult(success=ok, handled=False)

    port = free_port()
    controller = Controller(Handler(), hostname="127.0.0.1", port=port, authenticator=check,
                            auth_require_tls=False, auth_required=True)
    controller.start()
    try:
        for password, delivered in (("wrong pw", False), ("right pw", True)):
            srv = start_exchange(korvanet, None, settings={"SmtpSendPort": port, "SmtpAuthUser": "au",
                                                           "SmtpAuthPass": password})
            queue_mail(OUT)
            data = spool_data(srv)[0]
            page = transfer()
            assert page.endswith(b"<b>End</b><br>" + BACK)
            if delivered:
                # Taken apart by a real server: the dots unstuffed, the message then the
                # line end that precedes the final dot.
                message = data[:-len(b".\r\n")]
                assert got == [("me@here", ["far@away.example"], message.replace(b"\r\n..", b"\r\n."))]
                assert spool_files(srv) == []
            else:
                assert b"SEND: AUTH LOGIN failed: 535" in page
                assert got == [] and len(spool_files(srv)) == 1
            srv.stop()
    finally:
        controller.stop()


ETRN_CASES = [
    # (EtrnNode, queued, script, send pass after "Sending ...", commands)
    ("etrn-empty-spool", "branch.example", False, {},
     b"No messages to send<br>\n" + b"Connecting to 127.0.0.1 ... Ok.<br>\n"
     + b"sending ETRN ... \n250 Queuing started<br>\n<b>End</b><br>", [EHLO, "ETRN branch.example", "QUIT"]),
    ("etrn-refused-still-sends", "branch.example", True, {"ETRN": b"458 Unable to queue messages\r\n"},
     None, [EHLO, "ETRN branch.example", FROM, TO_FAR, "DATA", "DATA_SENT", "RSET", "QUIT"]),
    ("nothing-to-do", "", False, {}, b"No messages to send<br>\n", None),
]


@pytest.mark.parametrize("node, queued, script, shown, commands", [c[1:] for c in ETRN_CASES],
                         ids=[c[0] for c in ETRN_CASES])
def test_etrn_and_the_empty_spool(korvanet, node, queued, script, shown, commands):
    upstream = SmtpUpstream(script)
    srv = start_exchange(korvanet, upstream, settings={"EtrnNode": node})
    data = []
    if queued:
        queue_mail(OUT)
        sizes = [p.stat().st_size for p in spool_files(srv)]
        data = spool_data(srv)
        shown = (b'<b><font color="#0000ff">1 messages (%.2f kB) to send.</font></b><br>' % (sizes[0] / 1024)
                 + b"Connecting to 127.0.0.1 ... Ok.<br>\n"
                 + b"sending ETRN ... \n458 Unable to queue messages<br>\n"
                 + b"Sending message 1 (%d bytes) ; 100.0 %% sent<br>\n" % sizes[0] + b"<b>End</b><br>")
    page = transfer()
    assert page == page_prefix() + NOTHING_RECEIVED + b"<b>Sending ...</b><br>" + shown + BACK
    if commands is None:
        time.sleep(0.3)
        assert upstream.sessions == []  # no connection at all
    else:
        assert upstream.wait_sessions(1) == [[data[0] if c == "DATA_SENT" else c for c in commands]]


# --- spool files the SMTP server never writes --------------------------------------

MANY = b"".join(b"T <r%d@x.example>\r\n" % i for i in range(10000))
BINARY = b"\x7fELF\x02\x01\x01\x00" + bytes(range(256)) * 4
SPOOLS = [
    # (file, commands between EHLO and RSET (DATA_SENT: the data) or None for "no DATA", returned)
    ("null-sender", b"$$ <>\r\nT <a@x.example>\r\n\r\nSubject: bounce\r\n\r\nb\r\n",
     ["MAIL FROM:<>", "RCPT TO:<a@x.example>", "DATA", "DATA_SENT"], False),
    ("sender-forms-and-recipient-kinds",
     b"$$ Ann <ann@x.example> SIZE=100\r\nB <b@x.example>\r\nC c@x.example\r\nT  <t@x.example>\r\n\r\nS: 1\r\n\r\nb\r\n",
     ["MAIL FROM:<ann@x.example>", "RCPT TO:<b@x.example>", "RCPT TO:c@x.example", "RCPT TO: <t@x.example>", "DATA",
      "DATA_SENT"], False),
    ("sender-without-at", b"$$ postmaster\r\nT <a@x.example>\r\n\r\nS: 1\r\n\r\nb\r\n",
     ["MAIL FROM:<postmaster>", "RCPT TO:<a@x.example>", "DATA", "DATA_SENT"], False),
    ("ten-thousand-recipients", b"$$ <a@b.example>\r\n" + MANY + b"\r\nS: many\r\n\r\nb\r\n",
     ["MAIL FROM:<a@b.example>"] + [f"RCPT TO:<r{i}@x.example>" for i in range(10000)] + ["DATA", "DATA_SENT"], False),
    ("x-line-in-envelope", b"$$ <a@b.example>\r\nX junk\r\n\r\nS: x\r\n\r\nb\r\n", None, True),
    ("no-empty-line", b"$$ <a@b.example>\r\nT <a@x.example>\r\n", None, True),
    ("binary", BINARY, None, True),
]


@pytest.mark.parametrize("content, commands, returned", [s[1:] for s in SPOOLS], ids=[s[0] for s in SPOOLS])
def test_spool_file_forms(korvanet, content, commands, returned):
    upstream = SmtpUpstream()
    srv = start_exchange(korvanet, upstream)
    write_spool(srv, "12345678.pm", content)
    page = transfer()
    assert page.endswith(b"<b>End</b><br>" + BACK)
    session = upstream.wait_sessions(1)[0]
    assert session[0] == EHLO and session[-2:] == ["RSET", "QUIT"]
    if commands is not None:
        message = content.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in content else b""
        assert session[1:-2] == [message + b"\r\n.\r\n" if c == "DATA_SENT" else c for c in commands]
    else:
        assert "DATA" not in session and not any(isinstance(c, bytes) for c in session)
    assert spool_files(srv) == []
    reports = box(srv, "problems.log")
    if returned:
        assert b'<font color="#ff0000"><b> Error</b></font>,Bad mail spool file format; mail returned<br>' in page
        assert [e[2] for e in error_entries(srv, 1038)] == ["bad mail spool file format; mail not sent"]
        assert len(reports) == 1
        assert b"Error description: Bad mail spool file format; mail not sent\r\n" in reports[0]
    else:
        assert reports == [] and error_count(srv) == 0
    stops_cleanly(srv)


# --- urgent mail, a transfer already running, the mail server off -------------------

def test_urgent_message_goes_out_at_once(korvanet):
    upstream = SmtpUpstream()
    srv = start_exchange(korvanet, upstream, settings={"HighPriorityMail": 1})
    queue_mail(b"Subject: plain\r\n\r\nwaits\r\n")
    time.sleep(1)
    assert upstream.sessions == []
    queue_mail(b"Subject: hurry\r\nPriority: urgent\r\n\r\nnow\r\n")
    # Both go out in the transfer the urgent one started; no page asked for it.
    sessions = upstream.wait_sessions(1, timeout=10)
    assert sorted(re.search(rb"Subject: (\w+)", d).group(1) for d in upstream.messages()) == [b"hurry", b"plain"]
    assert sessions[0][0] == EHLO and sessions[0][-1] == "QUIT"
    assert wait_for(lambda: spool_files(srv) == [])


def test_second_transfer_while_one_runs(korvanet):
    # The provider holds its answer to RETR, so the first transfer is still running.
    slow = lambda conn: time.sleep(3)  # noqa: E731
    provider = Pop3Provider([ONE], {"RETR": {1: [slow, b"+OK\r\n" + ONE + b".\r\n"]}})
    srv = start_exchange(korvanet, None, [pop3_account("jim", "pw", provider.port, "ann")])
    prefix = page_prefix()
    first = {}
    runner = threading.Thread(target=lambda: first.update(page=transfer()))
    runner.start()
    assert wait_for(lambda: any("RETR 1" in s for s in provider.sessions))
    status = admin_get(ADMIN, "/admin/status")
    assert re.search(rb"MAIL TRANSFER</font><TD> \d+ <TD> Korvanet <TD> ", status), status
    assert transfer() == prefix + b"Mail processing in progress."
    runner.join(30)
    assert first["page"].endswith(b"Transaction successful.<br>\n<b>End</b><br><hr>" + send_pass([]) + BACK)
    assert box(srv, "ann") == [ONE]
    # Done: the flag is down again.
    assert transfer().endswith(BACK)
    assert len(provider.wait_sessions(2)) == 2


@pytest.mark.parametrize("mail_type", [0, 3])
def test_transfer_needs_the_mail_server(korvanet, mail_type):
    upstream = SmtpUpstream()
    start_exchange(korvanet, upstream, settings={"MailType": mail_type})
    assert transfer(timeout=15) == page_prefix() + (b"To enable this feature you have to configure Korvanet "
                                                    b"as a&nbsp;Mail server")
    assert upstream.sessions == []


# --- the queue view ------------------------------------------------------------------

QUEUE_TITLE = b"<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail Queue</FONT></b></center><hr>\n"
QUEUE_END = b'<hr><a href="/admin/manual"><B>Back</b></a>\n</body>'


def test_queue_view(korvanet):
    srv = start_exchange(korvanet)
    body_line = admin_get(ADMIN, "/admin/mail")
    view = lambda: admin_get(ADMIN, "/admin/mail?ViewQueue=View+Queue")  # noqa: E731
    assert view() == body_line + QUEUE_TITLE + b"No messages<br>\n" + QUEUE_END
    queue_mail(b'From: "Ann & Co" <ann@x.example>\r\nTo: <far@away.example>, b&c <bc@y.example>\r\n'
               b"Date: Thu, 10 Dec 2026 10:00:00 +0000\r\nSubject: q\r\n\r\nbody\r\n")
    queue_mail(b"Subject: no headers of interest\r\n\r\nx\r\n")
    write_spool(srv, "87654321.pm", b"$$ <a@b>\r\nT <c@d>\r\n\r\nfrom: lower@case.example\r\nTO: <UP@x>\r\n\r\nb\r\n")
    files = [mail_dir(srv) / "spool" / n for n in os.listdir(mail_dir(srv) / "spool") if n.endswith(".pm")]
    cells = {
        b"Subject: q": (b"&quot;Ann &amp; Co&quot; &lt;ann@x.example&gt;",
                        b"&lt;far@away.example&gt;, b&amp;c &lt;bc@y.example&gt;", b"Thu, 10 Dec 2026 10:00:00 +0000"),
        b"Subject: no": (b"", b"", b""),
        b"lower@case": (b"lower@case.example", b"&lt;UP@x&gt;", b""),
    }
    rows = b""
    for f in files:
        data = f.read_bytes()
        key = next(k for k in cells if k in data)
        rows += b"<tr><td nowrap>%s<td nowrap>%s<td nowrap>%s<td nowrap>%d\n" % (*cells[key], len(data))
    total = sum(f.stat().st_size for f in files)
    want = (b"<table border=1><tr><th>From<th>To<th>Date<th>Size\n" + rows
            + b'<tr><td colspan=4 align=center><b><font color="#0000ff">3 messages (%.2f kB)</font></b><br>'
            % (total / 1024) + b"</table>\n")
    assert view() == body_line + QUEUE_TITLE + want + QUEUE_END


# --- the schedule ----------------------------------------------------------------------

def test_interval_schedule_fires_at_the_first_turn(korvanet):
    upstream = SmtpUpstream()
    srv = start_exchange(korvanet, upstream, settings={"MailSendRcvType": 1, "MailSendRcvTime": "0:1"},
                         status={"LastMailSent": 0})
    started = time.time()
    queue_mail(OUT)
    upstream.wait_sessions(1, timeout=35)
    assert 15 <= time.time() - started <= 35
    assert len(upstream.messages()) == 1
    assert wait_for(lambda: spool_files(srv) == [])
    # The time of this interval transfer is kept for the next start.
    saved = wait_for(lambda: parse_registry(srv.registry).get(KEY + "\\Status", {}).get("LastMailSent"), 5)
    assert started <= saved <= time.time() + 1


def test_time_of_day_schedule_fires_in_its_minute(korvanet):
    provider = Pop3Provider([ONE])
    now = time.time()
    minutes = " ".join(time.strftime("%H:%M", time.localtime(now + d)) for d in (0, 60))
    srv = start_exchange(korvanet, None, [pop3_account("jim", "pw", provider.port, "ann")],
                         {"MailSendRcvType": 0, "MailSendRcvTime": f"99:99 at {minutes} 7:5 garbage:"})
    provider.wait_sessions(1, timeout=80)
    assert wait_for(lambda: box(srv, "ann") == [ONE])
    # One minute triggers once: the turns of the next 40 s start nothing.
    time.sleep(21)
    assert len(provider.sessions) == 1


# --- bad input from the peers and on the trigger port --------------------------------

BARE = {"greeting": b"220\r\n", "EHLO": b"250\r\n", "MAIL": b"250\r\n", "RCPT": b"250\r\n", "DATA": b"354\r\n",
        ".": b"250\r\n", "RSET": b"250\r\n"}
READ_ERROR = rb'<font color="#ff0000"><b>Error; </b></font>Socket error in reading reply from server \(\d+ : [^)<]*\)<p>'
UPSTREAM_BAD = [
    # (script of the first connection, the file kept for the next transfer (None: either), page end)
    ("no-greeting", {"greeting": [CLOSE]}, True, READ_ERROR + rb"<b>End</b><br>"),
    ("garbage-then-close", {"EHLO": [b"\x00\xff\xfe garbage \x01\r\nmore", CLOSE]}, True, READ_ERROR + rb"<b>End</b><br>"),
    ("endless-ehlo-reply", {"EHLO": [flood(b"250-more of the same\r\n", 20000), CLOSE]}, True, rb"<b>End</b><br>"),
    ("endless-reply-to-the-data", {".": [flood(b"250-still going\r\n", 20000), CLOSE]}, True, rb"<b>End</b><br>"),
    ("bare-codes", BARE, False, rb"100\.0 % sent<br>\n<b>End</b><br>"),
    ("close-after-the-data-250", {".": [b"250 queued\r\n", CLOSE]}, False, rb"<b>End</b><br>"),
    ("421-mid-file", {"RCPT": {1: [b"421 4.3.2 closing down\r\n", CLOSE]}}, True, rb"<b>End</b><br>"),
    ("long-greeting", {"greeting": b"220-" + b"x" * 10000 + b"\r\n220 ok\r\n"}, None, rb"<b>End</b><br>"),
    # Only a "-" in the fourth place continues a reply.
    ("odd-fourth-character", {"EHLO": b"250-up\r\n250xyz\r\n", "MAIL": b"250_ok\r\n"}, False,
     rb"100\.0 % sent<br>\n<b>End</b><br>"),
]


@pytest.mark.parametrize("script, kept, ending", [c[1:] for c in UPSTREAM_BAD], ids=[c[0] for c in UPSTREAM_BAD])
def test_upstream_bad_input(korvanet, script, kept, ending):
    upstream = SmtpUpstream(script)
    srv = start_exchange(korvanet, upstream)
    queue_mail(OUT)
    data = spool_data(srv)[0]
    began = time.monotonic()
    page = transfer()
    assert time.monotonic() - began < 20
    assert re.search(ending + re.escape(BACK) + rb"\Z", page), page[-600:]
    assert error_count(srv) <= 1
    if kept is not None:
        assert len(spool_files(srv)) == (1 if kept else 0)
    # The next transfer runs as usual.
    page = transfer()
    assert page.endswith(BACK) and srv.proc.poll() is None
    assert spool_files(srv) == []
    assert 1 <= upstream.messages().count(data) <= 2
    if kept:
        assert upstream.wait_sessions(2)[1][-1] == "QUIT"
    stops_cleanly(srv)


def test_upstream_that_closes_is_no_reset_on_the_page(korvanet):
    """An upstream that closes without a word is shown as that, not with the
    error an earlier connection served by the same thread left behind (here a
    proxy client that reset in the middle of its head)."""
    upstream = SmtpUpstream({"greeting": [CLOSE]})
    srv = start_exchange(korvanet, upstream, settings={"ProxyPort": 7487})
    queue_mail(OUT)
    s = connect(7487)
    s.sendall(b"GET http://example.test/ HTT")
    time.sleep(0.1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    time.sleep(0.3)  # its thread waits for the next connection, the transfer's
    page = transfer()
    assert page.endswith(b'<font color="#ff0000"><b>Error; </b></font>Socket error in reading reply from server '
                         b"(0 : Unknown socket error)<p><b>End</b><br>" + BACK), page[-300:]
    assert len(spool_files(srv)) == 1
    stops_cleanly(srv)


def limit_files():
    """No file above 2 MiB: writes beyond fail as on a full disk."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (2 << 20, 2 << 20))


def in_box(n, total):
    return b"Ok.<br>\n%d messages in mailbox (%d bytes)<br>" % (n, total)


def see_log(code):
    return b'Error %d : see <a href="/admin/logs/error">error logs </a> for details\n' % code


BOTH = len(ONE) + len(TWO)
FIRST_DONE = (b"1 message received (%d bytes) Ok.<br>\n" % len(ONE) + b"Distributing to Korvanet account(s) :<br>"
              b"ann,  <br>\nTransaction successful.<br>\n")
PROVIDER_BAD = [
    # (script, server limits, commands, shown after "Entering user's mailbox  ... ", error code, still held)
    ("greeting-err", {"greeting": b"-ERR not now\r\n"}, None, ["QUIT"], b"", None, [ONE, TWO]),
    ("user-refused", {"USER": b"-ERR who is that\r\n"}, None, ["USER jim", "QUIT"], see_log(1005), 1005, [ONE, TWO]),
    ("pass-refused", {"PASS": b"-ERR [AUTH] no\r\n"}, None, ["USER jim", "PASS pw", "QUIT"], see_log(1006), 1006,
     [ONE, TWO]),
    ("stat-without-numbers", {"STAT": b"+OK\r\n"}, None, ["USER jim", "PASS pw", "STAT", "QUIT"], b"Ok.<br>\n", None,
     [ONE, TWO]),
    ("stat-negative", {"STAT": b"+OK -2 -5\r\n"}, None, ["USER jim", "PASS pw", "STAT", "QUIT"], b"Ok.<br>\n", None,
     [ONE, TWO]),
    # A count far past what the account holds: asked for message by message until the provider has no more.
    ("stat-count-past-the-messages", {"STAT": b"+OK 99999999999 99999999999\r\n"}, None,
     ["USER jim", "PASS pw", "STAT", "RETR 1", "DELE 1", "RETR 2", "DELE 2", "RETR 3", "QUIT"], None, None, []),
    ("err-to-second-retr", {"RETR": {2: b"-ERR no such message\r\n"}}, None,
     ["USER jim", "PASS pw", "STAT", "RETR 1", "DELE 1", "RETR 2", "QUIT"], in_box(2, BOTH) + FIRST_DONE, None, [TWO]),
    ("close-mid-message", {"RETR": {1: [b"+OK\r\n" + ONE[:40], CLOSE]}}, None, ["USER jim", "PASS pw", "STAT", "RETR 1"],
     in_box(2, BOTH) + see_log(1007), 1007, [ONE, TWO]),
    ("message-never-ends", {"RETR": {1: [b"+OK\r\n", flood(b"y" * 1000 + b"\r\n", 20000), CLOSE]}}, limit_files, None,
     in_box(2, BOTH) + see_log(1002), 1002, [ONE, TWO]),
    ("long-greeting", {"greeting": b"+OK " + b"g" * 10000 + b"\r\n"}, None, None, None, None, None),
]


@pytest.mark.parametrize("script, limits, commands, shown, code, held", [c[1:] for c in PROVIDER_BAD],
                         ids=[c[0] for c in PROVIDER_BAD])
def test_provider_bad_input(korvanet, script, limits, commands, shown, code, held):
    provider = Pop3Provider([ONE, TWO], script)
    srv = start_exchange(korvanet, None, [pop3_account("jim", "pw", provider.port, "ann")], preexec=limits)
    began = time.monotonic()
    page = transfer()
    assert time.monotonic() - began < 20
    assert page.endswith(b"<b>End</b><br><hr>" + send_pass([]) + BACK)
    session = provider.wait_sessions(1)[0]
    if commands is not None:
        assert session == commands
    else:
        assert "DELE 1" not in session
    if shown is not None:
        assert unstamped(page) == (page_prefix() + b"<b>Receiving ... </b><br>"
                                   + b'<b><font color="0000ff">jim@127.0.0.1 </font></b> [STAMP]<br>'
                                   + b"Connecting to 127.0.0.1 ... Ok.<br>\n" + b"Entering user's mailbox  ... "
                                   + shown + FAILED_ACCOUNT + b"<b>End</b><br><hr>" + send_pass([]) + BACK)
        assert ('POP3 download: download problems for account "jim@127.0.0.1", see error logs for details'
                in srv.read_log("mail.log"))
        assert box(srv, "ann") == ([ONE] if held == [TWO] else [])
    if code is not None:
        entries = error_entries(srv, code)
        assert len(entries) == 1
        if code == 1007:
            assert entries[0][2] == "connection breaken while retrieving data from POP3 server : 127.0.0.1"
        if code == 1002:
            assert entries[0][1] != "0"
    assert error_count(srv) <= 1
    if held is not None:
        assert provider.held == held
    assert not [p for p in (mail_dir(srv) / "spool").iterdir()]  # no scratch file left
    # The next transfer fetches what is left, and nothing twice.
    assert transfer().endswith(BACK)
    assert box(srv, "ann") == sorted([ONE, TWO])
    provider.wait_sessions(2)
    assert provider.held == []
    stops_cleanly(srv)


def test_upstream_closing_during_the_data(korvanet):
    def reset(conn):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return False

    upstream = SmtpUpstream({"DATA": [b"354 go ahead\r\n", reset]})
    srv = start_exchange(korvanet, upstream)
    queue_mail(b"Subject: big\r\n\r\n" + (b"z" * 998 + b"\r\n") * 4000)
    page = transfer()
    assert re.search(rb'<font color="#ff0000"><b>Error; </b></font>Socket error \(\d+ : [^)<]+\) in sending e-mail '
                     rb"data to server<p><b>End</b><br>" + re.escape(BACK) + rb"\Z", page), page[-400:]
    entries = error_entries(srv, 1029)
    assert len(entries) == 1 and entries[0][0] == "2" and entries[0][1] != "0"
    assert entries[0][2] == "can't send data to server"
    assert len(spool_files(srv)) == 1
    data = spool_data(srv)[0]
    assert transfer().endswith(BACK)
    assert upstream.messages()[-1] == data and spool_files(srv) == []
    stops_cleanly(srv)


def test_transfer_goes_on_when_the_browser_leaves(korvanet):
    provider = Pop3Provider([ONE, TWO])
    upstream = SmtpUpstream()
    srv = start_exchange(korvanet, upstream, [pop3_account("jim", "pw", provider.port, "ann")])
    queue_mail(OUT)
    s = connect(ADMIN)
    s.sendall(b"GET /admin/mail?BothMail=+Send+and+Receive+ HTTP/1.0\r\n\r\n")
    assert s.recv(10).startswith(b"HTTP/1.0")
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    # Nothing more is written to it, but every message is still moved.
    assert wait_for(lambda: box(srv, "ann") == sorted([ONE, TWO]) and spool_files(srv) == [], 15)
    assert len(upstream.wait_sessions(1)) == 1 and provider.wait_sessions(1)[0][-1] == "QUIT"
    assert srv.proc.poll() is None
    assert transfer().endswith(BACK)
    stops_cleanly(srv)


def test_unreachable_hosts_with_a_dial_up_connection(korvanet):
    # Unknown names while a dial-up connection is set but may not be dialled: the
    # line is down, which is no error.
    srv = start_exchange(korvanet, None, [pop3_account("jim", "pw", 110, "ann", host="pop.invalid")],
                         {"SMTPServer": "smtp.invalid", "ConnName": "MyISP", "AllowToDial": 0})
    queue_mail(OUT)
    sizes = [p.stat().st_size for p in spool_files(srv)]
    assert unstamped(transfer()) == (
        page_prefix() + b"<b>Receiving ... </b><br>" + b'<b><font color="0000ff">jim@pop.invalid </font></b> [STAMP]<br>'
        + b"Connecting to pop.invalid ... failed<br>host <b>pop.invalid</b> unreachable\n<br>" + b"<b>End</b><br><hr>"
        + b"<b>Sending ...</b><br>"
        + b'<b><font color="#0000ff">1 messages (%.2f kB) to send.</font></b><br>' % (sizes[0] / 1024)
        + b"Connecting to smtp.invalid ... failed <br>SMTP server is unreachable\n<br>" + BACK)
    assert error_count(srv) == 0 and srv.read_log("mail.log") == ""
    assert len(spool_files(srv)) == 1


def test_trigger_port_takes_nothing_from_others(korvanet):
    provider = Pop3Provider([ONE])
    upstream = SmtpUpstream()
    srv = start_exchange(korvanet, upstream, [pop3_account("jim", "pw", provider.port, "ann")])
    queue_mail(OUT)
    rng = random.Random(5674)
    probes = [("127.0.0.1", b""), ("127.0.0.1", b"\x01\x02\x03"), ("127.0.0.1", b"\x00" * 8),
              ("127.0.0.1", b"\xff" * 8 + b"and more"), ("127.0.0.1", rng.randbytes(1000)),
              ("127.0.0.2", rng.randbytes(8))]
    probes += [("127.0.0.1", rng.randbytes(8)) for _ in range(50)]
    results = [None] * len(probes)

    def probe(i, source, data):
        began = time.monotonic()
        s = connect(5674, source=source, timeout=15)
        if data:
            s.sendall(data)
        got = read_until_close(s)
        s.close()
        results[i] = (got, time.monotonic() - began)

    threads = [threading.Thread(target=probe, args=(i, *p)) for i, p in enumerate(probes)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    # Each is closed without an answer, the short ones within about 5 s.
    assert all(r is not None and r[0] == b"" and r[1] < 10 for r in results), results
    time.sleep(0.5)
    assert provider.sessions == [] and upstream.sessions == []
    assert srv.proc.poll() is None
    assert transfer().endswith(BACK)
    assert box(srv, "ann") == [ONE] and len(upstream.messages()) == 1
    stops_cleanly(srv)


# --- a real POP3 provider --------------------------------------------------------------

DOVECOT = "/usr/sbin/dovecot"


@pytest.mark.skipif(not os.path.exists(DOVECOT), reason="dovecot is not installed")
def test_download_from_a_real_pop3_server(korvanet):
    # Its processes run as its own users: the whole tree lives where they reach it.
    root = Path(tempfile.mkdtemp(prefix="kv-dovecot-"))
    root.chmod(0o755)
    maildir = root / "mail"
    for sub in ("cur", "new", "tmp"):
        (maildir / sub).mkdir(parents=True)
    (root / "home").mkdir()
    stored = [b"From: a@far.example\nTo: jim@far.example\nSubject: one\n\nfirst\n.dot line\n",
              b"Subject: two\n\n" + b"".join(b"line %d\n" % i for i in range(3000))]
    for i, m in enumerate(stored):
        (maildir / "new" / f"100000000{i}.M{i}P1.test").write_bytes(m)
    try:
        for p in [maildir, root / "home", *maildir.rglob("*")]:
            shutil.chown(p, "dovecot", "dovecot")
    except (OSError, LookupError) as e:
        shutil.rmtree(root, ignore_errors=True)
        pytest.skip(f"dovecot's user can't own the mail here: {e}")
    port = free_port()
    conf = root / "dovecot.conf"
    conf.write_text(f"""protocols = pop3
listen = 127.0.0.1
base_dir = {root}/run
state_dir = {root}/state
log_path = {root}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
mail_location = maildir:{maildir}
default_internal_user = dovecot
default_login_user = dovenull
first_valid_uid = 0
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port}
  }}
}}
passdb {{
  driver = static
  args = password=secret
}}
userdb {{
  driver = static
  args = uid=dovecot gid=dovecot home={root}/home
}}
""")
    proc = subprocess.Popen([DOVECOT, "-F", "-c", str(conf)], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    try:
        assert wait_for(lambda: listening(port), 15), (root / "dovecot.log").read_text() if (root / "dovecot.log").exists() else ""
        srv = start_exchange(korvanet, None, [pop3_account("jim", "secret", port, "ann")])
        page = transfer()
        assert b"2 messages in mailbox (" in page and page.count(b"Transaction successful.<br>\n") == 2, page
        # Sent as the network form: CRLF line ends, the leading dot doubled.
        want = sorted(m.replace(b"\n", b"\r\n").replace(b"\r\n.", b"\r\n..") for m in stored)
        assert box(srv, "ann") == want
        # Deleted there, so a second run finds nothing.
        assert wait_for(lambda: not list((maildir / "cur").iterdir()) and not list((maildir / "new").iterdir()), 5)
        page = transfer()
        assert b"0 messages in mailbox (0 bytes)<br>" in page
        assert box(srv, "ann") == want
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(root, ignore_errors=True)


# --- through the configuration pages and a browser -------------------------------------

def test_account_and_rule_from_the_pages_then_send_and_receive(korvanet):
    message = b"To: orders@corp.example\r\nSubject: order 7\r\n\r\nten boxes\r\n"
    provider = Pop3Provider([message], user="jim", password="p w&x")
    srv = start_exchange(korvanet)

    def press(page, button, **values):
        form = admin_get(ADMIN, "/admin/config/content/" + page)
        answer = admin_get(ADMIN, submission(form, button, **values))
        assert re.match(rb"HTTP/1.0 30[12] ", answer), answer[:300]

    press("mail/pop3", "Add_mail", RemotePOP3User="jim", RemotePOP3Server=f"127.0.0.1:{provider.port}",
          POP3Password="p w&x", EMailAddress="", KorvanetAccount="{ RULE }")
    press("mail/pop3", "Save")
    press("mail/rules", "Add_rule", HeaderTo="orders", KorvanetAccount="[sales]")
    press("mail/rules", "Save")
    # Saved, not live: a transfer now knows no account.
    assert transfer().startswith(page_prefix() + NOTHING_RECEIVED)
    srv.stop()
    srv.start()
    page = transfer()
    assert b"Distributing to Korvanet account(s) :<br>RULEs: [sales],  <br>\nTransaction successful.<br>\n" in page
    assert provider.wait_sessions(1)[0][:2] == ["USER jim", "PASS p w&x"]
    assert box(srv, "ann") == [message] and box(srv, "bob") == [message] and box(srv, "cy") == []


def test_browser_sends_and_receives_from_the_manual_page(korvanet, tmp_path, chromium):
    provider = Pop3Provider([ONE])
    upstream = SmtpUpstream()
    srv = start_exchange(korvanet, upstream, [pop3_account("jim", "pw", provider.port, "ann")])
    queue_mail(OUT)
    with Browser(chromium, f"http://127.0.0.1:{ADMIN}/admin/manual", tmp_path) as tools:
        tools.call("Runtime.enable")
        tools.call("Log.enable")
        tools.wait_for("document.readyState == 'complete' && !!document.querySelector('[name=BothMail]')")
        tools.evaluate("document.querySelector('[name=BothMail]').click(); true")
        tools.wait_for("location.pathname == '/admin/mail' && document.readyState == 'complete' && "
                       "document.links.length > 0 && "
                       "document.links[document.links.length - 1].getAttribute('href') == '/admin/manual'", 30)
        assert tools.evaluate("location.search") == "?BothMail=+Send+and+Receive+"
        assert tools.evaluate("document.links[document.links.length - 1].textContent") == "Back"
        text = tools.evaluate("document.body.innerText")
        assert "Receiving ..." in text and "Transaction successful." in text and "Sending message 1" in text
        assert tools.errors() == []
    assert box(srv, "ann") == [ONE] and len(upstream.messages()) == 1 and spool_files(srv) == []
