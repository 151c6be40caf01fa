"""No acknowledged message is ever lost: the server is killed with SIGKILL at
named points of a delivery (a test-build switch) and at random moments under
load, restarted on the same MailDir, and every message answered 250 must be
whole in each mailbox it was meant for and once in the spool, with nothing
truncated and no ".part" file left."""
import re
import shutil
import signal
import smtplib
import subprocess
import threading
import time
from pathlib import Path

import pytest

from harness import random_kill_plan
from mail_setup import LISTS, SMTP, start_mail

POINTS = ["spool-open", "mid-data", "spool-synced", "copy-open", "mid-copy", "copy-written", "copy-renamed",
          "spool-renamed", "after-250"]
RECIPIENTS = ["ann", "<any@grp.example>", "<far@remote.example>"]


def durable_lists():
    lists = dict(LISTS)
    lists["Pop3"] = ["grp<|><|>@grp.example<|>pop.invalid<|>[sales]"]
    return lists


def message(tag):
    """About 12 KiB: more than one copy block, so a copy can be cut between blocks."""
    return (f"Subject: {tag}\r\nMessage-Id: <{tag}@test>\r\n\r\n".encode()
            + b"".join(f"line {i} of {tag} ".encode() + b"x" * 60 + b"\r\n" for i in range(150)))


def send_until_failure(ids, acked, limit):
    """Sends messages with fresh ids over one connection until it breaks; notes each 250."""
    try:
        with smtplib.SMTP("127.0.0.1", SMTP, timeout=10) as c:
            for _ in range(limit):
                tag = next(ids)
                c.sendmail("<s@here>", RECIPIENTS, message(tag))
                acked.append(tag)
    except (smtplib.SMTPException, OSError):
        pass


def check_store(home, acked):
    mail = Path(home) / "mail"
    leftovers = [p for p in mail.rglob("*.part")]
    assert leftovers == []
    sent = {}
    for box in ("ann", "bob"):
        d = mail / box
        for p in (d.iterdir() if d.exists() else []):
            data = p.read_bytes()
            tag = re.search(rb"Subject: (\S+)", data)
            assert tag and data == message(tag.group(1).decode()), f"truncated or foreign {p}"
            sent.setdefault((box, tag.group(1).decode()), []).append(p)
    spooled = {}
    for p in (mail / "spool").iterdir():
        data = p.read_bytes()
        tag = re.search(rb"Subject: (\S+)", data).group(1).decode()
        assert data.endswith(message(tag)), f"truncated spool file {p}"
        assert data.startswith(b"$$ <s@here>\r\nT <far@remote.example>\r\n\r\nReceived: from ")
        spooled.setdefault(tag, []).append(p)
    for tag in acked:
        assert len(sent.get(("ann", tag), [])) == 2, tag   # once direct, once as a member of sales
        assert len(sent.get(("bob", tag), [])) == 1, tag
        assert len(spooled.get(tag, [])) == 1, tag


def counter(prefix):
    i = 0
    while True:
        i += 1
        yield f"{prefix}-{i}"


@pytest.mark.parametrize("point", POINTS)
def test_kill_at_each_point_loses_nothing_acknowledged(korvanet, tmp_path, point):
    home = tmp_path / "h"
    srv = start_mail(korvanet, lists=durable_lists(), env={"KORVANET_TEST_KILL_POINT": point}, home=home)
    ids, acked = counter(point), []
    send_until_failure(ids, acked, 20)
    srv.proc.wait(10)
    assert srv.proc.returncode == -signal.SIGKILL
    assert len(acked) == (1 if point == "after-250" else 0)
    # Restarted on the same store, the leftovers go and the store is whole.
    again = start_mail(korvanet, lists=durable_lists(), home=home)
    send_until_failure(ids, acked, 3)
    again.stop()
    check_store(home, acked)


def test_kill_at_random_moments_under_load(korvanet, tmp_path):
    home = tmp_path / "h"
    rounds, rng, _ = random_kill_plan(5)  # the seed is printed
    acked = []
    for round_no in range(rounds):
        srv = start_mail(korvanet, lists=durable_lists(), home=home)
        threads = []
        for conn in range(5):
            ids = counter(f"r{round_no}c{conn}")
            threads.append(threading.Thread(target=send_until_failure, args=(ids, acked, 40)))
        for t in threads:
            t.start()
        time.sleep(rng.uniform(0.05, 0.6))
        srv.proc.send_signal(signal.SIGKILL)
        srv.proc.wait(10)
        for t in threads:
            t.join(30)
    srv = start_mail(korvanet, lists=durable_lists(), home=home)
    srv.stop()
    check_store(home, acked)
    assert acked, "no message was acknowledged before the kills"


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_syncs_come_before_the_acknowledgement(korvanet, tmp_path):
    home = tmp_path / "h"
    srv = start_mail(korvanet, lists=durable_lists(), home=home)
    trace = tmp_path / "trace.txt"
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=fsync,fdatasync,sendto,write,renameat2,openat",
                               "-o", str(trace), "-p", str(srv.proc.pid)], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.0)
        with smtplib.SMTP("127.0.0.1", SMTP, timeout=10) as c:
            c.sendmail("<s@here>", RECIPIENTS, message("traced"))
        time.sleep(0.3)
    finally:
        tracer.send_signal(signal.SIGINT)
        tracer.wait(10)
    lines = trace.read_text().splitlines()
    ack = next(i for i, l in enumerate(lines) if "250 Message accepted" in l)
    renames = [l for l in lines[:ack] if "renameat2" in l and "= 0" in l]
    # Four new files (ann twice, bob, the spool), each renamed after its sync
    # and followed by its directory's sync, all before the 250.
    assert len(renames) == 4, "\n".join(lines)
    syncs = [i for i, l in enumerate(lines[:ack]) if re.search(r"\bf(data)?sync\(", l) and "= 0" in l]
    for r in (i for i, l in enumerate(lines[:ack]) if "renameat2" in l and "= 0" in l):
        assert any(s < r for s in syncs) and any(s > r for s in syncs)
    assert len(syncs) >= 8
