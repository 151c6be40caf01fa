#!/usr/bin/python3
"""Loopback benchmark of Korvanet's mail server: SMTP reception with local
delivery and POP3 retrieval, beside OpenSMTPD and dovecot when they are
installed (a peer that is missing or does not start shows "n/a").

Run through bench/run.sh (scratch directory in BENCH_TMP, every server's pid
in BENCH_TMP/pids). All spools and mailboxes live in the scratch directory on
one disk; nobody's sync is turned off. Every load loop is bounded.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

from bench import (CLEAN_ENV, HOST, TMP, KORVANET_BIN, cpu_ticks, free_ports, log, pss_kib, start_server,
                   stop_server, wait_port, write, CLK_TCK)

MESSAGE = b"Subject: bench\r\nFrom: a@b\r\nTo: u@localhost\r\n\r\n" + (b"x" * 70 + b"\r\n") * 13
MESSAGES = int(os.environ.get("BENCH_MAIL_MESSAGES", "2000"))
RETRS = int(os.environ.get("BENCH_MAIL_RETRS", "3000"))
BIG_RETRS = 40
SESSIONS_OPEN = 50
IO_TIMEOUT_S = 10
USER, PASSWORD = "bench", "benchpw"


def digest(name, password):
    import hashlib
    return hashlib.md5(f"{name}:Korvanet:{password}".encode()).hexdigest()


# ------------------------------------------------------------------ clients

def reply(f):
    """One SMTP reply (multi-line included) from a buffered socket file."""
    while True:
        line = f.readline()
        if not line:
            raise OSError("closed")
        if line[3:4] != b"-":
            return line


def smtp_session(port, count, latencies, per_message_connection):
    """count messages, new connection each or one kept session."""
    s = f = None
    for i in range(count):
        start = time.monotonic()
        if s is None:
            s = socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S)
            f = s.makefile("rb")
            reply(f)
            s.sendall(b"HELO bench\r\n")
            reply(f)
        s.sendall(b"MAIL FROM:<a@b>\r\n")
        reply(f)
        s.sendall(f"RCPT TO:<{USER}@localhost>\r\n".encode() if port_is_peer.get(port) else
                  f"RCPT TO:<{USER}>\r\n".encode())
        reply(f)
        s.sendall(b"DATA\r\n")
        reply(f)
        s.sendall(MESSAGE + b".\r\n")
        r = reply(f)
        if not r.startswith(b"250"):
            raise OSError("refused: %r" % r)
        if per_message_connection:
            s.sendall(b"QUIT\r\n")
            reply(f)
            f.close()
            s.close()
            s = None
        latencies.append(time.monotonic() - start)
    if s is not None:
        s.sendall(b"QUIT\r\n")
        f.close()
        s.close()


port_is_peer = {}


def smtp_run(server, port, sessions, per_message_connection):
    latencies, errors = [], []
    each = MESSAGES // sessions

    def run():
        try:
            smtp_session(port, each, latencies, per_message_connection)
        except OSError as e:
            errors.append(e)

    cpu0 = cpu_ticks(server.pid)
    start = time.monotonic()
    threads = [threading.Thread(target=run) for _ in range(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    elapsed = time.monotonic() - start
    cpu = (cpu_ticks(server.pid) - cpu0) / CLK_TCK
    if errors or not latencies:
        return None
    latencies.sort()
    return {"rate": len(latencies) / elapsed, "p99_ms": latencies[int(len(latencies) * 0.99) - 1] * 1000,
            "cpu_us": cpu / len(latencies) * 1e6}


def pop3_retr(port, count, number):
    s = socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S)
    f = s.makefile("rb")
    f.readline()
    s.sendall(f"USER {USER}\r\n".encode())
    f.readline()
    s.sendall(f"PASS {PASSWORD}\r\n".encode())
    if not f.readline().startswith(b"+OK"):
        raise OSError("login refused")
    total = 0
    start = time.monotonic()
    for _ in range(count):
        s.sendall(f"RETR {number}\r\n".encode())
        f.readline()
        while True:
            line = f.readline()
            if not line:
                raise OSError("closed")
            if line == b".\r\n":
                break
            total += len(line)
    elapsed = time.monotonic() - start
    s.sendall(b"QUIT\r\n")
    f.close()
    s.close()
    return count / elapsed, total / elapsed / 1e6


def pss_per_session(server, port, login):
    base = pss_kib(server.pid)
    socks = []
    try:
        for _ in range(SESSIONS_OPEN):
            s = socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S)
            f = s.makefile("rb")
            f.readline()
            if login:
                s.sendall(f"USER {USER}\r\nPASS {PASSWORD}\r\n".encode())
                f.readline()
                f.readline()
            else:
                s.sendall(b"HELO x\r\nMAIL FROM:<a@b>\r\n")
                f.readline()
                f.readline()
            socks.append((s, f))
        time.sleep(0.5)
        return (pss_kib(server.pid) - base) / SESSIONS_OPEN
    finally:
        for s, f in socks:
            f.close()
            s.close()


def fsyncs_per_message(server, port, sessions=1, count=50):
    if not shutil.which("strace"):
        return None
    out = os.path.join(TMP, f"strace-{server.name}.txt")
    tracer = subprocess.Popen(["strace", "-f", "-c", "-e", "trace=fsync,fdatasync", "-o", out, "-p",
                               str(server.pid)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    try:
        smtp_session(port, count, [], False)
    finally:
        tracer.send_signal(signal.SIGINT)
        tracer.wait(10)
    calls = 0
    with open(out) as f:
        for line in f:
            parts = line.split()
            if parts and parts[-1] in ("fsync", "fdatasync"):
                calls += int(parts[3]) if len(parts) >= 5 else 0
    return calls / count


# ------------------------------------------------------------------ servers

def start_korvanet(smtp, pop3):
    home = os.path.join(TMP, "kv-mail")
    os.makedirs(home, exist_ok=True)
    reg = os.path.join(home, "registry.reg")
    key = "HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet"
    values = {"MailType": 1, "SMTPServer": "upstream.invalid", "SmtpServerPort": smtp, "Pop3ServerPort": pop3,
              "ProxyPort": 0, "AdminPort": free_ports(1)[0], "HighPriorityMail": 0}
    lines = ["Windows Registry Editor Version 5.00", "", f"[{key}]"]
    for k, v in values.items():
        lines.append(f'"{k}"=dword:{v:08x}' if isinstance(v, int) else f'"{k}"="{v}"')
    for k, v in (("LogsDir", home + "/logs"), ("MailDir", home + "/mail"), ("CacheDir", home + "/cache")):
        lines.append(f'"{k}"="{v}"')
    lines += ["", f"[{key}\\Users]", f'"1"="000<|>{USER}<|>{digest(USER, PASSWORD)}<|><|>"']
    write(reg, "\n".join(lines) + "\n")
    env = dict(CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=home + "/")
    server = start_server("korvanet-mail", [KORVANET_BIN], env=env)
    if not (wait_port(server, smtp) and wait_port(server, pop3)):
        stop_server(server)
        return None, None
    return server, os.path.join(home, "mail", USER)


def start_opensmtpd(smtp):
    smtpd = shutil.which("smtpd") or "/usr/sbin/smtpd"
    if not os.path.exists(smtpd) or not shutil.which("unshare"):
        return None, None
    root = os.path.join(TMP, "smtpd")
    queue, maildir = os.path.join(root, "queue"), os.path.join(root, "Maildir")
    os.makedirs(queue, exist_ok=True)
    os.chmod(queue, 0o711)
    os.makedirs(maildir, exist_ok=True)
    conf = os.path.join(root, "smtpd.conf")
    write(conf, f"listen on {HOST} port {smtp}\nsmtp limit max-mails 100000\n"
                f"action local maildir \"{maildir}\" user root\n"
                f"match from local for any action local\n")
    script = (f"mount --bind {queue} /var/spool/smtpd 2>/dev/null || {{ mkdir -p /var/spool/smtpd && "
              f"mount --bind {queue} /var/spool/smtpd; }}; mount -t tmpfs tmpfs /run && exec {smtpd} -d -f {conf}")
    server = start_server("opensmtpd", ["unshare", "--mount", "sh", "-c", script])
    port_is_peer[smtp] = True
    if not wait_port(server, smtp):
        log("opensmtpd did not start: see " + os.path.join(TMP, "opensmtpd.out"))
        stop_server(server)
        return None, None
    return server, maildir


def start_dovecot(pop3, mail_root):
    dovecot = shutil.which("dovecot") or "/usr/sbin/dovecot"
    if not os.path.exists(dovecot):
        return None
    root = os.path.join(TMP, "dovecot")
    os.makedirs(root, exist_ok=True)
    conf = os.path.join(root, "dovecot.conf")
    write(conf, f"""protocols = pop3
