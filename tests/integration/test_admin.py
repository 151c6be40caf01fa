"""The administration server seen from outside: raw sockets and curl as
browsers for the exact bytes of its answers, its refusals and its access-log
lines, and a headless browser that shows the admin frames."""
import base64
import os
import re
import socket
import struct
import subprocess
import time
import zlib

import pytest

import clients
from clients import BANNER, PAGE_HEAD as HEAD, basic, read_until_close as read_all
from harness import ADMINS_ONLY, BOB_USER, ROOT, ROOT_USER

ADMIN, PROXY = 7329, 7328
IMAGES = ROOT / "admin" / "images"

BACKGROUND = b'background="/admin/images/background.gif"'
GREY = b'bgcolor="#c0c0c0"'
ASK_CREDENTIALS = (b'HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm="Korvanet"\r\n'
                   b"Content-Type: text/html\r\n\r\n")
HEAD_403 = (b"HTTP/1.0 403 Forbidden\r\nPragma: no-cache\r\nContent-Type: text/html\r\n\r\n"
            b'<body><H2> <font color="ee0000">Forbidden </font></H2><HR>')
FIRST_ENTRY = b'<p><table border=0><td align=center width=110 bgcolor="ffffff"><b>'
ENTRY = b'<table border=0><td align=center width=110 bgcolor="ffffff"><b>'
CLOSINGS = [b"</b></table>"] * 5 + [b"<b></table>"] * 2
FRAMELESS_LINKS = [
    b'<a href="/admin/main"> Main </a><br>\n',
    b'<a href="/admin/status"> Status </a><br>\n',
    b'<a href="/admin/config" TARGET="_top"> Configuration</a> &gt;<br>\n',
    b'<a href="/admin/content"> Cache </a><br>\n',
    b'<a href="/admin/manual"> Manual </a><br>\n',
    b'<a href="/admin/logs"> Logs </a><br>\n',
    b'<a href="/admin/user">Current User</a><br>\n',
]
FRAME_LINKS = [
    b'<a href="/admin/main" TARGET="CONTENT"> Main </a><br>\n',
    b'<a href="/admin/status" TARGET="CONTENT"> Status </a><br>\n',
    b'<a href="/admin/config" TARGET="_top"> Configuration</a>&nbsp;&gt;<br>\n',
    b'<a href="/admin/content" TARGET="CONTENT"> Cache </a><br>\n',
    b'<a href="/admin/manual" TARGET="CONTENT"> Manual </a><br>\n',
    b'<a href="/admin/logs" TARGET="CONTENT"> Logs </a><br>\n',
    b'<a href="/admin/user" TARGET="CONTENT">Current User</a><br>\n',
]


def menu(links):
    return b"".join((FIRST_ENTRY if i == 0 else ENTRY) + link + CLOSINGS[i] for i, link in enumerate(links))


def frameset(last=b"main", body=BACKGROUND):
    return (HEAD + b'<HTML><TITLE>Korvanet Admin</TITLE><frameset cols="155,*"><frame src="/admin/index" '
            b'name="INDEX"><frame src="/admin/' + last + b'" name="CONTENT"></frameset><NOFRAMES>'
            + b'<body link="#0044FF" vlink="#0044FF" ' + body + b'>\n' + b"Korvanet<BR>Admin" + BANNER
            + b"<br><b>Admin</b><p>\n" + menu(FRAMELESS_LINKS) + b"</NOFRAMES></body></HTML>"
            + b"<p> <b>Note : </b>The configuration forms are best viewed with browser that is capable of "
              b"showing Framed documents.")


def menu_frame(body=BACKGROUND):
    return (b"HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\n<HTML><HEAD><TITLE>Korvanet Admin</TITLE>"
            b"</HEAD>\n" + b'<body link="#0044FF" vlink="#0044FF" ' + body + b"><center>\n" + BANNER
            + b"<br><b>Admin</b><p>\n" + menu(FRAME_LINKS))


def welcome(body=BACKGROUND):
    return (HEAD + b"<BODY " + body + b">\n" + b'<center><IMG SRC="/admin/images/logo.gif"><P>\n'
            + b"<B>Version: 1.5.3 </B><P>\n" + b"Year 2000 compliant<P>\n")


def not_found(path):
    return b"HTTP/1.0 404 Not Found\r\n\r\n<H2>Not Found (" + path + b")</H2>"


def connect(host="127.0.0.1", source="127.0.0.1", timeout=10):
    return clients.connect(ADMIN, host, source, timeout)


