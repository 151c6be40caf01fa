#!/usr/bin/python3
"""Loopback benchmark: Korvanet's FTP gateway against ftp-proxy, and against
going to the FTP server directly.

Run through bench/run.sh (which runs it in a private network namespace, makes
the scratch directory, passes it in BENCH_TMP and kills every process listed
in BENCH_TMP/pids when it exits). The FTP server is pyftpdlib with sendfile
on; the client is curl for the bulk transfers and ftplib for the login
times. Every measurement is bounded: curl has --max-time, every socket a
time-out, every loop a count.
"""
import ftplib
import os
import socket
import statistics
import subprocess
import sys
import time

import bench
from bench import HOST, log

BIG_BYTES = 100 * 1024 * 1024
SMALL_BYTES = 1024
ROUNDS = int(os.environ.get("BENCH_FTP_ROUNDS", "3"))
LOGINS = int(os.environ.get("BENCH_FTP_LOGINS", "50"))
CURL_MAX_TIME_S = 60
IO_TIMEOUT_S = 10
GATEWAY_PORT_LOW, GATEWAY_PORT_HIGH = 9000, 9999   # Korvanet's FTPPort stops at 10000
USER, PASSWORD = "bench", "pw"
MODES = ("passive", "active")
COLUMNS = ("direct", "ftp-proxy", "korvanet")

notes = bench.notes

PYFTPD = """\
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
authorizer = DummyAuthorizer()
authorizer.add_user(sys.argv[3], sys.argv[4], sys.argv[2], perm="elr")
handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "use_sendfile": True})
FTPServer((sys.argv[1], int(sys.argv[5])), handler).serve_forever()
"""


# ------------------------------------------------------------------- servers

