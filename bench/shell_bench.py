#!/usr/bin/python3
"""Start and stop of the whole program: Korvanet against tinyproxy, both
started the same way (in the foreground, from a config of their own in the
scratch directory, in a session of their own).

- start: from just before the exec to the proxy port accepting a connection;
  for Korvanet in service mode also to READY=1 on a notification socket this
  script binds (as the service manager does);
- stop: from SIGTERM to the process's exit, with 50 idle client connections
  open on the proxy port;
- idle: CPU time and threads of a Korvanet left idle for 60 s (its once-a-
  second look at the connection count must cost nothing measurable).

Run through bench/run.sh (scratch directory in BENCH_TMP, every server's pid
in BENCH_TMP/pids). Loopback only; every loop is bounded.
"""
import os
import select
import signal
import socket
import statistics
import sys
import time

from bench import (CLEAN_ENV, CLK_TCK, HOST, KORVANET_BIN, TMP, cpu_ticks, free_ports, goal_line, log,
                   start_server, start_tinyproxy, stop_server, write)

ROUNDS = int(os.environ.get("BENCH_SHELL_ROUNDS", "21"))
IDLE_CONNECTIONS = 50
IDLE_S = int(os.environ.get("BENCH_SHELL_IDLE_S", "60"))
START_LIMIT_S = 10
STOP_LIMIT_S = 10
POLL_S = 0.0005
SETTLE_S = 0.3

REGISTRY = """\
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet]
"ProxyPort"=dword:{port:08x}
"AdminPort"=dword:{admin:08x}
"EnableCache"=dword:00000000
"LogAccess"=dword:00000000
"CacheDir"="{d}/cache"
"LogsDir"="{d}/logs"
"MailDir"="{d}/mail"
"""


def start_korvanet(port, admin, service=False, notify_path=None):
    name = "shell-korvanet-service" if service else "shell-korvanet"
    d = os.path.join(TMP, name)
    os.makedirs(d, exist_ok=True)
    reg = os.path.join(d, "registry.reg")
    if not os.path.exists(reg):
        write(reg, REGISTRY.format(port=port, admin=admin, d=d))
    env = dict(CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=d + "/")
    argv = [KORVANET_BIN]
    if service:
        argv.append("--service")
        if notify_path:
            env["NOTIFY_SOCKET"] = notify_path
    return start_server(name, argv, env=env, cwd=d)


def accepts(port):
    try:
        with socket.create_connection((HOST, port), timeout=0.5):
            return True
    except OSError:
        return False


def time_to_port(server, port, began, notify=None):
    """(seconds from began until port accepts, until READY=1 came on the
    notification socket); None for what did not come."""
    deadline = began + START_LIMIT_S
    up = ready = None
    while time.monotonic() < deadline and (up is None or (notify is not None and ready is None)):
        if notify is not None and ready is None:
            try:
                if notify.recv(4096, socket.MSG_DONTWAIT).startswith(b"READY=1"):
                    ready = time.monotonic() - began
            except BlockingIOError:
                pass
        if up is None and accepts(port):
            up = time.monotonic() - began
        if server.proc.poll() is not None:
            break
        time.sleep(POLL_S)
    return up, ready


def time_to_stop(server):
    """Seconds from SIGTERM to the exit, seen on a process descriptor (a
    wait with a time limit polls, and its steps would be what is measured)."""
    try:
        fd = os.pidfd_open(server.pid)
    except OSError:
        return None
    try:
        began = time.monotonic()
        os.kill(server.pid, signal.SIGTERM)
        ready, _, _ = select.select([fd], [], [], STOP_LIMIT_S)
        ended = time.monotonic()
    except ProcessLookupError:
        return None
    finally:
        os.close(fd)
    if not ready:
        return None
    server.proc.wait()
    return ended - began


def wait_gone(port):
    """The port is free again (the previous run has let it go)."""
    deadline = time.monotonic() + START_LIMIT_S
    while time.monotonic() < deadline and accepts(port):
        time.sleep(0.01)


def open_idle(port, count):
    conns = []
    for _ in range(count):
        try:
            conns.append(socket.create_connection((HOST, port), timeout=5))
        except OSError as e:
            log(f"idle connection: {e}")
            break
    time.sleep(SETTLE_S)  # every connection accepted and waiting for its request
    return conns