def ask(raw, host="127.0.0.1", source="127.0.0.1"):
    return clients.exchange(raw, ADMIN, host=host, source=source)


def padded(path, total):
    """A request for path of exactly total bytes, its blank line last."""
    start = f"GET {path} HTTP/1.0\r\nX: ".encode()
    return start + b"a" * (total - len(start) - 4) + b"\r\n\r\n"


def get(path, auth=None, extra=""):
    return clients.admin_get(ADMIN, path, auth, extra, source="127.0.0.1")


def start_admin(korvanet, settings=None, lists=None, **kw):
    base = {"AdminPort": ADMIN, "ProxyPort": PROXY, "LogAccess": 1}
    base.update(settings or {})
    return korvanet(base, lists=lists, **kw)


@pytest.mark.parametrize("use_background, body", [(1, BACKGROUND), (0, GREY)])
def test_frames_menu_and_welcome(korvanet, use_background, body):
    start_admin(korvanet, {"UseBackground": use_background})
    assert get("/admin") == frameset(body=body)
    assert get("/admin/") == frameset(body=body)
    assert get("/admin/index") == menu_frame(body)
    assert get("/admin/main") == welcome(body)
    assert get("/") == b"HTTP/1.0 301 Moved Permanently\r\nLocation: /admin\r\n\r\n"
    r = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{redirect_url}",
                        f"http://127.0.0.1:{ADMIN}/"], capture_output=True, timeout=10)
    assert r.stdout == f"301 http://127.0.0.1:{ADMIN}/admin".encode()


def test_last_admin_page_reopened_by_the_frame_set(korvanet):
    start_admin(korvanet)
    get("/admin/logs")
    assert get("/admin") == frameset(b"logs")
    get("/admin/main")
    assert get("/admin") == frameset(b"main")
    # A page that is not found leaves it alone.
    get("/admin/status")
    get("/admin/nothing")
    assert get("/admin") == frameset(b"status")


def test_images_are_served_with_their_heads(korvanet):
    start_admin(korvanet)
    names = sorted(p.name for p in IMAGES.glob("*.gif"))
    assert len(names) == 18
    for name in names:
        data = (IMAGES / name).read_bytes()
        kind = b"image/jpeg" if name == "background.gif" else b"image/gif"
        assert data[:3] == (b"\xff\xd8\xff" if name == "background.gif" else b"GIF")
        assert get(f"/admin/images/{name}") == (b"HTTP/1.0 200 \r\nContent-Type: " + kind
                                               + b"\r\nContent-Lenght: %d\r\n\r\n" % len(data) + data), name
    r = subprocess.run(["curl", "-s", "-D", "-", f"http://127.0.0.1:{ADMIN}/admin/images/background.gif"],
                       capture_output=True, timeout=10)
    assert r.stdout.endswith((IMAGES / "background.gif").read_bytes())
    assert b"Content-Type: image/jpeg\r\n" in r.stdout
    assert get("/admin/images/none.gif") == not_found(b"/admin/images/none.gif")
    assert get("/admin/images/") == not_found(b"/admin/images/")


def test_routes_match_exactly_or_by_prefix(korvanet):
    start_admin(korvanet)
    # Exact routes take the query string as part of the path.
    assert get("/admin/status?x") == not_found(b"/admin/status?x")
    assert get("/admin/mainx") == not_found(b"/admin/mainx")
    # Prefix routes do not.
    answer = get("/admin/password?old_password=a&new_password=b&retype_password=b&username=c")
    assert answer.startswith(HEAD)
    # Request text shown back on the page is escaped.
    assert get("/admin/<b>&\"x") == not_found(b"/admin/&lt;b&gt;&amp;&quot;x")
    # The seven-character rule cuts any seven-character path.
    assert get("/java/i") == not_found(b"/java/")


