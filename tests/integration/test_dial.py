"""Dial-up over a fake pppd (dial_peers.py): the manual dial and hang-up
pages byte for byte, what pppd is started with, each way a dial can fail, the
status and manual pages of a real line, dialling on demand for the proxy and
what decides it, a line kept up elsewhere, the idle hang-up, and the dial
page's phone book. Servers of independent cases run side by side."""
import concurrent.futures
import datetime
import os
import re
import socket
import time

from clients import PAGE_HEAD, admin_get, connect, curl, proxy_get, read_until, read_until_close
from dial_peers import LINK_ADDRESS, FakePppd, ForeignLine, zombies_of

STAMP = rb"\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] "
ERROR_STAMP = rb"\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\]\r\n"
DIALLING = b"<B>Dialling ...      </B><br><br>"
DISCONNECTING = b"<B>Disconnecting ... </B><P>\n"
DISCONNECTED = b"<B>Disconnected.</B>"
UP = b"<HR><B>Connection successfuly established, our IP address : 127.0.0.1</B>"
BODY = b'<BODY bgcolor="#c0c0c0">\n'
HEAD_504 = b"HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n"
DETECTED_BY = (b'<p><I>Error detected by <B><FONT SIZE="+2"><FONT COLOR="#FF0000">Korv</FONT>'
               b'<FONT COLOR="#0000FF">anet</FONT></FONT>&nbsp;1.5.3 </B></I>')


def tz_for(hour, minute):
    """A TZ value under which local time is now hour:minute and 5 s."""
    now = datetime.datetime.now(datetime.timezone.utc)
    target = now.replace(hour=hour, minute=minute, second=5, microsecond=0)
    offset = (now - target).total_seconds()  # local = UTC - offset
    offset = (offset + 12 * 3600) % (24 * 3600) - 12 * 3600
    sign = "+" if offset >= 0 else "-"
    offset = abs(int(round(offset)))
    return f"KVT{sign}{offset // 3600}:{offset % 3600 // 60:02d}:{offset % 60:02d}"


def start(korvanet, tmp_path, name, port, settings=None, mode="connect", env=None, entries=("work",)):
    """A server on port (proxy) and port + 1 (admin) with its own fake pppd."""
    fake = FakePppd(tmp_path / name, entries, mode)
    # Local time mid-morning unless a case sets it (the stock window closes at 23:59);
    # failed lookups are not tried again.
    env = dict({"TZ": tz_for(10, 0), "KORVANET_TEST_DNS_RETRY_MS": "0"}, **(env or {}))
    base = {"ProxyPort": port, "AdminPort": port + 1, "LogDial": 1, "ConnName": "work", "Timeout": 1,
            "UseBackground": 0, "LogAccess": 0}
    base.update(settings or {})
    srv = korvanet(base, env=fake.env(**env), home=tmp_path / name / "kv")
    srv.admin_port = port + 1
    return srv, fake


def admin(srv, path, timeout=30):
    return admin_get(srv.admin_port, path, timeout=timeout)


def dial(srv, keep_up=False, timeout=30):
    return admin(srv, "/admin/dial/dial?connect=+Dial+to" + ("&DontHangup=on" if keep_up else ""), timeout)


def hang_up(srv, timeout=30):
    return admin(srv, "/admin/dial/dial?disconnect=+Hang+Up+", timeout)


def dial_lines(srv):
    return srv.read_log("dial.log").encode("latin-1")


