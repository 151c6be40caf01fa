"""Names from requests and peers never lead outside their base directory.
One table of hostile names goes through every entry point where such a name
becomes a path: the host of a proxied request (cache write and hit), the
administration's cache links (listing and both deletes), POP3 USER and SMTP
recipients. The bases sit under a scratch root beside a canary file and a
canary cache directory; nothing outside the bases may appear, change or go,
and each name gets the service's ordinary refusal."""
import os

from clients import exchange
from mail_peers import Pop3Provider, pop3_account, start_exchange, transfer
from mail_setup import LISTS, POP3, SMTP, LineClient, error_entries, start_mail

PROXY, ADMIN = 7728, 7729
OBJECT = "0" + "0" * 32 + ".cch"

HOSTILE = ["..", "../x", "a/../../b", "%2e%2e%2f", "..\\", "/etc/passwd", "a\0b", "a%00b", "a\r\nb", "n" * 300,
           ".", "a/", "../victim.dns", "..\\victim.dns"]


def tree(root, skip):
    """{path: (mtime, size)} of root and everything under it except the bases
    (a directory's mtime shows a name made and removed again)."""
    st = os.lstat(root)
    out = {str(root): (st.st_mtime_ns, st.st_size)}
    for d, dirs, files in os.walk(root):
        dirs[:] = [x for x in dirs if os.path.join(d, x) not in skip]
        for name in dirs + files:
            p = os.path.join(d, name)
            if p in skip:
                continue
            st = os.lstat(p)
            out[p] = (st.st_mtime_ns, st.st_size)
    return out


def plant_canaries(root):
    root.mkdir()
    (root / "canary.txt").write_bytes(b"keep me\n")
    (root / "canary").mkdir()
    (root / "canary" / "inside").write_bytes(b"keep\n")
    (root / "victim.dns").mkdir()
    (root / "victim.dns" / OBJECT).write_bytes(b"keep\n")