def start_pyftpd(port):
    root = os.path.join(bench.TMP, "ftproot")
    os.makedirs(root, exist_ok=True)
    block = os.urandom(1024 * 1024)
    with open(os.path.join(root, "big"), "wb") as f:
        for _ in range(BIG_BYTES // len(block)):
            f.write(block)
    with open(os.path.join(root, "small"), "wb") as f:
        f.write(block[:SMALL_BYTES])
    script = os.path.join(bench.TMP, "pyftpd.py")
    bench.write(script, PYFTPD)
    return bench.start_server("pyftpdlib", [sys.executable, script, HOST, root, USER, PASSWORD, str(port)])


def start_ftp_proxy(port):
    d = os.path.join(bench.TMP, "ftp-proxy")
    os.makedirs(d, exist_ok=True)
    conf = os.path.join(d, "ftp-proxy.conf")
    bench.write(conf, """\
[-Global-]
Listen              {host}
Port                {port}
ServerType          standalone
AllowMagicUser      yes
ForkLimit           100000
PidFile             {d}/ftp-proxy.pid
LogDestination      {d}/ftp-proxy.log
""".format(host=HOST, port=port, d=d))
    return bench.start_server("ftp-proxy", ["ftp-proxy", "-d", "-n", "-f", conf])


def start_korvanet(gateway_port, proxy_port, admin_port):
    if not os.access(bench.KORVANET_BIN, os.X_OK):
        notes.append("korvanet: %s not found (run make all)" % bench.KORVANET_BIN)
        return None
    d = os.path.join(bench.TMP, "korvanet-ftp")
    os.makedirs(d, exist_ok=True)
    reg = os.path.join(d, "registry.reg")
    bench.write(reg, bench.registry_text({"ProxyPort": proxy_port, "AdminPort": admin_port, "FTP": 1,
                                          "FTPPort": gateway_port, "EnableCache": 0, "LogAccess": 0,
                                          "CacheDir": d + "/cache"}))
    env = dict(bench.CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=d + "/")
    return bench.start_server("korvanet-ftp", [bench.KORVANET_BIN], env=env, cwd=d)


def low_port(taken):
    for port in range(GATEWAY_PORT_LOW, GATEWAY_PORT_HIGH):
        if port in taken:
            continue
        s = socket.socket()
        try:
            s.bind((HOST, port))
        except OSError:
            continue
        finally:
            s.close()
        return port
    raise RuntimeError("no free port below 10000")


# ------------------------------------------------------------- measurements

def login_name(column, server_port):
    """The user the client logs in as, and so where it goes."""
    if column == "direct":
        return USER
    return "%s@%s:%d" % (USER, HOST, server_port)


def curl_big_mbs(column, port, server_port, mode):
    """MB/s of one RETR of the big file, or None."""
    user = login_name(column, server_port).replace("@", "%40").replace(":", "%3A")
    argv = ["curl", "-s", "-o", "/dev/null", "--max-time", str(CURL_MAX_TIME_S),
            "-w", "%{size_download} %{speed_download}"]
    if mode == "active":
        argv += ["-P", "-"]
    argv.append("ftp://%s:%s@%s:%d/big" % (user, PASSWORD, HOST, port))
    try:
        r = subprocess.run(argv, capture_output=True, text=True, env=bench.CLEAN_ENV, timeout=CURL_MAX_TIME_S + 10)
    except subprocess.TimeoutExpired:
        return None
    parts = r.stdout.split()
    if r.returncode != 0 or len(parts) != 2 or int(parts[0]) != BIG_BYTES:
        notes.append("%s %s: curl exit %d, %s" % (column, mode, r.returncode, r.stdout.strip() or r.stderr.strip()))
        return None
    return float(parts[1]) / 1e6


def login_ms(column, port, server_port):
    """Median time of a fresh session: greeting, login, RETR of 1 KiB
    (passive), QUIT; or None."""
    times = []
    for _ in range(LOGINS):
        t0 = time.perf_counter()
        try:
            ftp = ftplib.FTP(timeout=IO_TIMEOUT_S)
            ftp.connect(HOST, port)
            ftp.login(login_name(column, server_port), PASSWORD)
            got = []
            ftp.retrbinary("RETR small", got.append)
            ftp.quit()
        except (OSError, ftplib.Error) as e:
            notes.append("%s login: %s" % (column, e))
            return None
        if sum(len(g) for g in got) != SMALL_BYTES:
            notes.append("%s login: short 1 KiB file" % column)
            return None
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1000.0


# ------------------------------------------------------------------- report

def cell(v, fmt):
    return "n/a" if v is None else fmt % v


def render(res):
    rows = [("RETR 100 MiB passive, MB/s", "big-passive", "%.0f"),
            ("RETR 100 MiB active, MB/s", "big-active", "%.0f"),
            ("session (login, 1 KiB, QUIT), ms", "login", "%.2f")]
    width = max(len(r[0]) for r in rows) + 2
    out = ["%-*s" % (width, "") + "".join("%12s" % c for c in COLUMNS)]
    for label, key, fmt in rows:
        out.append("%-*s" % (width, label) + "".join("%12s" % cell(res[c].get(key), fmt) for c in COLUMNS))
    return "\n".join(out)


def goals(res):
    k, d, p = res["korvanet"], res["direct"], res["ftp-proxy"]
    lines = []

    def line(text, value, ok):
        lines.append("  %-58s %-18s %s" % (text, value, "n/a" if ok is None else ("met" if ok else "MISSED")))

    for mode in MODES:
        key = "big-" + mode
        kv, dv, pv = k.get(key), d.get(key), p.get(key)
        ratio = kv / dv if kv and dv else None
        line("RETR 100 MiB %s: at least 0.7 of direct" % mode, cell(ratio, "%.2f"),
             None if ratio is None else ratio >= 0.7)
        ratio = kv / pv if kv and pv else None
        line("RETR 100 MiB %s: at least 1.3 times ftp-proxy" % mode, cell(ratio, "%.2f x"),
             None if ratio is None else ratio >= 1.3)
    kl, pl = k.get("login"), p.get("login")
    line("session time no worse than ftp-proxy's", cell(kl and pl and kl / pl, "%.2f x"),
         None if not (kl and pl) else kl <= pl)
    return "\n".join(lines)


def main():
    if not bench.TMP:
        print("run through bench/run.sh", file=sys.stderr)
        return 2
    started = time.monotonic()
    server_port, proxy_port, admin_port, peer_port = bench.free_ports(4)
    gateway_port = low_port({server_port, proxy_port, admin_port, peer_port})
    res = {c: {} for c in COLUMNS}
    servers = {}
    try:
        origin = start_pyftpd(server_port)
        if not bench.wait_port(origin, server_port):
            print("pyftpdlib did not start: " + bench.output_tail("pyftpdlib"), file=sys.stderr)
            return 1
        ports = {"direct": server_port, "ftp-proxy": peer_port, "korvanet": gateway_port}
        peer = start_ftp_proxy(peer_port)
        if bench.wait_port(peer, peer_port):
            servers["ftp-proxy"] = peer
        else:
            notes.append("ftp-proxy did not start: " + bench.output_tail("ftp-proxy"))
        ours = start_korvanet(gateway_port, proxy_port, admin_port)
        if ours and bench.wait_port(ours, gateway_port):
            servers["korvanet"] = ours
        elif ours:
            notes.append("korvanet did not start: " + bench.output_tail("korvanet-ftp"))
        live = ["direct"] + [c for c in COLUMNS[1:] if c in servers]
        for r in range(ROUNDS):
            log("FTP round %d of %d" % (r + 1, ROUNDS))
            # The columns in turns, so load from elsewhere falls on all alike.
            for mode in MODES:
                for c in live:
                    v = curl_big_mbs(c, ports[c], server_port, mode)
                    if v is not None:
                        res[c]["big-" + mode] = max(res[c].get("big-" + mode, 0), v)
        for c in live:
            res[c]["login"] = login_ms(c, ports[c], server_port)
    finally:
        for s in servers.values():
            bench.stop_server(s)
        bench.stop_server(locals().get("origin"))
    print()
    print("FTP gateway: curl RETR of 100 MiB (best of %d rounds), ftplib sessions (median of %d),"
          " pyftpdlib origin with sendfile" % (ROUNDS, LOGINS))
    print(render(res))
    print()
    print("Goals for korvanet (FTP gateway):")
    print(goals(res))
    if notes:
        print()
        print("Notes:")
        for n in dict.fromkeys(notes):
            print("  - " + n)
    print()
    print("took %.0f s on %d cores" % (time.monotonic() - started, os.cpu_count()))
    return 0


if __name__ == "__main__":
    import signal
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
