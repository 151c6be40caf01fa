"""A second network namespace behind a veth pair, inside the test's own
namespace, for peers that must not live on this side: an upstream on a port
the server itself holds on every interface (DNS 53, for one).

    with Netns() as ns:             # here 10.53.0.1/24, there 10.53.0.2/24
        proc = ns.popen([...])      # runs inside the second namespace
        ns.run([...])

The namespace is held by a child process that only sleeps; ending it (by its
pid) removes the namespace and the veth pair with it."""
import os
import socket
import subprocess
import time


def _ip(*args, prefix=()):
    subprocess.run([*prefix, "ip", *args], check=True, capture_output=True)


class Netns:
    def __init__(self, here="10.53.0.1", there="10.53.0.2", prefix_len=24, name="kvns", extra=()):
        """extra: further addresses on the far side, each reached from here
        by a host route, so several peers can hold the same port there."""
        self.here, self.there, self.prefix_len = here, there, prefix_len
        self.extra = tuple(extra)
        self.link_here, self.link_there = f"{name}0", f"{name}1"
        self.holder = None
        self.children = []

    def __enter__(self):
        mine = os.readlink("/proc/self/ns/net")
        self.holder = subprocess.Popen(["unshare", "--net", "sleep", "3600"])
        path = f"/proc/{self.holder.pid}/ns/net"
        deadline = time.monotonic() + 5
        while os.readlink(path) == mine:  # unshare has not switched yet
            if time.monotonic() > deadline:
                raise RuntimeError("second namespace did not come up")
            time.sleep(0.005)
        self.enter = ["nsenter", f"--net={path}"]
        _ip("link", "add", self.link_here, "type", "veth", "peer", "name", self.link_there)
        _ip("link", "set", self.link_there, "netns", str(self.holder.pid))
        _ip("addr", "add", f"{self.here}/{self.prefix_len}", "dev", self.link_here)
        _ip("link", "set", self.link_here, "up")
        _ip("link", "set", "lo", "up", prefix=self.enter)
        _ip("addr", "add", f"{self.there}/{self.prefix_len}", "dev", self.link_there, prefix=self.enter)
        _ip("link", "set", self.link_there, "up", prefix=self.enter)
        _ip("route", "add", "default", "via", self.here, prefix=self.enter)
        for address in self.extra:
            _ip("addr", "add", f"{address}/32", "dev", self.link_there, prefix=self.enter)
            _ip("route", "add", f"{address}/32", "dev", self.link_here, "src", self.here)
        return self

    def wait_answered(self, address, port, timeout=5):
        """Waits until a connect across the link gets an answer (a refusal
        counts), so the first test connection doesn't meet a link still
        coming up."""
        deadline = time.monotonic() + timeout
        while True:
            s = socket.socket()
            s.settimeout(0.2)
            try:
                s.connect((address, port))
                return
            except ConnectionRefusedError:
                return
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"no answer from {address} across the link")
                time.sleep(0.05)
            finally:
                s.close()

    def run(self, argv, **kw):
        return subprocess.run([*self.enter, *argv], **kw)

    def popen(self, argv, **kw):
        proc = subprocess.Popen([*self.enter, *argv], **kw)
        self.children.append(proc)
        return proc

    def __exit__(self, *exc):
        for proc in self.children:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        if self.holder and self.holder.poll() is None:
            self.holder.kill()
            self.holder.wait()
        # The veth end here goes with its peer; remove it if the kernel was slow.
        subprocess.run(["ip", "link", "del", self.link_here], capture_output=True)
        return False
