"""A scripted DNS server for black-box tests, run as a program (often inside
a second network namespace): answers every A query with an address made from
the query's name, records each query it receives, one hex line per datagram,
in LOG, and with --hold N keeps its answers until N queries have come or the
file RELEASE exists.

    python3 dns_upstream.py ADDRESS PORT LOG [--hold N] [--release PATH]
                            [--twice] [--query-to HOST:PORT]

Imported, it gives the answers it makes (answer_for, address_for) and
Upstream, which runs it in a second namespace (netns.Netns) on port 53."""
import argparse
import hashlib
import os
import socket
import struct
import sys
import time
from pathlib import Path


def address_for(name):
    """The A record's address for a name: 10.x.y.z from its digest."""
    d = hashlib.md5(name).digest()
    return bytes([10, d[0], d[1], d[2]])


def question_end(msg):
    p = 12
    while msg[p]:
        p += 1 + msg[p]
    return p + 5


def answer_for(query):
    """The answer a plain server gives: the question, then one A record whose
    name is a pointer to it."""
    end = question_end(query)
    name = query[12:end - 4]
    head = query[:2] + b"\x81\x80" + b"\x00\x01\x00\x01\x00\x00\x00\x00"
    return head + query[12:end] + b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x0e\x10\x00\x04" + address_for(name)


class Upstream:
    """This program inside the second namespace ns, on its far address, port 53;
    its log and release file live in folder."""

    def __init__(self, ns, folder, *args):
        self.log = folder / "upstream.log"
        self.release_path = folder / "release"
        self.proc = ns.popen(["python3", str(Path(__file__).resolve()), ns.there, "53", str(self.log),
                              "--release", str(self.release_path), *args])
        deadline = time.monotonic() + 5
        while not (self.log.exists() and "ready" in self.log.read_text()):
            assert time.monotonic() < deadline, "upstream did not start"
            time.sleep(0.02)

    def queries(self):
        lines = [ln for ln in self.log.read_text().splitlines() if ln != "ready"]
        return [(peer, bytes.fromhex(h)) for peer, h in (ln.split() for ln in lines)]

    def wait_queries(self, n, timeout=5):
        deadline = time.monotonic() + timeout
        while len(self.queries()) < n and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.queries()

    def release(self):
        self.release_path.write_text("go")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("address")
    ap.add_argument("port", type=int)
    ap.add_argument("log")
    ap.add_argument("--hold", type=int, default=1)
    ap.add_argument("--release", default="")
    ap.add_argument("--twice", action="store_true")
    ap.add_argument("--query-to", default="")
    a = ap.parse_args()
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((a.address, a.port))
    s.settimeout(0.01)
    log = open(a.log, "a", buffering=1)
    log.write("ready\n")
    if a.query_to:
        host, port = a.query_to.rsplit(":", 1)
        q = struct.pack(">HHHHHH", 0x5151, 0x0100, 1, 0, 0, 0) + b"\x04loop\x04test\x00\x00\x01\x00\x01"
        s.sendto(q, (host, int(port)))
    held = []
    while True:
        try:
            msg, peer = s.recvfrom(65536)
            log.write(f"{peer[0]}:{peer[1]} {msg.hex()}\n")
            if len(msg) >= 12 and not msg[2] & 0x80:
                try:
                    held.append((answer_for(msg), peer))
                except IndexError:
                    pass
        except socket.timeout:
            pass
        if held and (len(held) >= a.hold or (a.release and os.path.exists(a.release))):
            for reply, peer in held:
                s.sendto(reply, peer)
                if a.twice:
                    s.sendto(reply, peer)
            held = []


if __name__ == "__main__":
    sys.exit(main())
