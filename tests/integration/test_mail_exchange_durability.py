"""No message is lost or truncated by a crash during a mail transfer: the
server is killed with SIGKILL at named points of the send and the receive
pass (a test-build switch), restarted on the same MailDir, and the next
transfer finishes the work. The upstream, the local mailboxes and the remote
account (which deletes only at QUIT) then hold every message whole, none more
than twice."""
import re
import signal

import pytest

from mail_peers import BACK, Pop3Provider, SmtpUpstream, pop3_account, queue_mail, spool_data, spool_files, \
    start_exchange, stops_cleanly, transfer
from mail_setup import box, mail_dir


def message(tag, kind):
    """About 12 KiB: more than one block of the download and of the send."""
    return (f"Subject: {tag}\r\nTo: {kind}@test.example\r\n\r\n".encode()
            + b"".join(f"line {i} of {tag} ".encode() + b"x" * 60 + b"\r\n" for i in range(150)))


REMOTE = [message(f"remote-{i}", "jim") for i in range(2)]
OUTBOUND = [message(f"out-{i}", "far") for i in range(2)]
POINTS = ["send-data-sent", "send-before-delete", "download-scratch-complete", "download-before-dele",
          "download-after-dele"]


@pytest.mark.parametrize("point", POINTS)
def test_kill_during_a_transfer_loses_nothing(korvanet, tmp_path, point):
    home = tmp_path / "h"
    provider = Pop3Provider(REMOTE)
    upstream = SmtpUpstream()
    accounts = [pop3_account("jim", "pw", provider.port, "ann")]
    srv = start_exchange(korvanet, upstream, accounts, env={"KORVANET_TEST_KILL_POINT": point}, home=home)
    for m in OUTBOUND:
        queue_mail(m)
    wire = {re.search(rb"Subject: (\S+)", d).group(1): d for d in spool_data(srv)}
    page = transfer()
    assert not page.endswith(BACK)
    srv.proc.wait(10)
    assert srv.proc.returncode == -signal.SIGKILL
    # The scratch file of the download never outlives the process.
    assert sorted(p.suffix for p in (mail_dir(srv) / "spool").iterdir()) == [".pm"] * len(spool_files(srv))

    again = start_exchange(korvanet, upstream, accounts, home=home)
    assert transfer().endswith(BACK)
    # Remote: everything fetched is gone, nothing is left behind.
    provider.wait_idle()
    assert provider.held == []
    delivered = box(again, "ann")
    for m in REMOTE:
        assert 1 <= delivered.count(m) <= 2, (m[:20], len(delivered))
    assert all(d in REMOTE for d in delivered), "a truncated or foreign message in the mailbox"
    # Upstream: every message whole, at most twice; the spool is empty.
    got = upstream.messages()
    for tag, data in wire.items():
        assert 1 <= got.count(data) <= 2, tag
    assert all(d in wire.values() for d in got), "a truncated message reached the upstream"
    assert spool_files(again) == []
    # Nothing went to the problems mailbox on the way.
    assert box(again, "problems.log") == []
    stops_cleanly(again)
