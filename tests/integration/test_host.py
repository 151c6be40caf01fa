"""The service host seen from outside: listeners, accept checks, task slots,
fault isolation and shutdown."""
import re
import socket
import subprocess
import time

import pytest

import clients
from harness import THREAD_SANITIZER

# Faults on purpose and address-sanitizer reports need the address-sanitized build.
needs_fault_guard = pytest.mark.skipif(THREAD_SANITIZER, reason="the thread sanitizer takes the fault signals")

ECHO1, ECHO2, FAULT, PROXY = 7001, 7002, 7003, 7128


def connect(port, source="127.0.0.1", host="127.0.0.1"):
    return clients.connect(port, host, source, timeout=5)


def echo(s, text="hi"):
    s.sendall(text.encode() + b"\n")
    data = b""
    while not data.endswith(b"\n"):
        chunk = s.recv(100)
        if not chunk:
            break
        data += chunk
    return data.decode()


def closed_without_reply(s):
    try:
        return s.recv(10) == b""
    except ConnectionResetError:
        return True


def echo_server(korvanet, settings=None, **kw):
    env = {"KORVANET_TEST_ECHO_PORTS": f"{ECHO1},{ECHO2}", "KORVANET_TEST_FAULT_PORT": str(FAULT)}
    env.update(kw.pop("env", {}))
    base = {"ProxyPort": PROXY}
    base.update(settings or {})
    return korvanet(base, env=env, **kw)


def test_two_services_accept_in_parallel(korvanet):
    echo_server(korvanet)
    a = connect(ECHO1)
    b = connect(ECHO2)
    assert echo(b, "second") == "second\n"
    assert echo(a, "first") == "first\n"
    a.close()
    b.close()


def test_port_in_use_is_logged_and_other_rows_serve(korvanet):
    taken = socket.socket()
    taken.bind(("0.0.0.0", ECHO2))
    taken.listen(1)
    try:
        srv = echo_server(korvanet)
        log = srv.read_log("error.log")
        assert re.search(r"Error 1102 severity 3 syscode 10048 \[[^\]]+\]\r\nthe port number 7002 is already in use\r\n", log), log
        assert re.search(r"Error 3402 severity 4 syscode 0 \[[^\]]+\]\r\ncan't start ECHO TEST\.\r\n", log), log
        s = connect(ECHO1)
        assert echo(s) == "hi\n"
        s.close()
    finally:
        taken.close()


@pytest.mark.parametrize("log_security", [0, 1])
def test_client_outside_allowed_list_is_closed(korvanet, log_security):
    srv = echo_server(korvanet, {"LogSecurity": log_security}, lists={"IP": ["10.0.0.0/8"]})
    s = connect(ECHO1, source="127.0.0.2")
    assert closed_without_reply(s)
    s.close()
    ok = connect(ECHO1)  # 127.0.0.1 always passes
    assert echo(ok) == "hi\n"
    ok.close()
    expected = 'Host "127.0.0.2" tried to access Korvanet on port 7001\r\n'
    if log_security:
        assert srv.wait_log("security.log", expected)
        assert re.fullmatch(r"\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] " + re.escape(expected),
                            srv.read_log("security.log"))
    else:
        time.sleep(0.2)
        assert not srv.log_path("security.log").exists()


def test_insecure_interface_is_dropped_and_logged(korvanet):
    subprocess.run(["ip", "addr", "add", "10.77.0.1/32", "dev", "lo"], check=False,
                   stderr=subprocess.DEVNULL)
    srv = echo_server(korvanet, {"LogSecurity": 1, "SecureInterface": "10.1.1.1"})
    s = connect(ECHO1, source="10.77.0.1", host="10.77.0.1")
    assert closed_without_reply(s)
    s.close()
    ok = connect(ECHO1)  # the loopback interface always counts as secure
    assert echo(ok) == "hi\n"
    ok.close()
    assert srv.wait_log("security.log",
                        'Host "10.77.0.1" tried to access Korvanet on port 7001 via insecure interface "10.77.0.1"\r\n')