def test_diagnostics(korvanet):
    lists = {"Users": [ROOT_USER], "Groups": ["900<|>Admins"], "Access": ["http://elsewhere/*<|>900:<|>"]}
    start_admin(korvanet, lists=lists)
    assert get("/admin/reauth") == ASK_CREDENTIALS
    assert get("/admin/test2") == (b"HTTP/1.0 407 Proxy Authentication Required\r\n"
                                   b'Proxy-Authenticate: Basic realm="admin"\r\n\r\n')
    udp = get("/admin/udp")
    assert re.fullmatch(re.escape(HEAD + b"<BODY " + BACKGROUND + b">\n") + rb"-?\d+\n<br>", udp), udp
    dump = get("/admin/dump")
    assert dump.startswith(b"HTTP/1.0 200 \r\nContent-Type: text/plain\r\nPragma: no-cache\r\n\r\n"
                           b"--------- DUMPING : mail List -------\n")
    order = [dump.index(t) for t in (b"DUMPING : mail List", b"DUMPING : Group List", b"DUMPING : User List",
                                     b"DUMPING : Access List", b"\n================== Task List ============\n")]
    assert order == sorted(order)
    assert b"root" in dump and b"Admins" in dump and b"http://elsewhere/*" in dump
    stream = get("/java/in")
    head = b"HTTP/1.0 200 \r\nContent-Type: application/octet-stream\r\nPragma: no-cache\r\n\r\n"
    assert stream.startswith(head) and len(stream) > len(head)


def test_autoconfig_file(korvanet, tmp_path):
    pac = tmp_path / "proxy.pac"
    long_line = "// " + "x" * 400 + "\n"
    pac.write_text('function FindProxyForURL(url, host)\n{ return "PROXY 10.0.0.1:3128"; }\n' + long_line)
    start_admin(korvanet, {"ProxyAutoconfig": str(pac)})
    assert get("/autoconfig") == (b"HTTP/1.0 200 \r\nContent-Type: application/x-ns-proxy-autoconfig\r\n\r\n"
                                  b'function FindProxyForURL(url, host)\n{ return "PROXY 10.0.0.1:3128"; }\n'
                                  + long_line.encode())  # long lines arrive whole
    pac.unlink()
    assert get("/autoconfig") == b""


def test_autoconfig_missing_closes_without_answer(korvanet, tmp_path):
    start_admin(korvanet, {"ProxyAutoconfig": str(tmp_path / "none.pac")})
    assert get("/autoconfig") == b""
    assert get("/admin/main") == welcome()


@pytest.mark.parametrize("raw", [
    b"GET /admin\r\n\r\n",                                      # no second blank
    b"GET /admin\r\nUser-Agent: a b\r\n\r\n",                   # the blank of a header does not count
    b"GET\r\n\r\n",
    b"GET /admin HTTP/1.0\r\n" + b"x" * (8192 - 21),             # 8192 bytes, no blank line
    padded("/admin", 8193),                                     # blank line one byte too late
], ids=["one-blank", "blank-in-header", "no-blank", "8192-open", "8193"])
def test_bad_requests_are_closed_without_answer(korvanet, raw):
    srv = start_admin(korvanet)
    assert ask(raw) == b""
    # The server goes on serving, and logged nothing for the refused request.
    assert get("/admin/main") == welcome()
    assert srv.wait_log("http-proxy.log", "/admin/main")
    assert srv.read_log("http-proxy.log").count("\n") == 1


def test_request_at_the_limit_and_in_pieces(korvanet):
    start_admin(korvanet)
    assert ask(padded("/admin/main", 8192)) == welcome()
    # The head arrives in pieces, the blank line split between them; bytes
    # after it are not part of the request.
    s = connect()
    for piece in (b"GET /admin/main HTTP/1.0\r\n\r", b"\n", b"\r\nignored"):
        s.sendall(piece)
        time.sleep(0.1)
    assert read_all(s) == welcome()
    s.close()
    # A client that goes away mid-request does not stop the server.
    s = connect()
    s.sendall(b"GET /admin/ma")
    s.close()
    assert get("/admin/main") == welcome()