listen = {HOST}
base_dir = {root}/run
state_dir = {root}/state
log_path = {root}/dovecot.log
ssl = no
disable_plaintext_auth = no
mail_location = maildir:{mail_root}
mail_max_userip_connections = 1000
default_internal_user = root
default_login_user = root
default_internal_group = root
service pop3-login {{
  inet_listener pop3 {{
    address = {HOST}
    port = {pop3}
  }}
}}
passdb {{
  driver = static
  args = password={PASSWORD}
}}
userdb {{
  driver = static
  args = uid=root gid=root home={root}/home
}}
""")
    server = start_server("dovecot", [dovecot, "-F", "-c", conf])
    if not wait_port(server, pop3):
        log("dovecot did not start: see " + os.path.join(root, "dovecot.log"))
        stop_server(server)
        return None
    return server


def fill_mailbox(directory, maildir, size, count):
    body = MESSAGE + b"y" * (size - len(MESSAGE))
    if maildir:
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(directory, sub), exist_ok=True)
        target = os.path.join(directory, "cur")
        for i in range(count):
            write_bytes(os.path.join(target, f"{time.time_ns()}.{i}.bench:2,S"), body)
    else:
        os.makedirs(directory, exist_ok=True)
        for i in range(count):
            write_bytes(os.path.join(directory, f"y{size % 10:01d}{i:06d}.cnm"), body)


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


# -------------------------------------------------------------------- main

def fmt(v, form="%.0f"):
    return "n/a" if v is None else form % v


def main():
    if not TMP:
        print("run through bench/run.sh", file=sys.stderr)
        return 2
    results = {}
    ports = free_ports(4)
    kv, kv_box = start_korvanet(ports[0], ports[1])
    peer, peer_box = start_opensmtpd(ports[2])
    for name, server, port in (("korvanet", kv, ports[0]), ("opensmtpd", peer, ports[2])):
        r = results.setdefault(name, {})
        if server is None:
            continue
        for sessions in (1, 10):
            for per_message in (True, False):
                key = f"smtp {'conn/msg' if per_message else 'kept'} x{sessions}"
                r[key] = smtp_run(server, port, sessions, per_message)
        r["fsyncs/msg"] = fsyncs_per_message(server, port)
        r["pss/smtp session KiB"] = pss_per_session(server, port, False)
    if peer:
        stop_server(peer)
    # POP3: fresh mailboxes of 10 KiB and 1 MiB messages.
    if kv:
        shutil.rmtree(kv_box, ignore_errors=True)
        fill_mailbox(kv_box, False, 10240, 1)
        fill_mailbox(kv_box, False, 1 << 20, 1)
    dove_root = os.path.join(TMP, "dovecot-mail")
    fill_mailbox(dove_root, True, 10240, 1)
    fill_mailbox(dove_root, True, 1 << 20, 1)
    dove = start_dovecot(ports[3], dove_root)
    for name, server, port in (("korvanet", kv, ports[1]), ("dovecot", dove, ports[3])):
        r = results.setdefault(name, {})
        if server is None:
            continue
        try:
            sizes = []
            with socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S) as s:
                f = s.makefile("rb")
                f.readline()
                s.sendall(f"USER {USER}\r\nPASS {PASSWORD}\r\nLIST\r\n".encode())
                f.readline()
                f.readline()
                f.readline()
                while (line := f.readline()) not in (b".\r\n", b""):
                    sizes.append(int(line.split()[1]))
                s.sendall(b"QUIT\r\n")
            small = 1 + sizes.index(min(sizes))
            big = 1 + sizes.index(max(sizes))
            r["RETR/s 10KiB"] = pop3_retr(port, RETRS, small)[0]
            r["MB/s 1MiB"] = pop3_retr(port, BIG_RETRS, big)[1]
            r["pss/pop3 session KiB"] = pss_per_session(server, port, True)
        except (OSError, ValueError) as e:
            log(f"{name} pop3: {e}")
    stop_server(dove)
    stop_server(kv)
    keys = []
    for r in results.values():
        for k in r:
            if k not in keys:
                keys.append(k)
    names = ("korvanet", "opensmtpd", "dovecot")
    print("%-26s" % "mail" + "".join("%14s" % n for n in names))
    for k in keys:
        row = []
        for n in names:
            v = results.get(n, {}).get(k)
            if isinstance(v, dict):
                row.append("%6.0f/%5.1fms" % (v["rate"], v["p99_ms"]))
            else:
                row.append(fmt(v, "%.1f"))
        print("%-26s" % k + "".join("%14s" % x for x in row))
    cpu = {n: results.get(n, {}).get("smtp kept x10") for n in names}
    for n in names:
        if cpu[n]:
            print(f"cpu per message, kept x10, {n}: {cpu[n]['cpu_us']:.0f} us")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
