"""The admin main-frame pages seen from a browser: status with live
connections and kill, log views and clearing, manual and mail pages, the
current user and the password change."""
import re
import struct
import time

import pytest

from clients import PAGE_HEAD, admin_get, basic, connect, read_until
from harness import digest

PROXY, ADMIN = 7128, 7129
TO_STATUS = b"HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/status\r\n\r\n"
ASK_USER = (b'HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm="Korvanet"\r\n'
            b"Content-Type: text/html\r\n\r\n")


def admin(path, headers="", auth=None):
    """One admin request; everything the server sends until it closes."""
    return admin_get(ADMIN, path, auth, headers)


def start(korvanet, settings=None, lists=None):
    base = {"ProxyPort": PROXY, "AdminPort": ADMIN, "LogAccess": 1, "Timeout": 30, "UseBackground": 0}
    base.update(settings or {})
    return korvanet(base, lists)


def open_client(request):
    """A browser connection to the proxy that sent `request` and stays open."""
    s = connect(PROXY)
    s.sendall(request)
    return s


def rows(page):
    return re.findall(rb"<TR ALIGN=LEFT>.*?(?=<TR ALIGN)", page, re.S)


def wait_rows(n, timeout=5):
    deadline = time.monotonic() + timeout
    while True:
        page = admin("/admin/status")
        if len(rows(page)) == n or time.monotonic() > deadline:
            return page
        time.sleep(0.05)


# --- status and kill -----------------------------------------------------------

def test_status_without_connections(korvanet):
    start(korvanet, {"RefreshStatusPage": 0})
    page = admin("/admin/status")
    assert page.startswith(PAGE_HEAD + b"<BODY ")
    assert b"Refresh" not in page
    # The admin request itself is no connection of the task table.
    assert (b"<TR ALIGN=CENTER> <TH>Type <TH>Sec.<TH> From <TH>Destination"
            b"<TR ALIGN=CENTER> <TD COLSPAN=4> Total Connections : <B>0</B> </TABLE><P>") in page
    assert b"<TR ALIGN=CENTER> <TD> Dial-Up <TD> not connected " in page
    assert re.search(rb"<TR ALIGN=CENTER> <TD> Start time <TD> \d\d/[A-Z][a-z]{2}/\d{4} \d\d:\d\d:\d\d ", page)
    assert page.endswith(b"<TR ALIGN=CENTER> <TD> Version <TD> 1.5.3 </TABLE></CENTER>")


def test_status_refresh_line(korvanet):
    start(korvanet, {"RefreshStatusPage": 9})
    page = admin("/admin/status")
    assert page.startswith(PAGE_HEAD + b'<meta http-equiv="Refresh" content="9; URL=/admin/status">\n<BODY ')