def test_admins_only_access_rule(korvanet):
    srv = start_admin(korvanet, lists=ADMINS_ONLY)
    # The open routes need no credentials.
    assert get("/admin/main") == welcome()
    assert get("/admin/reauth") == ASK_CREDENTIALS
    # Anonymous, wrong password, and credentials without a carriage return: asked again.
    assert get("/admin/status") == ASK_CREDENTIALS
    assert get("/admin/nothing") == ASK_CREDENTIALS
    assert get("/admin/status", basic("root", "wrong")) == ASK_CREDENTIALS
    raw = f"GET /admin/status HTTP/1.0\r\nAuthorization: {basic('root', 'rootpw')}\n\r\n\r\n".encode()
    assert ask(raw) == ASK_CREDENTIALS
    # A known user outside Admins: the 403 page, naming the path without its query.
    assert get("/admin/status?x=1", basic("bob", "bobpw")) == HEAD_403 + (
        b'You (user <font color="#0000ee"><b>bob</b></font>) are not allowed to access<br><B>'
        b"http://Korvanet/admin/status</B><br>due to Korvanet access configuration rule.<p>"
        b"The reason : <br> You are not in the access list for URL(s) :<br><b>http://Korvanet/*</b>")
    # Malformed credentials: closed without an answer.
    assert get("/admin/status", "Basic " + base64.b64encode(b"nocolon").decode()) == b""
    # An Admins member passes, also through curl.
    assert get("/admin/status", basic("root", "rootpw")).startswith(HEAD)
    assert get("/admin/nothing", basic("root", "rootpw")) == not_found(b"/admin/nothing")
    r = subprocess.run(["curl", "-s", "-u", "root:rootpw", f"http://127.0.0.1:{ADMIN}/admin/dump"],
                       capture_output=True, timeout=10)
    assert b"--------- DUMPING : User List -------\n" in r.stdout
    assert srv.wait_log("http-proxy.log", "/admin/dump")
    lines = srv.read_log("http-proxy.log").splitlines()
    assert lines[-1].startswith("127.0.0.1 - root [")
    assert lines[-1].endswith('"GET http://Korvanet/admin/dump" 200 0')


def test_without_rules_everyone_administers(korvanet):
    start_admin(korvanet, lists={"Users": [BOB_USER]})
    assert get("/admin/status").startswith(HEAD)
    assert get("/admin/dump").startswith(b"HTTP/1.0 200 ")
    assert get("/admin/status", basic("bob", "bobpw")).startswith(HEAD)


def test_access_log_lines_carry_no_query(korvanet):
    srv = start_admin(korvanet, lists=ADMINS_ONLY)
    path = "/admin/password?old_password=rootpw&new_password=s3cret&retype_password=s3cret&username=root"
    get(path, basic("root", "rootpw"))
    get("/admin/status?x", basic("bob", "bobpw"))
    get("/admin/")  # logged as routed: the seven-character rule made it /admin
    get("/", None)
    assert srv.wait_log("http-proxy.log", '"GET http://Korvanet/" 200 0')
    log = srv.read_log("http-proxy.log")
    lines = log.splitlines()
    assert len(lines) == 4, log
    assert re.fullmatch(r'127\.0\.0\.1 - root \[[^\]]+\] "GET http://Korvanet/admin/password" 200 0', lines[0])
    assert re.fullmatch(r'127\.0\.0\.1 - bob \[[^\]]+\] "GET http://Korvanet/admin/status" 200 0', lines[1])
    assert re.fullmatch(r'127\.0\.0\.1 - - \[[^\]]+\] "GET http://Korvanet/admin" 200 0', lines[2])
    assert re.fullmatch(r'127\.0\.0\.1 - - \[[^\]]+\] "GET http://Korvanet/" 200 0', lines[3])
    assert "rootpw" not in log and "s3cret" not in log


def test_no_access_log_when_off(korvanet):
    srv = start_admin(korvanet, {"LogAccess": 0})
    assert get("/admin/main") == welcome()
    assert srv.read_log("http-proxy.log") == ""


@pytest.mark.parametrize("log_security", [0, 1])
def test_client_outside_allowed_list_is_closed(korvanet, log_security):
    srv = start_admin(korvanet, {"LogSecurity": log_security}, lists={"IP": ["10.0.0.0/8"]})
    s = connect(source="127.0.0.2")
    port = s.getsockname()[1]
    s.sendall(b"GET /admin/main HTTP/1.0\r\n\r\n")
    assert read_all(s) == b""
    s.close()
    # 127.0.0.1 is always allowed.
    assert get("/admin/main") == welcome()
    expected = f'Host "127.0.0.2" tried to access Korvanet on port {port}'
    if log_security:
        assert srv.wait_log("security.log", expected)
    else:
        assert srv.read_log("security.log") == ""
    assert "127.0.0.2" not in srv.read_log("http-proxy.log")


def test_insecure_interface_is_closed_silently(korvanet):
    srv = start_admin(korvanet, {"SecureInterface": "10.1.2.3", "LogSecurity": 1})
    assert ask(b"GET /admin/main HTTP/1.0\r\n\r\n", host="127.0.0.2") == b""
    # The loopback interface is always secure.
    assert get("/admin/main") == welcome()
    assert srv.read_log("security.log") == ""
    assert srv.wait_log("http-proxy.log", "/admin/main")
    assert srv.read_log("http-proxy.log").count("\n") == 1