def wait_state(srv, text, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        page = admin(srv, "/admin/status")
        if f"<TD> Dial-Up <TD> {text} ".encode() in page or time.monotonic() > deadline:
            return page
        time.sleep(0.1)


def side_by_side(*cases):
    """Runs the cases (functions without arguments) at once; re-raises the first failure."""
    with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
        for f in [pool.submit(c) for c in cases]:
            f.result()


# --- the manual dial and hang-up --------------------------------------------------

def test_manual_dial_hang_up_and_what_pppd_gets(korvanet, tmp_path):
    marker = tmp_path / "ran"
    srv, fake = start(korvanet, tmp_path, "a", 7500,
                      {"RasUsername": 'u"ser', "RasPassword": "p\\w d", "HangUp": 3,
                       "RunOnDial": f"echo run-on-dial; echo done > {marker}.part && mv {marker}.part {marker}", "RunOnDialMode": 0})
    manual = admin(srv, "/admin/manual")
    assert (b'<FORM ACTION="/admin/dial/dial" METHOD=GET><center><b><FONT SIZE=+1 COLOR=#0000BB>Dial up : '
            b'</FONT></b>\n<b>not connected</b></center>\n<br>&nbsp;&nbsp;&nbsp;<INPUT NAME="connect" '
            b'TYPE="SUBMIT" VALUE=" Dial to">\nwork &nbsp;&nbsp; <INPUT NAME="DontHangup" TYPE="CHECKBOX">'
            b"don't hang up on timeout\n</FORM>") in manual
    descriptors = len(os.listdir(f"/proc/{srv.proc.pid}/fd"))

    assert dial(srv) == PAGE_HEAD + BODY + DIALLING + UP
    pid = fake.wait_started()
    assert fake.record(pid, "argv") == ["call", "work", "file", "/dev/fd/3", "nodetach"]
    assert fake.record(pid, "options") == 'user "u\\"ser"\npassword "p\\\\w d"\n'
    fds = fake.descriptors(pid)
    assert sorted(fds) == [0, 1, 2, 3] and fds[0] == "/dev/null" and fds[3].startswith("pipe:"), fds
    assert fds[1] == os.readlink(f"/proc/{srv.proc.pid}/fd/1")  # the server's own output
    # Signals 1-31 blocked or ignored by none (the C library keeps its own two
    # real-time ones ignored in a spawned child).
    assert {k: v & 0x7FFFFFFF for k, v in fake.signals(pid).items()} == {"SigBlk": 0, "SigIgn": 0}
    assert re.fullmatch(STAMP + rb'Connected to "work" successfuly\r\n', dial_lines(srv))

    status = admin(srv, "/admin/status")
    assert (b"<TR ALIGN=CENTER> <TD> Dial-Up <TD> connected <TR ALIGN=CENTER> <TD> RAS IP address <TD> "
            b"127.0.0.1 <TR ALIGN=CENTER> <TD> Time to hang up <TD> 3 minutes.") in status
    assert (b"</FONT></b>\nconnected to <b>work</b></center>\n<br>&nbsp;&nbsp;&nbsp;<INPUT NAME=\"disconnect\" "
            b'TYPE="SUBMIT" VALUE=" Hang Up "></FORM>') in admin(srv, "/admin/manual")
    # The command after the dial: its output is the server's, and it is reaped.
    # (It writes beside the marker and renames, so the marker is whole once seen.)
    deadline = time.monotonic() + 5
    while not marker.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert marker.read_text() == "done\n"
    assert "run-on-dial\n" in srv.output()

    # Dial pressed again while up: told at once, nothing started.
    assert dial(srv, keep_up=True) == PAGE_HEAD + BODY + DIALLING + UP
    assert b"<TD> Time to hang up <TD>Korvanet will not hangup" in admin(srv, "/admin/status")
    assert fake.started() == [pid]

    begun = time.monotonic()
    assert hang_up(srv) == PAGE_HEAD + BODY + DISCONNECTING + DISCONNECTED
    assert time.monotonic() - begun >= 2.5  # the pause after a hang-up comes before the reset
    assert fake.termed() == [pid]
    assert re.fullmatch(STAMP + rb'Connected to "work" successfuly\r\n'
                        + STAMP + rb'Connection to "work" closed\. Connection time : 0 min, \d+ secs\.\r\n',
                        dial_lines(srv))
    assert b"<TD> Dial-Up <TD> not connected " in admin(srv, "/admin/status")
    assert zombies_of(srv.proc.pid) == []

    # Hang Up with no line, twice: each browser is told and let go.
    for _ in range(2):
        assert hang_up(srv) == PAGE_HEAD + BODY + DISCONNECTING + DISCONNECTED

    # A line that does not come up: connecting, then hung up while dialling:
    # no error, no dial-log line; the next dial works.
    fake.set_mode("silent")
    dialling = connect(srv.admin_port)
    dialling.sendall(b"GET /admin/dial/dial?connect=+Dial+to HTTP/1.0\r\n\r\n")
    second = fake.wait_started(2)
    assert (b"</FONT></b>\n<b>connection in progress</b></center>\n<br>&nbsp;&nbsp;&nbsp;<INPUT "
            b'NAME="disconnect" TYPE="SUBMIT" VALUE=" Hang Up "></FORM>') in admin(srv, "/admin/manual")
    assert b"<TD> Dial-Up <TD> connecting " in admin(srv, "/admin/status")
    assert hang_up(srv) == PAGE_HEAD + BODY + DISCONNECTING + DISCONNECTED
    # The first browser's connection was replaced by the hang-up's: closed with what it had.
    assert read_until_close(dialling) == PAGE_HEAD + BODY + DIALLING
    dialling.close()
    assert second in fake.termed()
    assert "RAS error" not in srv.read_log("error.log")
    assert b"failed" not in dial_lines(srv)
    fake.set_mode("connect")
    # A browser that goes away while dialling: the dial goes on.
    gone = connect(srv.admin_port)
    gone.sendall(b"GET /admin/dial/dial?connect=+Dial+to HTTP/1.0\r\n\r\n")
    gone.close()
    fake.wait_started(3)
    assert b"<TD> Dial-Up <TD> connected " in wait_state(srv, "connected")
    assert dial(srv) == PAGE_HEAD + BODY + DIALLING + UP
    # Every browser connection was closed once: no descriptor left behind.
    assert len(os.listdir(f"/proc/{srv.proc.pid}/fd")) == descriptors
    srv.stop()
    assert len(fake.termed()) == 3  # the stop hangs our line up


# --- failures -----------------------------------------------------------------------

FAILURES = [
    # (fake mode or entry, RAS number, text)
    ("exit 2", 625, "The phone book entry is invalid."),
    ("exit 19", 691, "Access denied because username and/or password is invalid."),
    ("exit 10", 734, "The PPP link control protocol terminated."),
    ("exit 0", 635, "An unknown error occurred."),
    ("signal", 635, "An unknown error occurred."),
    ("nolink", 718, "Timed out waiting for a valid response from the remote PPP peer."),
    ("entry:missing", 623, "Cannot find the phone book entry."),
    ("entry:-option", 623, "Cannot find the phone book entry."),
]


def test_each_failure_has_its_text_once(korvanet, tmp_path):
    def case(i, mode, number, text):
        entry = mode.split(":", 1)[1] if mode.startswith("entry:") else "work"
        srv, fake = start(korvanet, tmp_path, f"f{i}", 7510 + 2 * i, {"ConnName": entry},
                          mode if not mode.startswith("entry:") else "connect",
                          env={"KORVANET_TEST_DIAL_LIMIT_MS": "1500"}, entries=("work", "-option"))
        page = dial(srv)
        assert page == PAGE_HEAD + BODY + DIALLING + f"<HR><B>Error :</B> RAS reports : {text}".encode(), mode
        errors = srv.read_log("error.log").encode("latin-1")
        assert re.fullmatch(rf"Error 1610 severity 3 syscode {number} ".encode() + ERROR_STAMP
                            + f"RAS error : {text}\r\n".encode(), errors), (mode, errors)
        assert srv.wait_log("dial.log", "Reason")
        assert re.fullmatch(STAMP + f'Connection to "{entry}" failed. Reason: {text}\r\n'.encode(),
                            dial_lines(srv)), mode
        assert len(fake.started()) == (0 if mode.startswith("entry:") else 1), mode
        assert zombies_of(srv.proc.pid) == []
        assert b"<TD> Dial-Up <TD> not connected " in admin(srv, "/admin/status")

    def dropped():
        srv, fake = start(korvanet, tmp_path, "drop", 7540, mode="drop")
        assert dial(srv) == PAGE_HEAD + BODY + DIALLING + UP
        assert srv.wait_log("dial.log", "outside", timeout=12)
        assert re.fullmatch(STAMP + rb'Connected to "work" successfuly\r\n' + STAMP
                            + rb'Connection to "work" was broken or closed outside Korvanet\. Connection time : '
                              rb"0 min, \d+ secs\.\r\n", dial_lines(srv))
        assert "RAS error" not in srv.read_log("error.log")
        assert fake.termed() == []
        assert b"<TD> Dial-Up <TD> not connected " in wait_state(srv, "not connected")

    def stubborn():
        # A pppd deaf to SIGTERM is killed 10 s later; the hang-up still ends.
        srv, fake = start(korvanet, tmp_path, "stubborn", 7542, mode="stubborn")
        assert dial(srv) == PAGE_HEAD + BODY + DIALLING + UP
        begun = time.monotonic()
        assert hang_up(srv) == PAGE_HEAD + BODY + DISCONNECTING + DISCONNECTED
        assert 12 <= time.monotonic() - begun < 16
        assert zombies_of(srv.proc.pid) == []
        assert srv.wait_log("dial.log", "closed")

    side_by_side(*[lambda i=i, c=c: case(i, *c) for i, c in enumerate(FAILURES)], dropped, stubborn)


def test_pppd_that_cannot_run_is_entry_1600(korvanet, tmp_path):
    fake = FakePppd(tmp_path / "x")
    fake.program.chmod(0o644)
    srv = korvanet({"AdminPort": 7551, "ProxyPort": 7550, "ConnName": "work", "UseBackground": 0},
                   env=fake.env(), home=tmp_path / "x" / "kv")
    srv.admin_port = 7551
    assert re.fullmatch(rb"Error 1600 severity 3 syscode 0 " + ERROR_STAMP + b"can't load RASAPI32.dll\r\n",
                        srv.read_log("error.log").encode())
    assert b"<b>RAS is not installed</b></center></FORM>" in admin(srv, "/admin/manual")
    assert b"RAS is not installed.\n" in admin(srv, "/admin/config/content/dial")


def test_dial_page_lists_the_phone_book(korvanet, tmp_path):
    srv, fake = start(korvanet, tmp_path, "pb", 7552, {"ConnName": "WORK"},
                      entries=("work", "home", ".hidden", "old~", "a&b"))
    (fake.peers / "subdir").mkdir()
    page = admin(srv, "/admin/config/content/dial")
    assert (b'<SELECT NAME="ConnName" SIZE=1>\n<OPTION>(none)\n<OPTION>a&amp;b\n<OPTION>home\n'
            b"<OPTION SELECTED>work\n</SELECT>\n\n") in page


# --- dialling on demand ---------------------------------------------------------------

def proxied(srv, url, timeout=30):
    begun = time.monotonic()
    answer = proxy_get(srv.settings["ProxyPort"], url, timeout=timeout)
    return answer, time.monotonic() - begun


def test_demand_dial_decisions(korvanet, tmp_path, origin):
    web = origin()
    days = ("Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat")
    windows = {f"DemandDial{d}": "08:00-12:00, 13:00-17:00" for d in days}

    def decide(i, settings, url, dials, env=None):
        srv, fake = start(korvanet, tmp_path, f"d{i}", 7560 + 2 * i, settings, env=env)
        answer, took = proxied(srv, url)
        assert (fake.started() != []) == dials, (settings, url)
        if dials:
            assert 6.5 < took < 10, took
            assert re.fullmatch(STAMP + rb'Connected to "work" successfuly\r\n', dial_lines(srv))
        else:
            assert took < 5, took
        return answer

    dotted = f"http://127.0.0.1:{web.port}/"
    cases = [
        # DialEvery dials first, for a dotted address too, then the request goes through.
        ({"DialEvery": 1}, dotted, True, None, b"hello"),
        # "(none)" never dials.
        ({"DialEvery": 1, "ConnName": "(none)"}, dotted, False, None, b"hello"),
        # A local name is not dialled for first, and with DialEvery on it gives up.
        ({"DialEvery": 1, "ExceptLocalNames": 1}, "http://intranet/", False, None, b"doesn't have DNS entry!"),
        ({"DialEvery": 1, "ExceptLocalNames": 0, "ExceptStrings": "corp.test other"},
         "http://www.CORP.test/", False, None, b"doesn't have DNS entry!"),
        # With DialEvery off a failed lookup of a local name still dials, and waits for the line.
        ({"ExceptLocalNames": 1}, "http://intranet/", True, None, b"doesn't have DNS entry!"),
        # Closed at 12:30, open at 13:00.
        (dict(windows, DialEvery=1), dotted, False, {"TZ": tz_for(12, 30)}, b"hello"),
        (dict(windows, DialEvery=1), dotted, True, {"TZ": tz_for(13, 0)}, b"hello"),
    ]

    def run(i, settings, url, dials, env, want):
        answer = decide(i, settings, url, dials, env)
        assert want in answer, (settings, answer[:300])

    side_by_side(*[lambda i=i, c=c: run(i, *c) for i, c in enumerate(cases)])


def test_unreachable_network_dials_then_connects(korvanet, tmp_path):
    # The origin listens on every address; 192.0.2.1 is reached only once the
    # fake has put it on lo.
    web = socket.socket()
    web.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    web.bind(("0.0.0.0", 0))
    web.listen(4)
    port = web.getsockname()[1]

    def serve():
        conn, _ = web.accept()
        read_until(conn, b"\r\n\r\n")
        conn.sendall(b"HTTP/1.0 200 OK\r\n\r\nbeyond the line")
        conn.close()

    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        served = pool.submit(serve)
        srv, fake = start(korvanet, tmp_path, "u", 7580, mode="address")
        try:
            result = curl("-x", f"127.0.0.1:{srv.settings['ProxyPort']}", f"http://{LINK_ADDRESS}:{port}/")
            assert result.stdout == b"beyond the line", result
            served.result(timeout=5)
        finally:
            srv.stop()
            web.close()
    assert fake.started() != [] and fake.termed() == fake.started()


def test_what_the_browser_is_told_after_the_dial_wait(korvanet, tmp_path):
    def failed():
        srv, fake = start(korvanet, tmp_path, "r", 7582, {"ExceptLocalNames": 0}, mode="exit 19")
        answer, took = proxied(srv, "http://intranet/")
        assert answer == (HEAD_504 + b"<H2>Error :</H2><HR>RAS reports : Access denied because username and/or "
                          b"password is invalid." + DETECTED_BY)
        assert 6.5 < took < 10

    def still_dialling():
        # WaitDial 2: the connection looks once after 6 + 2 + 1 s; no dial has
        # failed, so it is told its connect's own reason.
        srv, fake = start(korvanet, tmp_path, "w", 7586, {"WaitDial": 2}, mode="silent")
        answer, took = proxied(srv, f"http://{LINK_ADDRESS}:9/")
        assert answer == (HEAD_504 + b'<H2><font COLOR="#FF0000">Error :</font></H2><P> Can\'t connect to host <B>'
                          + LINK_ADDRESS.encode() + b"</B> on port <B>9</B>!<HR><B>Reason </B>: Network unreachable."
                          + DETECTED_BY)
        assert 8.5 < took < 12
        assert b"<TD> Dial-Up <TD> connecting " in admin(srv, "/admin/status")

    side_by_side(failed, still_dialling)


# --- a line kept up elsewhere ---------------------------------------------------------

def test_line_started_elsewhere_is_watched_never_hung_up(korvanet, tmp_path):
    fake = FakePppd(tmp_path / "o")
    line = ForeignLine(fake)
    try:
        srv, _ = start(korvanet, tmp_path, "o", 7584, {"HangUp": 1, "RunOnDial": f"touch {tmp_path}/ran"})
        page = wait_state(srv, "connected")
        assert b"<TD> RAS IP address <TD> 127.0.0.1 " in page
        assert hang_up(srv) == PAGE_HEAD + BODY + DISCONNECTING + DISCONNECTED
        assert line.alive()
        assert b"<TD> Dial-Up <TD> connected " in wait_state(srv, "connected")
        srv.stop()
        assert line.alive() and fake.started() == []
        assert not (tmp_path / "ran").exists()
    finally:
        line.close()


# --- the idle hang-up ------------------------------------------------------------------

def test_idle_line_hangs_up_after_a_minute_unless_kept_or_busy(korvanet, tmp_path, origin):
    far = origin(b"", hold=True)

    def idle():
        srv, fake = start(korvanet, tmp_path, "idle", 7590, {"HangUp": 1})
        assert dial(srv) == PAGE_HEAD + BODY + DIALLING + UP
        assert b"<TD> Time to hang up <TD> 1 minutes." in admin(srv, "/admin/status")
        assert srv.wait_log("dial.log", "closed", timeout=75)
        assert dial_lines(srv).endswith(b'Connection to "work" closed. Connection time : 1 min, 0 secs.\r\n')
        assert fake.termed() == fake.started()

    def kept():
        srv, fake = start(korvanet, tmp_path, "kept", 7592, {"HangUp": 1})
        assert dial(srv, keep_up=True) == PAGE_HEAD + BODY + DIALLING + UP
        time.sleep(70)
        assert b"<TD> Time to hang up <TD>Korvanet will not hangup" in admin(srv, "/admin/status")
        assert fake.termed() == []

    def busy():
        srv, fake = start(korvanet, tmp_path, "busy", 7594, {"HangUp": 1, "Timeout": 5})
        assert dial(srv) == PAGE_HEAD + BODY + DIALLING + UP
        tunnel = connect(srv.settings["ProxyPort"])
        tunnel.sendall(f"CONNECT 127.0.0.1:{far.port} HTTP/1.0\r\n\r\n".encode())
        read_until(tunnel, b"\r\n\r\n")
        for _ in range(14):
            tunnel.sendall(b"tick")
            time.sleep(5)
        assert b"<TD> Dial-Up <TD> connected " in admin(srv, "/admin/status")
        assert fake.termed() == []
        tunnel.close()

    side_by_side(idle, kept, busy)