def test_status_lists_running_downloads_and_tunnel(korvanet, origin):
    start(korvanet)
    origin(b"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"x" * 10, port=8080, hold=True)
    origin(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + b"y" * 7, port=80, hold=True)
    tunnel_end = origin(b"", hold=True)
    clients = [
        open_client(b"GET http://127.0.0.1:8080/slow?a<b> HTTP/1.0\r\n\r\n"),
        open_client(b"GET http://127.0.0.1/plain HTTP/1.0\r\n\r\n"),
        open_client(f"CONNECT 127.0.0.1:{tunnel_end.port} HTTP/1.0\r\n\r\n".encode()),
    ]
    try:
        read_until(clients[0], b"x" * 10)
        read_until(clients[1], b"y" * 7)
        read_until(clients[2], b"\r\n\r\n")
        page = wait_rows(3)
        assert b"Total Connections : <B>3</B>" in page
        found = rows(page)
        assert len(found) == 3, page
        for row in found:
            assert re.match(rb'<TR ALIGN=LEFT> <TD NOWRAP><A HREF="/admin/kill/\d+"> <IMG '
                            rb'SRC="/admin/images/cross.gif" border=0></a>&nbsp;<font size=-1>PROXY</font><TD> \d+ '
                            rb"<TD> 127\.0\.0\.1 <TD> <A HREF=", row), row
        # Port 8080 is shown, port 80 is not; markup from the request is escaped.
        assert re.search(rb'<A HREF="http://127\.0\.0\.1:8080/slow\?a&lt;b&gt;">http://127\.0\.0\.1:8080/slow\?a&lt;'
                         rb"b&gt;</A>&nbsp;<font size=-1>\(\d+/100000\)</font>\n", page), page
        assert re.search(rb'<A HREF="http://127\.0\.0\.1/plain">http://127\.0\.0\.1/plain</A>'
                         rb"&nbsp;<font size=-1>\(\d+/\?\)</font>\n", page), page
        assert f"https://127.0.0.1:{tunnel_end.port}".encode() in page
        assert b"a<b>" not in page
    finally:
        for c in clients:
            c.close()


def test_kill_closes_a_running_tunnel(korvanet, origin):
    start(korvanet)
    end = origin(b"", hold=True)
    client = open_client(f"CONNECT 127.0.0.1:{end.port} HTTP/1.0\r\n\r\n".encode())
    try:
        assert read_until(client, b"\r\n\r\n").startswith(b"HTTP/1.0 200 Connection established")
        page = wait_rows(1)
        serial = int(re.search(rb'/admin/kill/(\d+)"', page).group(1))
        assert admin(f"/admin/kill/{serial}") == TO_STATUS
        client.settimeout(5)
        assert client.recv(100) == b""
        assert len(rows(admin("/admin/status"))) == 0
    finally:
        client.close()


def test_kill_of_unknown_serial_only_redirects_after_half_a_second(korvanet, origin):
    start(korvanet)
    end = origin(b"", hold=True)
    client = open_client(f"CONNECT 127.0.0.1:{end.port} HTTP/1.0\r\n\r\n".encode())
    try:
        read_until(client, b"\r\n\r\n")
        for path in ("/admin/kill/7777", "/admin/kill/x"):
            began = time.monotonic()
            assert admin(path) == TO_STATUS
            assert time.monotonic() - began >= 0.45
        assert len(rows(admin("/admin/status"))) == 1
    finally:
        client.close()


# --- logs ----------------------------------------------------------------------

def listing(page, form):
    """The lines of a log view between its clear form and its end."""
    assert page.startswith(PAGE_HEAD + b"<BODY ")
    return page.split(form, 1)[1]


SECURITY_FORM = (b'<center><form action="/admin/clearsecuritylog"><input type="submit" name="button" '
                 b'value=" Clear "></form></center>')
DIAL_FORM = (b'<center><form action="/admin/cleardiallog"><input type="submit" name="button" '
             b'value=" Clear "></form></center>')


@pytest.mark.parametrize("content, shown", [
    (b"only line <b>", b"only line &lt;b&gt;<br>"),
    (b"old\nnew\n", b"<br>new<br>old<br>"),
    (b"old\r\nnew", b"new<br>old<br>"),
    (b"", b""),
])
def test_log_view_newest_first(korvanet, content, shown):
    srv = start(korvanet, {"LogDial": 1})
    srv.log_path("dial.log").write_bytes(content)
    assert listing(admin("/admin/logs/dial"), DIAL_FORM) == shown


def test_mail_log_colours_and_missing_log(korvanet):
    srv = start(korvanet)
    srv.log_path("mail.log").write_bytes(b"OK got 2 messages\nfailed <x>\n")
    page = admin("/admin/logs/mail")
    assert page.endswith(b'</form></center><font color="#cf0000"><br>\n</font>'
                         b'<font color="#cf0000">failed &lt;x&gt;<br>\n</font>'
                         b'<font color="#0000aa">OK got 2 messages<br>\n</font>')
    # LogSecurity off: no file, the page stops after its form.
    assert not srv.log_path("security.log").exists()
    assert admin("/admin/logs/security").endswith(SECURITY_FORM)


def test_access_log_view_and_clear(korvanet):
    srv = start(korvanet)
    admin("/admin/status")
    admin("/admin/<script>x")
    assert srv.wait_log("http-proxy.log", "script")
    page = admin("/admin/logs/access")
    body = page.split(b"</form></center><PRE>", 1)[1]
    assert body.endswith(b"</body>")
    lines = body[:-len(b"</body>")].split(b"<br>")
    # Newest first: the file ends with a line feed, so an empty line leads.
    assert lines[0] == b""
    assert b"/admin/&lt;script&gt;x" in lines[1]
    assert b"/admin/status" in lines[2]
    assert b"<script>" not in page

    assert admin("/admin/clearlog?button=+Clear+") == (b"HTTP/1.0 301 Moved Permanently\r\n"
                                                       b"Location: /admin/logs/access\r\n\r\n")
    # Emptied, and logging goes on into the same file: the clear request's own line.
    assert srv.wait_log("http-proxy.log", "clearlog")
    text = srv.read_log("http-proxy.log")
    assert len(text.splitlines()) == 1 and "/admin/status" not in text


def test_clear_all_logs(korvanet):
    srv = start(korvanet, {"LogDial": 1, "LogSecurity": 1})
    for name in ("error.log", "mail.log", "dial.log", "security.log"):
        srv.log_path(name).write_bytes(b"old line\n")
    assert admin("/admin/clearalllog") == (b"HTTP/1.0 301 Moved Permanently\r\n"
                                           b"Location: /admin/logs/access\r\n\r\n")
    for name in ("error.log", "mail.log", "dial.log", "security.log"):
        assert srv.read_log(name) == "", name


def test_log_frames(korvanet):
    start(korvanet)
    frames = admin("/admin/logs")
    assert frames.startswith(PAGE_HEAD + b"<HTML><TITLE>Korvanet Admin</TITLE><frameset rows=50,*")
    assert frames.endswith(b'<li><b><a href="/admin/logs/error">Error</a>\n</ul></body>\n')
    # The frame set is what /admin reopens now.
    assert b'<frame src="/admin/logs" name="CONTENT">' in admin("/admin")
    assert admin("/admin/logs/index").count(b"target=logwindow") == 5
    admin("/admin/logs/nic")
    assert b'<frame src="/admin/logs/nic" name="CONTENT">' in admin("/admin")


# --- manual and mail -------------------------------------------------------------

def test_manual_page_without_dial_up(korvanet):
    start(korvanet)
    page = admin("/admin/manual")
    assert b"Dial up : </FONT></b>\n<b>RAS is not installed</b></center></FORM>" in page
    assert page.endswith(b'<INPUT NAME="ViewQueue" TYPE="SUBMIT" VALUE="View Queue"></FORM>')


def test_mail_page(korvanet):
    start(korvanet)
    empty = admin("/admin/mail")
    assert re.fullmatch(re.escape(PAGE_HEAD) + rb"<BODY [^\n]*>\n", empty), empty
    queue = admin("/admin/mail?ViewQueue=View+Queue")
    assert (b'<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail Queue</FONT></b></center><hr>\n') in queue
    assert queue.endswith(b'<hr><a href="/admin/manual"><B>Back</b></a>\n</body>')
    # The transfer takes the connection over; it answers and closes it.
    transfer = admin("/admin/mail?BothMail=+Send+and+Receive+")
    assert b"Mail Transfer</FONT></b></center><hr>\n</body>" in transfer


def test_dial_page_hands_the_connection_over(korvanet):
    start(korvanet)
    page = admin("/admin/dial/dial?connect=+Dial+to", headers="User-Agent: Mozilla/4.0 (compatible; MSIE 5.0)\r\n")
    assert page.endswith((" " * 45 + "<br>\n").encode() * 7 + b"<B>Dialling ...      </B><br><br>")


# --- cache -----------------------------------------------------------------------

def test_cache_pages_answer_and_redirect(korvanet):
    start(korvanet)
    page = admin("/admin/content")
    assert b"Cache content - DNS names</FONT></b></center><hr><pre>\n" in page
    objects = admin("/admin/content/some.dns")
    assert objects.startswith(b"HTTP/1.0 200 \r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n<PRE><BODY ")
    assert re.search(rb"Current time : <B>\d\d/[A-Z][a-z]{2}/\d{4} \d\d:\d\d:\d\d</B>\n\n", objects)
    assert objects.endswith(b"</body>\n")
    assert admin("/admin/delete/domain/some.dns") == (b"HTTP/1.0 302 Object Moved\r\n"
                                                      b"Location: /admin/content\r\n\r\n")
    assert admin("/admin/delete/file/some.dns\\obj.cch") == (b"HTTP/1.0 302 Object Moved\r\n"
                                                            b"Location: /admin/content/some.dns\r\n\r\n")
    assert admin("/admin/delete/file/obj.cch") == (b"HTTP/1.0 302 Object Moved\r\n"
                                                   b"Location: /admin/content\r\n\r\n")


def test_delete_object_link_as_a_browser_sends_it(korvanet, tmp_path):
    """The page links "directory\\file"; a browser turns the backslash into a
    slash. Both forms delete the object and return to its directory."""
    home = tmp_path / "home"
    host = home / "cache" / "h.test.dns"
    host.mkdir(parents=True)
    names = ["0" + "a" * 32 + ".cch", "0" + "b" * 32 + ".cch", "0" + "c" * 32 + ".cch"]
    for name in names:
        url = b"http://h.test/" + name.encode()
        (host / name).write_bytes(struct.pack("<BIIq", 0, 17 + len(url) + 1, 1, 4102444800) + url + b"\0data")
    korvanet({"ProxyPort": PROXY, "AdminPort": ADMIN, "EnableCache": 1, "UseBackground": 0}, home=home)
    deadline = time.monotonic() + 10
    while b"Cache is not started." in admin("/admin/content/h.test.dns") and time.monotonic() < deadline:
        time.sleep(0.1)
    back = b"HTTP/1.0 302 Object Moved\r\nLocation: /admin/content/h.test.dns\r\n\r\n"
    assert admin(f"/admin/delete/file/h.test.dns\\{names[0]}") == back
    assert admin(f"/admin/delete/file/h.test.dns/{names[1]}") == back
    # A second slash, or a way out of the cache directory, names nothing.
    assert admin(f"/admin/delete/file/h.test.dns/x/{names[2]}").startswith(b"HTTP/1.0 302 Object Moved\r\n")
    assert admin(f"/admin/delete/file/../cache/h.test.dns/{names[2]}").startswith(b"HTTP/1.0 302 ")
    assert sorted(p.name for p in host.iterdir()) == [names[2]]


# --- current user and password ----------------------------------------------------

USERS = {"Users": [f"001<|>alice<|>{digest('alice', 'old pw')}<|>900:",
                   f"002<|>bob<|>{digest('bob', 'bobpw')}<|>"],
         "Access": ["*<|>001:002:"]}


def proxy_status(origin_port, user, password):
    """The status code of a GET through the proxy with the user's credentials."""
    s = connect(PROXY)
    s.sendall(f"GET http://127.0.0.1:{origin_port}/ HTTP/1.0\r\nProxy-Authorization: {basic(user, password)}\r\n\r\n"
              .encode())
    head = read_until(s, b"\r\n")
    s.close()
    return head.split(b" ", 2)[1]


def test_user_page_needs_credentials(korvanet):
    start(korvanet)
    assert admin("/admin/user") == ASK_USER


def test_user_page_shows_user_and_groups(korvanet):
    start(korvanet, lists=USERS)
    page = admin("/admin/user", auth=basic("alice", "old pw"))
    assert b'<font size=+1 color="#FF0000">alice</font></font></center><hr>' in page
    assert b'<input type="hidden" name="username" value="alice"></center></form><hr>' in page
    assert page.endswith(b"<center><font size=+1> Groups Membership</font></center>Admins, ")


def test_password_change(korvanet, origin):
    srv = start(korvanet, lists=USERS)
    site = origin(b"HTTP/1.0 200 OK\r\n\r\nhi", hold=True)
    alice = basic("alice", "old pw")
    assert proxy_status(site.port, "alice", "old pw") == b"200"

    wrong = admin("/admin/password?old_password=nope&new_password=n+1&retype_password=n+1&username=alice",
                  auth=alice)
    assert wrong.endswith(b'Old password is incorrect.<p>Please enter it <a href="/admin/user">again</a>')
    mismatch = admin("/admin/password?old_password=old+pw&new_password=n+1&retype_password=n+2&username=alice",
                     auth=alice)
    assert mismatch.endswith(b"New password and confirm password do not match.<p>Please enter them "
                             b'<a href="/admin/user">again</a>')
    assert proxy_status(site.port, "alice", "old pw") == b"200"
    assert digest("alice", "old pw") in srv.registry.read_text()

    done = admin("/admin/password?old_password=old+pw&new_password=n%261&retype_password=n%261&username=alice"
                 "&button=Change+Password", auth=alice)
    assert done.endswith(b'Your password has been successfuly changed.<p>Please <a href="/admin/user">'
                         b"re-authenticate</a> youself against Korvanet.")
    # The proxy takes the new password at once, and the stored settings hold it.
    assert proxy_status(site.port, "alice", "n&1") == b"200"
    assert proxy_status(site.port, "alice", "old pw") != b"200"
    assert digest("alice", "n&1") in srv.registry.read_text()
    assert admin("/admin/user", auth=basic("alice", "n&1")).startswith(PAGE_HEAD)