def test_request_must_arrive_within_thirty_seconds(korvanet):
    """A client dribbling its head a byte at a time is dropped like a silent
    one once 30 s have passed, and the server then serves the next request."""
    srv = start_admin(korvanet)
    s = connect(timeout=60)
    started = time.monotonic()
    closed_after = None
    for byte in b"GET /admin/main HTTP/1.0\r\nX: " + b"a" * 100:
        try:
            s.sendall(bytes([byte]))
        except OSError:
            closed_after = time.monotonic() - started
            break
        s.settimeout(2)
        try:
            if s.recv(1) == b"":
                closed_after = time.monotonic() - started
                break
        except socket.timeout:
            pass
        except OSError:  # a reset is a close too
            closed_after = time.monotonic() - started
            break
        if time.monotonic() - started > 45:
            break
    s.close()
    assert closed_after is not None and 28 < closed_after < 35, closed_after
    assert get("/admin/main") == welcome()
    assert srv.wait_log("http-proxy.log", "/admin/main")
    assert srv.read_log("http-proxy.log").count("\n") == 1


def test_stop_wakes_a_silent_client_and_logs_nothing(korvanet):
    srv = start_admin(korvanet)
    s = connect()
    s.sendall(b"GET /admin/main HTTP/1.0\r\n")  # never finished
    time.sleep(0.2)
    started = time.monotonic()
    assert srv.stop() == 0
    assert time.monotonic() - started < 5
    s.close()
    assert "1202" not in srv.read_log("error.log")


def test_admin_port_in_use_stops_the_start(korvanet):
    taken = socket.socket()
    taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # earlier tests leave TIME_WAIT
    taken.bind(("0.0.0.0", ADMIN))
    taken.listen(1)
    try:
        srv = start_admin(korvanet)
        assert srv.proc.wait(10) == 3
        assert "Korvanet can't start" in srv.output()
        log = srv.read_log("error.log")
        assert re.search(r"Error 1200 severity 4 syscode 0 \[[^\]]+\]\r\ncan't start web-admin interface\r\n", log), log
    finally:
        taken.close()


def png_pixels(data):
    """RGB(A) pixels of an 8-bit non-interlaced PNG, as a list of rows of tuples."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6)
            bpp = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 0xFF
            elif f == 2:
                line[i] = (line[i] + b) & 0xFF
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 0xFF
        rows.append([tuple(line[i:i + 3]) for i in range(0, stride, bpp)])
        prev = line
    return rows


@pytest.mark.parametrize("page", ["/admin", "/admin/status", "/admin/logs/error"])
def test_browser_shows_the_admin_pages(korvanet, tmp_path, page, chromium):
    browser = chromium
    srv = start_admin(korvanet)
    if page == "/admin/logs/error":
        assert get("/admin/nothing-here").startswith(b"HTTP/1.0 404")  # something in the logs
    shot = tmp_path / (page.strip("/").replace("/", "-") + ".png")
    profile = tmp_path / "profile"
    run = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          "--enable-logging=stderr", "--v=0",
                          f"--user-data-dir={profile}", f"--screenshot={shot}", "--window-size=1024,768",
                          f"http://127.0.0.1:{ADMIN}{page}"],
                         capture_output=True, timeout=60, env=dict(os.environ, HOME=str(tmp_path)))
    # Page script errors and failed loads show up as console lines.
    console = [line for line in run.stderr.decode(errors="replace").splitlines() if "CONSOLE" in line]
    assert console == [], console
    data = shot.read_bytes()
    assert len(data) > 4096
    pixels = png_pixels(data)
    colours = {p for row in pixels[::4] for p in row[::4]}
    assert len(colours) > 10, page  # not blank: the background image at least
    if page == "/admin":
        # The menu frame's red half of the product name, and the logo's blue.
        assert any(r > 180 and g < 80 and b < 80 for r, g, b in colours)
        assert any(b > 180 and r < 80 and g < 80 for r, g, b in colours)
    srv.stop()


def test_reverse_lookup_names_the_client_in_the_access_log(korvanet):
    srv = start_admin(korvanet, {"ReverseLookup": 1})
    assert get("/admin/main") == welcome()
    assert srv.wait_log("http-proxy.log", "/admin/main")
    name = socket.gethostbyaddr("127.0.0.1")[0]
    assert srv.read_log("http-proxy.log").startswith(f"{name} - - [")