def test_hostile_names_stay_inside_their_bases(korvanet, origin, tmp_path):
    root = tmp_path / "scratch"
    plant_canaries(root)
    parent = origin(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\ncached body")
    cache_dir, mail_dir = str(root / "cache"), str(root / "mail")
    srv = start_mail(korvanet, {"ProxyPort": PROXY, "AdminPort": ADMIN, "EnableCache": 1, "LogAccess": 1,
                                "ParentProxy": "127.0.0.1", "ParentProxyPort": parent.port, "UseBackground": 0,
                                "LogMail": 1, "LogMailSmtp": 1, "CacheDir": cache_dir, "MailDir": mail_dir})
    skip = {cache_dir, mail_dir}
    before = tree(root, skip)

    refusals = {}
    for name in HOSTILE:
        raw = name.encode("latin-1")
        # The proxy: twice, a miss that may store and a hit that may read.
        for _ in range(2):
            answer = exchange(b"GET http://" + raw + b"/x HTTP/1.0\r\n\r\n", PROXY)
            refusals.setdefault("proxy", []).append(answer.split(b"\r\n", 1)[0])
        # The administration's cache links.
        for link in (b"/admin/content/" + raw, b"/admin/content/" + raw + b".dns",
                     b"/admin/delete/domain/" + raw, b"/admin/delete/domain/" + raw + b".dns",
                     b"/admin/delete/file/" + raw, b"/admin/delete/file/" + raw + b".dns\\" + OBJECT.encode(),
                     b"/admin/delete/file/victim.dns\\" + raw + b".cch"):
            answer = exchange(b"GET " + link + b" HTTP/1.0\r\n\r\n", ADMIN)
            refusals.setdefault("admin", []).append((link, answer.split(b"\r\n", 1)[0]))
        # POP3 USER: no such mailbox.
        c = LineClient(POP3)
        assert c.greeting.startswith(b"+OK"), c.greeting
        got = c.ask(b"USER " + raw + b"\r\n")
        c.close()
        if b"\r" not in raw and b"\n" not in raw and b" " not in raw and b"\0" not in raw:
            assert got.startswith(b"-ERR Sorry, "), (name, got)
        # SMTP: no such local recipient.
        c = LineClient(SMTP)
        c.ask(b"HELO here\r\n")
        c.ask(b"MAIL FROM:<a@b.example>\r\n")
        got = c.ask(b"RCPT TO:<" + raw + b">\r\n")
        c.ask(b"QUIT\r\n")
        c.close()
        if b"\r" not in raw and b"\n" not in raw:
            assert got.startswith(b"5"), (name, got)

    # Served through the parent (cached or not); a NUL in the request line or
    # a host too long to parse gets the parse failure page.
    for name, pair in zip(HOSTILE, zip(refusals["proxy"][::2], refusals["proxy"][1::2])):
        refused = "\0" in name or "\n" in name or len(name) > 255  # unreadable request lines
        assert pair == ((b"HTTP/1.0 504 Gateway Timeout",) * 2 if refused else (b"HTTP/1.0 200 OK",) * 2), name
    # A plain host does reach the cache: the entry point above is a real one.
    exchange(b"GET http://plain.example/x HTTP/1.0\r\n\r\n", PROXY)
    srv.stop()
    assert tree(root, skip) == before
    assert os.listdir(os.path.join(cache_dir, "plain.example.dns"))
    # Inside the cache only host directories the checker allows were made.
    made = [n for n in os.listdir(cache_dir) if os.path.isdir(os.path.join(cache_dir, n))]
    assert all(n.endswith(".dns") and not n.startswith(".") and n.isprintable() for n in made), made
    assert (root / "victim.dns" / OBJECT).read_bytes() == b"keep\n"
    # A request line holding a NUL or a line break is not read as one: silence.
    odd = [x for x in refusals["admin"] if not x[1].startswith(b"HTTP/1.0 ")]
    assert odd and all(x[1] == b"" and (b"\0" in x[0] or b"\r" in x[0]) for x in odd), odd


# Targets of downloaded mail and of sorting rules are names from the settings,
# but the mail they carry comes from a peer: the same names as mailbox and
# group names, read by one delivery. The refused ones come first: a refusal
# keeps the message on the provider for the next account; a group that does
# not exist makes a problem report, and a literal name makes a mailbox inside.
REFUSED_TARGETS = ["..", "../x", "a/../../b", "..\\", "/etc/passwd", ".", "a/", "../victim.dns"]
LAST_TARGETS = ["[..]", "[../x]", "%2e%2e%2f", "a%00b", "n" * 300]


def test_hostile_delivery_targets_stay_inside_the_mail_directory(korvanet, tmp_path):
    root = tmp_path / "scratch"
    plant_canaries(root)
    mail_dir = str(root / "mail")
    message = b"To: hostile@corp.example\r\nSubject: s\r\n\r\nbody\r\n"
    provider = Pop3Provider([message])
    accounts = [pop3_account("jim", "pw", provider.port, t) for t in REFUSED_TARGETS + ["{ RULE }"] + LAST_TARGETS]
    lists = dict(LISTS, Rules=[f"{t}<|>hostile" for t in REFUSED_TARGETS])
    srv = start_exchange(korvanet, None, accounts, {"MailDir": mail_dir, "SMTPServer": "127.0.0.1"}, lists)
    before = tree(root, {mail_dir})
    try:
        page = transfer()
        srv.stop()
        assert tree(root, {mail_dir}) == before
        refused = [e[2].rsplit("/mail/", 1)[1] for e in error_entries(srv, 1035)]
        assert refused == REFUSED_TARGETS * 2, page  # as accounts' targets, then as every matching rule's
        assert [e[2] for e in error_entries(srv, 1008)] == ["group .. doesn't exist"]
        assert provider.held == []
        assert sorted(os.listdir(mail_dir)) == ["problems.log", "spool"]
    finally:
        provider.close()
