"""The web proxy seen from outside: curl and raw sockets as browsers, a small
origin server and a fake parent proxy on loopback that record the exact bytes
they receive."""
import base64
import re
import socket
import struct
import subprocess
import time

import pytest

from clients import basic, curl, exchange, listening, read_until_close
from harness import digest
from peers import free_port

PROXY, ADMIN = 7128, 7129

HEAD_504 = b"HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n"
ERROR_DETECTED_BY = (b'<p><I>Error detected by <B><FONT SIZE="+2"><FONT COLOR="#FF0000">Korv</FONT>'
                     b'<FONT COLOR="#0000FF">anet</FONT></FONT>&nbsp;1.5.3 </B></I>')
PARSE_PAGE = HEAD_504 + b'<H4><font COLOR="#FF0000">Error parsing http request : </font></H2><p><pre>'
ASK_CREDENTIALS = (b'HTTP/1.0 407 Unauthorized\r\nProxy-Authenticate: Basic realm="Korvanet"\r\n'
                   b"Content-Type: text/html\r\n\r\n")
HEAD_403 = (b"HTTP/1.0 403 Forbidden\r\nPragma: no-cache\r\nContent-Type: text/html\r\n\r\n"
            b'<body><H2> <font color="ee0000">Forbidden </font></H2><HR>')


def start_proxy(korvanet, settings=None, lists=None):
    base = {"ProxyPort": PROXY, "AdminPort": ADMIN, "LogAccess": 1, "Timeout": 2}
    base.update(settings or {})
    return korvanet(base, lists)


def ask(raw, port=PROXY, timeout=10):
    """Sends raw bytes to the proxy and returns everything until it closes."""
    return exchange(raw, port, timeout)


def error_entries(srv, code):
    return len(re.findall(rf"(?m)^Error {code} severity", srv.read_log("error.log")))


def test_get_through_curl_reaches_origin_rewritten(korvanet, origin):
    start_proxy(korvanet)
    o = origin()
    r = curl("-0", "-x", f"http://127.0.0.1:{PROXY}", "-U", "someone:pw", f"http://127.0.0.1:{o.port}/dir/page.html?q=1")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b"hello"
    req = o.requests[0]
    assert req.startswith(b"GET /dir/page.html?q=1 HTTP/1.0\r\n")
    assert f"Host: 127.0.0.1:{o.port}\r\n".encode() in req
    assert b"proxy-connection" not in req.lower()
    assert b"proxy-authorization" not in req.lower()


def test_request_without_path_and_access_log_line(korvanet, origin):
    srv = start_proxy(korvanet)
    o = origin(b"HTTP/1.0 200 OK\r\nExpires: Thu, 01 Dec 1994 16:00:00 GMT\r\nX-A: b\r\n\r\n12345")
    answer = ask(f"GET http://127.0.0.1:{o.port} HTTP/1.0\r\nHost: x\r\n\r\n".encode())
    # The expiry line never reaches the browser.
    assert answer == b"HTTP/1.0 200 OK\r\nX-A: b\r\n\r\n12345"
    assert o.requests[0] == b"GET / HTTP/1.0\r\nHost: x\r\n\r\n"
    assert srv.wait_log("http-proxy.log", "200 5")
    line = srv.read_log("http-proxy.log")
    assert re.fullmatch(r'127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d [+-]\d\d00\] '
                        r'"GET http://127\.0\.0\.1/" 200 5\r\n', line), line