def test_121st_connection_waits_for_a_free_slot(korvanet):
    echo_server(korvanet)
    held = []
    try:
        for i in range(120):
            s = connect(ECHO1 if i % 2 else ECHO2)
            held.append(s)
        for s in held:
            assert echo(s) == "hi\n"
        extra = connect(ECHO1)
        extra.sendall(b"waiting\n")
        extra.settimeout(1.0)
        with pytest.raises(socket.timeout):
            extra.recv(10)
        held.pop().close()
        extra.settimeout(6)
        data = b""
        while not data.endswith(b"\n"):
            data += extra.recv(100)
        assert data == b"waiting\n"
        extra.close()
    finally:
        for s in held:
            s.close()


def settled_size(path, timeout=5):
    """Size of a file once it has stopped growing for a moment."""
    deadline = time.monotonic() + timeout
    last = -1
    while time.monotonic() < deadline:
        size = path.stat().st_size if path.exists() else 0
        if size == last and size > 0:
            return size
        last = size
        time.sleep(0.1)
    return last


@needs_fault_guard
def test_fault_is_logged_dumped_and_server_goes_on(korvanet):
    srv = echo_server(korvanet)
    dump = srv.log_path("dump.bin")
    sizes = []
    for _ in range(2):
        s = connect(FAULT)
        assert closed_without_reply(s)
        s.close()
        sizes.append(settled_size(dump))
    assert sizes[0] > 0 and sizes[1] == 2 * sizes[0]
    log = srv.read_log("error.log")
    entries = re.findall(r"Error 3408 severity 4 syscode 0 \[[^\]]+\]\r\n"
                         r"Service FAULT TEST caused an exception nr\. 3221225477, point 7\r\n", log)
    assert len(entries) == 2, log
    s = connect(ECHO1)
    assert echo(s) == "hi\n"
    s.close()


def test_sigterm_with_hung_connection_ends_quickly_and_logs_nothing_after(korvanet):
    srv = echo_server(korvanet)
    hung = connect(ECHO1)
    assert echo(hung) == "hi\n"
    silent = connect(PROXY)  # half a request, then silence
    silent.sendall(b"GET http://x")
    time.sleep(0.2)
    before = {n: srv.read_log(n) for n in ("error.log", "mail.log")}
    start = time.monotonic()
    assert srv.stop() == 0
    assert time.monotonic() - start < 1.0
    for name, text in before.items():
        assert srv.read_log(name) == text, name
    hung.close()
    silent.close()


def test_second_instance_on_same_registry_refuses(korvanet, tmp_path):
    srv = echo_server(korvanet)
    out = subprocess.run([str(srv.proc.args[0])], env=srv.env, capture_output=True, text=True, timeout=10)
    assert out.returncode != 0
    assert "Korvanet is already running." in out.stdout


@needs_fault_guard
@pytest.mark.parametrize("variable, report", [("KORVANET_TEST_OVERFLOW_PORT", "heap-buffer-overflow"),
                                              ("KORVANET_TEST_LEAK_PORT", "detected memory leaks")])
def test_sanitizer_reports_fail_the_run(korvanet, variable, report):
    port = 7004
    srv = echo_server(korvanet, env={variable: str(port)})
    s = connect(port)
    closed_without_reply(s)
    s.close()
    srv.stop()
    found = srv.take_problems()
    assert any(report in p for p in found), found
    assert any("exited with status" in p for p in found), found


@needs_fault_guard
def test_dump_of_a_fault_keeps_no_password_and_only_its_owner_reads_it(korvanet):
    port = 7005
    srv = echo_server(korvanet, env={"KORVANET_TEST_FAULT_LINE_PORT": str(port)})
    s = connect(port)
    s.sendall(b"PASS hunter2-planted\r\n")
    assert closed_without_reply(s)
    s.close()
    dump = srv.log_path("dump.bin")
    assert settled_size(dump) > 0
    data = dump.read_bytes()
    assert b"PASS " + b"*" * len("hunter2-planted") in data and b"hunter2" not in data
    assert dump.stat().st_mode & 0o777 == 0o600