def one_round(name, start, port, notify=None):
    """(start s, ready s or None, stop s) of one start and stop."""
    wait_gone(port)
    began = time.monotonic()
    server = start()
    if server is None:
        return None
    up, ready = time_to_port(server, port, began, notify)
    if up is None:
        log(f"{name} did not start")
        stop_server(server)
        return None
    conns = open_idle(port, IDLE_CONNECTIONS)
    down = time_to_stop(server)
    for c in conns:
        c.close()
    stop_server(server)
    if notify is not None:  # what the stop sent, before the next round
        try:
            while notify.recv(4096, socket.MSG_DONTWAIT):
                pass
        except BlockingIOError:
            pass
    return up, ready, down


def listens(port):
    """A socket listens on the port (from /proc/net/tcp): looking makes no
    connection, so no connection thread starts and parks."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False


def idle_cost(port, admin):
    """(CPU % over IDLE_S, threads at the start, threads at the end) of a
    server that has had no connection."""
    server = start_korvanet(port, admin)
    deadline = time.monotonic() + START_LIMIT_S
    while not listens(port) and server.proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    if not listens(port):
        stop_server(server)
        return None
    time.sleep(2)  # past the start-up work
    threads_before = len(os.listdir(f"/proc/{server.pid}/task"))
    ticks = cpu_ticks(server.pid)
    began = time.monotonic()
    time.sleep(IDLE_S)
    used = (cpu_ticks(server.pid) - ticks) / CLK_TCK
    spent = time.monotonic() - began
    threads_after = len(os.listdir(f"/proc/{server.pid}/task"))
    stop_server(server)
    return 100.0 * used / spent, threads_before, threads_after


def median_ms(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) * 1000 if values else None


def cell(v, fmt="%10.1f"):
    return fmt % v if v is not None else "%10s" % "n/a"


def main():
    if not TMP:
        print("run through bench/run.sh", file=sys.stderr)
        return 2
    if not os.access(KORVANET_BIN, os.X_OK):
        print(f"korvanet: {KORVANET_BIN} not found (run make all)", file=sys.stderr)
        return 1
    kv_port, kv_admin, tiny_port, svc_port, svc_admin = free_ports(5)
    notify_path = os.path.join(TMP, "shell-notify")
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)
    columns = {
        "tinyproxy": (lambda: start_tinyproxy(tiny_port, ()), tiny_port, None),
        "korvanet": (lambda: start_korvanet(kv_port, kv_admin), kv_port, None),
        "korvanet --service": (lambda: start_korvanet(svc_port, svc_admin, True, notify_path), svc_port, notify),
    }
    runs = {name: [] for name in columns}
    # Rounds in turns, so that a slow moment of the machine falls on all columns.
    for i in range(ROUNDS):
        for name, (start, port, sock) in columns.items():
            r = one_round(name, start, port, sock)
            if r:
                runs[name].append(r)
        log(f"round {i + 1} of {ROUNDS}")
    notify.close()
    res = {name: (median_ms([r[0] for r in rs]), median_ms([r[1] for r in rs]), median_ms([r[2] for r in rs]))
           for name, rs in runs.items()}
    idle = idle_cost(kv_port, kv_admin)

    print()
    print(f"start and stop, median of {ROUNDS} rounds (ms); stop with {IDLE_CONNECTIONS} idle connections open")
    print("%-20s%12s%12s%12s" % ("", "to port", "to READY=1", "stop"))
    for name, (up, ready, down) in res.items():
        print("%-20s%12s%12s%12s" % (name, cell(up), cell(ready), cell(down)))
    if idle:
        print(f"korvanet idle {IDLE_S} s: {idle[0]:.3f} % CPU, threads {idle[1]} then {idle[2]}")
    print()
    tiny_up, _, tiny_down = res["tinyproxy"]
    for name in ("korvanet", "korvanet --service"):
        up, ready, down = res[name]
        first = ready if ready is not None else up
        print(goal_line(f"{name}: start within 1.2x of tinyproxy and under 100 ms",
                        None if first is None else f"{first:.1f} ms, tinyproxy {cell(tiny_up, '%.1f')} ms",
                        None if first is None or tiny_up is None else first <= 1.2 * tiny_up and first < 100))
        print(goal_line(f"{name}: stop under 500 ms and no slower than tinyproxy",
                        None if down is None else f"{down:.1f} ms, tinyproxy {cell(tiny_down, '%.1f')} ms",
                        None if down is None or tiny_down is None else down < 500 and down <= tiny_down))
    print(goal_line(f"korvanet idle under 0.1 % CPU over {IDLE_S} s, threads unchanged",
                    None if not idle else f"{idle[0]:.3f} %, threads {idle[1]} then {idle[2]}",
                    None if not idle else idle[0] < 0.1 and idle[1] == idle[2]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