def test_post_body_reaches_origin(korvanet, origin):
    start_proxy(korvanet)
    o = origin()
    r = curl("-0", "-x", f"http://127.0.0.1:{PROXY}", "--data-binary", "a=1&b=2", f"http://127.0.0.1:{o.port}/form")
    assert r.stdout == b"hello", r.stderr
    assert o.requests[0].startswith(b"POST /form HTTP/1.0\r\n")
    assert o.requests[0].endswith(b"\r\n\r\na=1&b=2")
    # A body sent in one piece with the head, larger than one block.
    body = bytes(range(256)) * 400
    answer = ask(f"POST http://127.0.0.1:{o.port}/big HTTP/1.0\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body)
    assert answer.endswith(b"hello")
    assert o.requests[1] == f"POST /big HTTP/1.0\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body


def test_own_answers_are_exact(korvanet, origin):
    srv = start_proxy(korvanet)
    o = origin()
    # If-Modified-Since without Pragma: answered here, whatever the date.
    assert ask(f"GET http://127.0.0.1:{o.port}/x HTTP/1.0\r\nIf-Modified-Since: yesterday\r\n\r\n".encode()) == \
        b"HTTP/1.0 304 Not Modified\r\n\r\n"
    assert ask(f"GET http://127.0.0.1:{o.port}/x.html;refresh HTTP/1.0\r\n\r\n".encode()) == (
        b"HTTP/1.0 301 Moved Permanently\r\nContent-Type: text/html\r\n"
        + f"Location: http://127.0.0.1:{o.port}/x.html\r\n\r\n".encode())
    assert o.requests == []
    # With Pragma the request goes upstream and the conditional is dropped.
    answer = ask(f"GET http://127.0.0.1:{o.port}/x HTTP/1.0\r\nIf-Modified-Since: yesterday\r\n"
                 f"Pragma: no-cache\r\n\r\n".encode())
    assert answer.endswith(b"hello")
    assert o.requests[0] == b"GET /x HTTP/1.0\r\nPragma: no-cache\r\n\r\n"
    assert error_entries(srv, 2509) == 0


def test_parse_failure_page(korvanet):
    srv = start_proxy(korvanet)
    assert ask(b"GET http://example.test:abc/ HTTP/1.0\r\nHost: a\r\n\r\n") == \
        PARSE_PAGE + b"GET http://example.test:abc / HTTP/1.0\r\nHost: a\r\n\r\n</pre>"
    fifty = b"".join(b"X-%d: v\r\n" % i for i in range(50))
    head = b"GET http://example.test/ HTTP/1.0\r\n" + fifty + b"\r\n"
    assert ask(head) == PARSE_PAGE + b"GET http://example.test /" + head[len(b"GET http://example.test/"):] + b"</pre>"
    assert srv.wait_log("error.log", "error in parsing http request")
    time.sleep(0.2)
    assert error_entries(srv, 2509) == 2


def test_name_and_connect_failure_pages(korvanet):
    srv = start_proxy(korvanet)
    assert ask(b"GET http://no-such-host.invalid/ HTTP/1.0\r\n\r\n") == (
        HEAD_504 + b'<H2><font COLOR="#FF0000">Error :</font></H2><P> Host <B> no-such-host.invalid </B> '
        b"doesn't have DNS entry!" + ERROR_DETECTED_BY)
    port = free_port()
    assert ask(f"GET http://127.0.0.1:{port}/ HTTP/1.0\r\n\r\n".encode()) == (
        HEAD_504 + b'<H2><font COLOR="#FF0000">Error :</font></H2><P> Can\'t connect to host <B>127.0.0.1</B>'
        + f" on port <B>{port}</B>!<HR>".encode() + b"<B>Reason </B>: Connection refused." + ERROR_DETECTED_BY)
    # Neither is an access-log entry nor, with a known reason, an error entry.
    time.sleep(0.2)
    assert srv.read_log("http-proxy.log") == ""
    assert error_entries(srv, 2512) == 0


def test_bad_heads_get_silence_or_the_parse_page(korvanet, origin):
    srv = start_proxy(korvanet)
    # 8192 bytes without an end: no answer, one entry.
    assert ask(b"G" * 9000) == b""
    assert srv.wait_log("error.log", "bad http request")
    # Binary garbage that happens to end like a head.
    garbage = bytes(range(1, 256)) + b"\n\n"
    answer = ask(garbage)
    assert answer.startswith(PARSE_PAGE) and answer.endswith(b"</pre>")
    # Half a head, then the browser goes away.
    s = socket.create_connection(("127.0.0.1", PROXY))
    s.sendall(b"GET http://example.test/ HTT")
    s.close()
    time.sleep(0.3)
    assert error_entries(srv, 2508) == 2
    # Still serving.
    o = origin()
    assert ask(f"GET http://127.0.0.1:{o.port}/ HTTP/1.0\r\n\r\n".encode()).endswith(b"hello")


def test_bad_head_entry_carries_its_own_error_code(korvanet):
    """A head that ends in a close or grows too long is no socket error: its
    entry says 0, whatever an earlier connection served by the same thread
    (here one reset mid-head, which is not logged) left behind."""
    srv = start_proxy(korvanet)
    for i, (head, half_close) in enumerate(((b"GET http://example.test/ HTT", True), (b"G" * 9000, False))):
        s = socket.create_connection(("127.0.0.1", PROXY))
        s.sendall(b"GET http://example.test/ HTT")
        time.sleep(0.1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        time.sleep(0.2)  # its thread waits for the next connection
        s = socket.create_connection(("127.0.0.1", PROXY))
        s.sendall(head)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        assert read_until_close(s) == b"", i
        s.close()
        time.sleep(0.2)
    assert re.findall(r"(?m)^Error 2508 severity (\d) syscode (-?\d+) [^\r\n]*\r\n([^\r\n]*)",
                      srv.read_log("error.log")) == [("1", "0", "bad http request")] * 2


@pytest.mark.parametrize("port, header", [(PROXY, "Proxy-Authorization"), (ADMIN, "Authorization")])
def test_user_name_with_line_ends_cannot_forge_an_access_line(korvanet, origin, port, header):
    """The user of Basic credentials is the client's own bytes: in the access
    log its control characters show as "?", so it never starts a line."""
    srv = start_proxy(korvanet)
    o = origin()
    target = f"http://127.0.0.1:{o.port}/" if port == PROXY else "/admin/status"
    credentials = base64.b64encode(b"x\r\n10.9.9.9 - boss [:pw").decode()
    answer = ask(f"GET {target} HTTP/1.0\r\n{header}: Basic {credentials}\r\n\r\n".encode(), port)
    assert answer.startswith(b"HTTP/1.0 200 ")
    assert srv.wait_log("http-proxy.log", "\r\n")
    time.sleep(0.1)
    logged = "http://127.0.0.1/" if port == PROXY else "http://Korvanet/admin/status"
    assert re.fullmatch(r'127\.0\.0\.1 - x\?\?10\.9\.9\.9 - boss \[ \[[^\]]+\] "GET ' + re.escape(logged)
                        + r'" 200 \d+\r\n', srv.read_log("http-proxy.log")), srv.read_log("http-proxy.log")


def test_parent_proxy_gets_absolute_url_and_credentials(korvanet, origin):
    # ParentProxyPort stops at 50000: keep the fake parent below it.
    parent = origin(b"HTTP/1.0 200 OK\r\n\r\nfrom parent", port=7300)
    start_proxy(korvanet, {"ParentProxy": "127.0.0.1", "ParentProxyPort": parent.port,
                           "ParentProxyUsername": "alice", "ParentProxyPassword": "pw"})
    r = curl("-0", "-x", f"http://127.0.0.1:{PROXY}", "http://www.example.test:8080/a/b?c")
    assert r.stdout == b"from parent", r.stderr
    req = parent.requests[0]
    assert req.startswith(b"GET http://www.example.test:8080/a/b?c HTTP/1.0\r\n")
    expected = b"Proxy-Authorization: Basic " + base64.b64encode(b"alice:pw") + b"\r\n"
    assert req.count(b"Proxy-Authorization") == 1
    assert expected in req
    assert b"Proxy-Connection" not in req


def test_connect_carries_tls(korvanet, tmp_path):
    start_proxy(korvanet)
    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    port = free_port()
    tls = subprocess.Popen(["openssl", "s_server", "-accept", str(port), "-cert", str(cert), "-key", str(key),
                            "-www", "-quiet"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not listening(port):
            time.sleep(0.05)
        r = curl("-p", "-x", f"http://127.0.0.1:{PROXY}", "--cacert", str(cert), f"https://localhost:{port}/")
        assert r.returncode == 0, r.stderr
        assert b"s_server" in r.stdout
        # The tunnel's answer as the browser sees it.
        s = socket.create_connection(("127.0.0.1", PROXY), timeout=5)
        s.sendall(f"CONNECT localhost:{port} HTTP/1.0\r\n\r\n".encode())
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            head += s.recv(1)
        s.close()
        assert head == b"HTTP/1.0 200 Connection established\r\nProxy-agent: Korvanet/1.5.3 \r\n\r\n"
    finally:
        tls.terminate()
        tls.wait()


def test_refusals_reach_the_browser(korvanet, origin):
    srv = start_proxy(korvanet, lists={"Access": ["*<|>900:"], "Users": [f"001<|>bob<|>{digest('bob', 'pw')}<|>"]})
    o = origin()
    url = f"http://127.0.0.1:{o.port}/x"
    assert ask(f"GET {url} HTTP/1.0\r\n\r\n".encode()) == ASK_CREDENTIALS
    r = curl("-0", "-x", f"http://127.0.0.1:{PROXY}", "-w", "%{http_code}", "-o", "/dev/null", url)
    assert r.stdout == b"407"
    # A known user outside the rule's members.
    answer = ask(f"GET {url} HTTP/1.0\r\nProxy-Authorization: {basic('bob', 'pw')}\r\n\r\n".encode())
    assert answer == HEAD_403 + (
        b'You (user <font color="#0000ee"><b>bob</b></font>) are not allowed to access<br><B>'
        + b"http://127.0.0.1/x" + b"</B><br>due to Korvanet access configuration rule.<p>"
        b"The reason : <br> You are not in the access list for URL(s) :<br><b>*</b>")
    assert o.requests == []
    # Refusals are access-log entries.
    assert srv.wait_log("http-proxy.log", "bob")
    lines = srv.read_log("http-proxy.log").splitlines()
    assert len(lines) == 3
    assert lines[2].startswith("127.0.0.1 - bob [")
    assert lines[2].endswith('"GET http://127.0.0.1/x" 000 0')


def big_body(size):
    return bytes((i * 7 + i // 251) & 0xFF for i in range(size))


def test_large_body_arrives_whole_and_is_counted(korvanet, origin):
    body = big_body(3 * 1024 * 1024 + 17)
    o = origin(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    srv = start_proxy(korvanet, {"LogAccess": 1})
    answer = ask(f"GET http://127.0.0.1:{o.port}/big HTTP/1.0\r\n\r\n".encode())
    head, _, got = answer.partition(b"\r\n\r\n")
    assert head == b"HTTP/1.0 200 OK\r\nContent-Length: %d" % len(body)
    assert got == body
    assert srv.wait_log("http-proxy.log", f'"GET http://127.0.0.1/big" 200 {len(body)}\r\n')


def test_large_exchange_through_connect_tunnel(korvanet, origin):
    body = big_body(2 * 1024 * 1024 + 3)
    o = origin(b"HTTP/1.0 200 OK\r\n\r\n" + body)
    start_proxy(korvanet)
    upload = big_body(1024 * 1024)[::-1]
    request = (f"POST /up HTTP/1.0\r\nContent-Length: {len(upload)}\r\n\r\n").encode() + upload
    answer = ask(f"CONNECT 127.0.0.1:{o.port} HTTP/1.0\r\n\r\n".encode() + request)
    established = b"HTTP/1.0 200 Connection established\r\nProxy-agent: Korvanet/1.5.3 \r\n\r\n"
    assert answer.startswith(established)
    assert answer[len(established):] == b"HTTP/1.0 200 OK\r\n\r\n" + body
    assert o.requests[0].endswith(upload)


@pytest.mark.parametrize("method,response,expected_body", [
    ("GET", b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", b"hello"),
    ("GET", b"HTTP/1.1 200 OK\r\nContent-Length: 40000\r\n\r\n" + b"z" * 40000, b"z" * 40000),
    ("HEAD", b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", b""),
    ("GET", b"HTTP/1.1 304 Not Modified\r\n\r\n", b""),
])
def test_answer_ends_with_its_body_when_origin_keeps_connection(korvanet, origin, method, response, expected_body):
    # An HTTP/1.1 origin keeps its connection for more requests; the browser
    # must not wait for that to end once the body is through.
    o = origin(response, keep_open=8)
    srv = start_proxy(korvanet, {"LogAccess": 1})
    started = time.monotonic()
    answer = ask(f"{method} http://127.0.0.1:{o.port}/k HTTP/1.1\r\n\r\n".encode(), timeout=20)
    assert time.monotonic() - started < 4
    assert answer.partition(b"\r\n\r\n")[2] == expected_body
    assert srv.wait_log("http-proxy.log", f'"{method} http://127.0.0.1/k" ')


def test_body_that_pauses_after_a_full_block_arrives_whole(korvanet, origin):
    # A body larger than one block that is not stored moves socket to socket;
    # a pause of the origin must not cut it short.
    first, second = b"a" * 20000, b"b" * 20000
    o = origin(lambda path, n: [(0, b"HTTP/1.0 200 OK\r\n\r\n" + first), (1.5, second)])
    srv = start_proxy(korvanet, {"LogAccess": 1})
    answer = ask(f"GET http://127.0.0.1:{o.port}/p HTTP/1.0\r\n\r\n".encode())
    assert answer == b"HTTP/1.0 200 OK\r\n\r\n" + first + second
    assert srv.wait_log("http-proxy.log", f'"GET http://127.0.0.1/p" 200 {len(first) + len(second)}\r\n')
