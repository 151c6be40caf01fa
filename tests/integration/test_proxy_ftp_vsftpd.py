"""ftp:// through the proxy from vsftpd: a file (passive, and active when the
server refuses PASV) and a directory page, byte for byte against what vsftpd
sends a plain FTP client. vsftpd runs as the launching user from a config
file in the test's directory, so it serves the real file system without a
chroot: its login directory is the tree and the URLs name the tree's
absolute path."""
import ftplib
import os
import socket
import subprocess
import time

import pytest

from clients import proxy_get
from ftp_pages import ADMIN, GENERATED, PROXY, entry
from ftp_peers import VSFTPD_CONFIG

VSFTPD = "/usr/sbin/vsftpd"

pytestmark = pytest.mark.skipif(not os.access(VSFTPD, os.X_OK), reason="vsftpd is not installed")


# name: (bytes, icon, type text on the page)
BLOB = bytes(range(256)) * 300
FILES = {
    "a.html": (b"<p>x</p>" * 300, "text", "Hypertext File"),
    "b c.txt": (b"blank name", "text", "Text"),
    "pack.zip": (b"PK" + b"z" * 5000, "binary", "Zip Compressed Data"),
}


@pytest.fixture
def vsftpd(tmp_path):
    """start(pasv=True) -> (port, tree); the tree holds blob.bin, FILES
    under docs/ and an empty docs/inner; every server is stopped at the end."""
    tree = tmp_path / "tree"
    (tree / "docs" / "inner").mkdir(parents=True)
    (tree / "blob.bin").write_bytes(BLOB)
    for name, (data, _, _) in FILES.items():
        (tree / "docs" / name).write_bytes(data)
    procs = []

    def start(pasv=True):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        conf = tmp_path / f"vsftpd{len(procs)}.conf"
        conf.write_text(VSFTPD_CONFIG.format(port=port, root=tree, home=tmp_path, pasv="YES" if pasv else "NO"))
        proc = subprocess.Popen([VSFTPD, str(conf)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        procs.append(proc)
        deadline = time.monotonic() + 5
        while True:
            assert proc.poll() is None, "vsftpd exited"
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline, "vsftpd does not listen"
                time.sleep(0.05)
        return port, tree

    yield start
    for proc in procs:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


def direct(port, pasv, fn):
    client = ftplib.FTP()
    client.connect("127.0.0.1", port, timeout=10)
    try:
        client.login()
        client.set_pasv(pasv)
        return fn(client)
    finally:
        client.quit()


def page_line(dir_path, line):
    """The page line of one of vsftpd's own LIST lines."""
    f = line.split(None, 8)
    size, month, day, when, name = int(f[4]), f[5], f[6], f[7], f[8]
    href = dir_path + "/" + name.replace(" ", "%20")
    if f[0].startswith("d"):
        return entry(href, "dir", name, " Directory %3s %2s %5s\r\n" % (month, day, when))
    text = "%4d bytes" % size if size < 1024 else "%4d kB" % (size // 1024)
    _, icon, kind = FILES[name]
    return entry(href, icon, name, "%10s %3s %2s %5s %s\r\n" % (text, month, day, when, kind))


@pytest.mark.parametrize("pasv", [True, False], ids=["passive", "pasv-refused"])
def test_vsftpd_file_and_listing_byte_exact(korvanet, vsftpd, pasv):
    korvanet({"ProxyPort": PROXY, "AdminPort": ADMIN, "EnableCache": 0, "Timeout": 5})
    port, tree = vsftpd(pasv)
    docs = f"{tree}/docs"

    sent = []
    direct(port, pasv, lambda c: c.retrbinary(f"RETR {tree}/blob.bin", sent.append))
    assert b"".join(sent) == BLOB
    got = proxy_get(PROXY, f"ftp://127.0.0.1:{port}{tree}/blob.bin", timeout=15)
    assert got == (b"HTTP/1.0 200 \r\nContent-Length: %d\r\nContent-Type: application/macbinary\r\n\r\n"
                   % len(BLOB) + BLOB)

    lines = []
    direct(port, pasv, lambda c: c.retrlines(f"LIST {docs}", lines.append))
    assert len(lines) == len(FILES) + 1
    page = proxy_get(PROXY, f"ftp://127.0.0.1:{port}{docs}", timeout=15)
    assert page.startswith(b"HTTP/1.0 200 \r\nContent-Type: text/html\r\n\r\n<HEAD>\r\n<TITLE>Directory: " +
                           docs.encode() + b"</TITLE>")
    body = page.split(b"<B>To the upper directory</B></A>\r\n<PRE>", 1)[1]
    assert body == b"".join(page_line(docs, l) for l in lines) + GENERATED + b"\r\n</body>"
