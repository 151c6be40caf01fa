#!/usr/bin/python3
"""Loopback benchmark of Korvanet's mail exchange: the send pass (queued
messages to an upstream SMTP server) and the receive pass (POP3 download with
deletion, delivered to a local mailbox), each started through the admin page
and timed until the page closes, beside the peers a user would pick instead:

- send: OpenSMTPD flushing the same messages (mta paused, injected, resumed)
  to the same smtp-sink (from Debian's postfix package, extracted, never
  installed, cached under build/postfix-sink);
- receive: fetchmail from the same dovecot account, handing each message to
  OpenSMTPD on loopback, which delivers it to a maildir.

A peer that cannot be set up shows "n/a". Every spool and mailbox lives in the
scratch directory on one disk; nobody's sync is turned off. Every load loop is
bounded. Run through bench/run.sh (BENCH_TMP, BENCH_TMP/pids).
"""
import glob
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

from bench import (CLEAN_ENV, CLK_TCK, HOST, KORVANET_BIN, ROOT, TMP, cpu_ticks, free_ports, log, process_tree,
                   pss_kib, registry_text, start_server, stop_server, wait_port, write)
from mail_bench import PASSWORD, USER, digest

SEND_MESSAGES = int(os.environ.get("BENCH_XFER_SEND", "500"))
RECV_MESSAGES = int(os.environ.get("BENCH_XFER_RECV", "200"))
PSS_MESSAGES = int(os.environ.get("BENCH_XFER_PSS", "10000"))
TRIGGERS = 20
SEND_SIZE, RECV_SIZE = 1024, 10240
PASS_LIMIT_S = 240          # one pass (ours or a peer's) gives up after this
IO_TIMEOUT_S = 30
POLL_S = 0.005
SINK_DIR = os.path.join(ROOT, "build", "postfix-sink")
PAGE_HEAD_END = b"</center><hr>\n</body>"
RCPT = "u@example.com"
TRANSFER_PORT = 5674
MAIL_UID = MAIL_GID = 65534  # dovecot serves the account as nobody: it refuses root


def message(size):
    head = b"From: a@b.example\r\nTo: " + RCPT.encode() + b"\r\nSubject: bench\r\n\r\n"
    line = b"x" * 70 + b"\r\n"
    body = line * ((size - len(head)) // len(line))
    tail = size - len(head) - len(body)
    return head + body + (b"y" * (tail - 2) + b"\r\n" if tail >= 3 else b"")


# ------------------------------------------------------------------ CPU time

def task_ns(root, field=0):
    """{(pid, tid): ns} of every thread of the process tree from schedstat:
    field 0 on a CPU, field 1 runnable but waiting for one."""
    out = {}
    for pid in process_tree(root):
        for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
            try:
                with open(path) as f:
                    out[(pid, path.split("/")[4])] = int(f.read().split()[field])
            except (OSError, ValueError, IndexError):
                continue
    return out


class CpuMeter:
    """CPU of a process tree over a stretch: nanoseconds from every thread's
    schedstat, polled so that threads ending meanwhile still count (up to the
    last poll), and the clock-tick total (which keeps reaped children) as a
    floor where threads came and went between polls."""

    def __init__(self, root):
        self.root = root
        self.first = task_ns(root)
        self.last = dict(self.first)
        self.wait_first = task_ns(root, 1)
        self.wait_last = dict(self.wait_first)
        self.waited = 0.0
        self.ticks0 = cpu_ticks(root)
        self.stop_event = threading.Event()
        self.thread = threading.Thread(target=self.poll, daemon=True)
        self.thread.start()

    def sample(self):
        for k, v in task_ns(self.root).items():
            if v > self.last.get(k, 0):
                self.last[k] = v
        for k, v in task_ns(self.root, 1).items():
            if v > self.wait_last.get(k, 0):
                self.wait_last[k] = v

    def poll(self):
        while not self.stop_event.wait(0.02):
            self.sample()

    def stop(self):
        self.stop_event.set()
        self.thread.join(5)
        self.sample()
        ns = sum(v - self.first.get(k, 0) for k, v in self.last.items()) / 1e9
        self.waited = sum(v - self.wait_first.get(k, 0) for k, v in self.wait_last.items()) / 1e9
        ticks = (cpu_ticks(self.root) - self.ticks0) / CLK_TCK
        return ticks if ticks - ns > 2.0 / CLK_TCK else ns


# ------------------------------------------------------------------ peers' set-up

def smtp_sink_binary():
    """smtp-sink from Debian's postfix package, unpacked (never installed)
    under build/postfix-sink; None when it cannot be had."""
    binary = os.path.join(SINK_DIR, "root", "usr", "sbin", "smtp-sink")
    if os.path.exists(binary):
        return binary
    if not shutil.which("apt-get") or not shutil.which("dpkg"):
        return None
    os.makedirs(SINK_DIR, exist_ok=True)
    try:
        if not glob.glob(os.path.join(SINK_DIR, "postfix_*.deb")):
            subprocess.run(["apt-get", "download", "postfix"], cwd=SINK_DIR, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120, check=True)
        deb = sorted(glob.glob(os.path.join(SINK_DIR, "postfix_*.deb")))[-1]
        subprocess.run(["dpkg", "-x", deb, os.path.join(SINK_DIR, "root")], timeout=60, check=True)
    except (OSError, IndexError, subprocess.SubprocessError) as e:
        log(f"smtp-sink unavailable: {e}")
        return None
    return binary if os.path.exists(binary) else None


def start_sink(port):
    binary = smtp_sink_binary()
    if not binary:
        return None
    env = dict(CLEAN_ENV, LD_LIBRARY_PATH=os.path.join(SINK_DIR, "root", "usr", "lib", "postfix"))
    argv = [binary] + (["-u", "nobody"] if os.geteuid() == 0 else []) + [f"{HOST}:{port}", "256"]
    server = start_server("smtp-sink", argv, env=env)
    if not wait_port(server, port):
        log("smtp-sink did not start: see " + os.path.join(TMP, "smtp-sink.out"))
        stop_server(server)
        return None
    return server


class Smtpd:
    """OpenSMTPD in the foreground in a mount namespace of its own: its queue
    bind-mounted on /var/spool/smtpd, a tmpfs on /run for its sockets."""

    def __init__(self, name, port, rules):
        self.name, self.port, self.server = name, port, None
        smtpd = shutil.which("smtpd") or "/usr/sbin/smtpd"
        if not os.path.exists(smtpd) or not shutil.which("unshare") or not shutil.which("nsenter"):
            return
        self.root = os.path.join(TMP, name)
        self.queue = os.path.join(self.root, "queue")
        os.makedirs(self.queue, exist_ok=True)
        os.chmod(self.queue, 0o711)
        conf = os.path.join(self.root, "smtpd.conf")
        write(conf, f"listen on {HOST} port {port}\nsmtp limit max-mails 100000\n" + rules)
        script = (f"mount --bind {self.queue} /var/spool/smtpd 2>/dev/null || {{ mkdir -p /var/spool/smtpd && "
                  f"mount --bind {self.queue} /var/spool/smtpd; }}; mount -t tmpfs tmpfs /run && "
                  f"exec {smtpd} -d -f {conf}")
        server = start_server(name, ["unshare", "--mount", "sh", "-c", script])
        if not wait_port(server, port):
            log(f"{name} did not start: see " + os.path.join(TMP, name + ".out"))
            stop_server(server)
            return
        self.server = server

    def ctl(self, *args):
        r = subprocess.run(["nsenter", "-t", str(self.server.pid), "-m", "--", "smtpctl"] + list(args),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=20)
        return r.returncode == 0, r.stdout.decode("utf-8", "replace")

    def queued(self):
        """Messages in the queue: the files under its queue directory."""
        return sum(len(files) for _, _, files in os.walk(os.path.join(self.queue, "queue")))

    def stop(self):
        stop_server(self.server)


def reply(f):
    while True:
        line = f.readline()
        if not line:
            raise OSError("closed")
        if line[3:4] != b"-":
            return line


def inject(port, count, data):
    """count messages over one SMTP session; the number accepted."""
    ok = 0
    with socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S) as s:
        f = s.makefile("rb")
        reply(f)
        s.sendall(b"EHLO bench\r\n")
        reply(f)
        for _ in range(count):
            s.sendall(b"MAIL FROM:<a@b.example>\r\n")
            reply(f)
            s.sendall(f"RCPT TO:<{RCPT}>\r\n".encode())
            reply(f)
            s.sendall(b"DATA\r\n")
            reply(f)
            s.sendall(data + b".\r\n")
            ok += reply(f).startswith(b"250")
        s.sendall(b"QUIT\r\n")
    return ok


def wait_until(check, limit_s=PASS_LIMIT_S):
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        if check():
            return True
        time.sleep(POLL_S)
    return check()


def opensmtpd_send(sink_port, port):
    """OpenSMTPD flushing SEND_MESSAGES to the sink: rate and CPU."""
    d = Smtpd("opensmtpd-send", port, f"action \"to-sink\" relay host \"smtp://{HOST}:{sink_port}\"\n"
                                      "match from local for any action \"to-sink\"\n")
    if not d.server:
        return None
    try:
        ok, text = d.ctl("pause", "mta")
        if not ok:
            log("smtpctl pause mta: " + text.strip())
            return None
        if inject(port, SEND_MESSAGES, message(SEND_SIZE)) != SEND_MESSAGES:
            log("opensmtpd refused messages")
            return None
        if not wait_until(lambda: d.queued() >= SEND_MESSAGES, 20):
            log(f"opensmtpd queued {d.queued()} of {SEND_MESSAGES}")
            return None
        os.sync()
        cpu = CpuMeter(d.server.pid)
        start = time.monotonic()
        d.ctl("resume", "mta")
        done = wait_until(lambda: d.queued() == 0)
        elapsed = time.monotonic() - start
        seconds = cpu.stop()
        if not done:
            log(f"opensmtpd: {d.queued()} still queued after {PASS_LIMIT_S} s")
            return None
        _, stats = d.ctl("show", "stats")
        m = re.search(r"scheduler\.delivery\.ok=(\d+)", stats)
        delivered = int(m.group(1)) if m else SEND_MESSAGES
        if delivered != SEND_MESSAGES:
            log(f"opensmtpd delivered {delivered} of {SEND_MESSAGES}")
            return None
        return {"rate": SEND_MESSAGES / elapsed, "seconds": elapsed, "cpu_us": seconds / SEND_MESSAGES * 1e6}
    finally:
        d.stop()


def maildir_count(path):
    return len(os.listdir(os.path.join(path, "new"))) if os.path.isdir(os.path.join(path, "new")) else 0


def fetchmail_receive(pop3_port, port, dove_root):
    """fetchmail draining the dovecot account into OpenSMTPD's maildir."""
    fetchmail = shutil.which("fetchmail")
    if not fetchmail:
        return None
    maildir = os.path.join(TMP, "fetchmail-Maildir")
    shutil.rmtree(maildir, ignore_errors=True)
    os.makedirs(maildir)
    if os.geteuid() == 0:
        os.chown(maildir, MAIL_UID, MAIL_GID)  # it will not deliver as root
    d = Smtpd("opensmtpd-recv", port, f"action \"to-box\" maildir \"{maildir}\" user nobody\n"
                                      "match from local for any action \"to-box\"\n")
    if not d.server:
        return None
    try:
        rc = os.path.join(TMP, "fetchmailrc")
        write(rc, f"set no bouncemail\nset no syslog\n"
                  f"poll {HOST} service {pop3_port} protocol pop3 auth password timeout {IO_TIMEOUT_S}\n"
                  f"  user \"{USER}\" there with password \"{PASSWORD}\" is root here\n"
                  f"  smtphost {HOST}/{port} smtpname root@localhost nokeep fetchall sslproto ''\n", 0o600)
        refill(dove_root, RECV_MESSAGES)
        os.sync()
        cpu = CpuMeter(d.server.pid)
        start = time.monotonic()
        out = open(os.path.join(TMP, "fetchmail.out"), "wb")
        env = dict(CLEAN_ENV, HOME=TMP)
        proc = subprocess.Popen([fetchmail, "-f", rc, "-i", os.path.join(TMP, "fetchids"), "--nosoftbounce"],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, env=env,
                                start_new_session=True)
        out.close()
        with open(os.path.join(TMP, "pids"), "a") as f:
            f.write("%d\n" % proc.pid)
        rusage = None
        deadline = time.monotonic() + PASS_LIMIT_S
        while time.monotonic() < deadline:
            pid, status, rusage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            time.sleep(POLL_S)
        else:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            log("fetchmail did not finish")
            return None
        proc.returncode = status
        fetched = time.monotonic() - start
        delivered = wait_until(lambda: maildir_count(maildir) >= RECV_MESSAGES)
        elapsed = time.monotonic() - start
        seconds = cpu.stop() + rusage.ru_utime + rusage.ru_stime
        if not delivered:
            log(f"fetchmail: {maildir_count(maildir)} of {RECV_MESSAGES} in the maildir; see "
                + os.path.join(TMP, "fetchmail.out"))
            return None
        return {"rate": RECV_MESSAGES / elapsed, "seconds": elapsed, "cpu_us": seconds / RECV_MESSAGES * 1e6,
                "fetched_s": fetched}
    finally:
        d.stop()


def start_dovecot(pop3, mail_root):
    """dovecot-pop3d from a config in the scratch directory, in the
    foreground; its login process as dovenull (it refuses root)."""
    dovecot = shutil.which("dovecot") or "/usr/sbin/dovecot"
    if not os.path.exists(dovecot):
        return None
    root = os.path.join(TMP, "xfer-dovecot-run")
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
default_internal_group = root
default_login_user = dovenull
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
  args = uid={MAIL_UID} gid={MAIL_GID} home={mail_root}
}}
""")
    server = start_server("dovecot", [dovecot, "-F", "-c", conf])
    if not wait_port(server, pop3) or not pop3_login_works(pop3):
        log("dovecot did not start: see " + os.path.join(root, "dovecot.log"))
        stop_server(server)
        return None
    return server


def pop3_login_works(port):
    try:
        with socket.create_connection((HOST, port), timeout=5) as s:
            f = s.makefile("rb")
            f.readline()
            s.sendall(f"USER {USER}\r\nPASS {PASSWORD}\r\nQUIT\r\n".encode())
            f.readline()
            return f.readline().startswith(b"+OK")
    except OSError:
        return False


def refill(dove_root, count):
    """The dovecot account with exactly count fresh messages."""
    data = message(RECV_SIZE)
    for sub in ("cur", "new", "tmp"):
        shutil.rmtree(os.path.join(dove_root, sub), ignore_errors=True)
        os.makedirs(os.path.join(dove_root, sub))
    for i in range(count):
        with open(os.path.join(dove_root, "cur", f"{time.time_ns()}.{i}.bench:2,S"), "wb") as f:
            f.write(data)
    if os.geteuid() == 0:
        os.chmod(TMP, 0o711)  # traversable for the account's user
        for path, dirs, files in os.walk(dove_root):
            for n in [path] + [os.path.join(path, x) for x in files]:
                os.chown(n, MAIL_UID, MAIL_GID)


# ------------------------------------------------------------------ Korvanet

def start_korvanet(name, settings, lists):
    home = os.path.join(TMP, name)
    os.makedirs(home, exist_ok=True)
    values = {"MailType": 1, "SMTPServer": HOST, "ProxyPort": 0, "HighPriorityMail": 0, "Timeout": 2,
              "POP3DELE": 1, "LogsDir": home + "/logs", "MailDir": home + "/mail", "CacheDir": home + "/cache"}
    values.update(settings)
    reg = os.path.join(home, "registry.reg")
    write(reg, registry_text(values, lists))
    env = dict(CLEAN_ENV, KORVANET_REGISTRY=reg, KORVANET_HOME=home + "/")
    server = start_server(name, [KORVANET_BIN], env=env)
    if not (wait_port(server, settings["AdminPort"]) and wait_port(server, TRANSFER_PORT)):
        log(f"{name} did not start: see " + os.path.join(TMP, name + ".out"))
        stop_server(server)
        return None
    server.admin = settings["AdminPort"]
    server.mail = values["MailDir"]
    return server


def transfer(server):
    """One transfer from the admin page: (seconds to the close, seconds to
    the first byte after the page head, the page)."""
    s = socket.create_connection((HOST, server.admin), timeout=IO_TIMEOUT_S)
    data = b""
    first = None
    start = time.monotonic()
    try:
        s.sendall(b"GET /admin/mail?BothMail=+Send+and+Receive+ HTTP/1.0\r\n\r\n")
        deadline = start + PASS_LIMIT_S
        while time.monotonic() < deadline:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
            if first is None:
                at = data.find(PAGE_HEAD_END)
                if at >= 0 and len(data) > at + len(PAGE_HEAD_END):
                    first = time.monotonic() - start
    finally:
        s.close()
    return time.monotonic() - start, first, data


def queue_spool(server, count, data):
    spool = os.path.join(server.mail, "spool")
    os.makedirs(spool, exist_ok=True)
    envelope = f"$$ <a@b.example>\r\nT <{RCPT}>\r\n\r\n".encode()
    for i in range(count):
        with open(os.path.join(spool, "%08d.pm" % (10000000 + i)), "wb") as f:
            f.write(envelope + data)


def spool_left(server):
    return len([n for n in os.listdir(os.path.join(server.mail, "spool")) if n.endswith(".pm")])


def korvanet_send(server, count, sink=None):
    queue_spool(server, count, message(SEND_SIZE))
    os.sync()  # the files' own writeback out of the timed pass
    cpu = CpuMeter(server.pid)
    sink_cpu = CpuMeter(sink.pid) if sink else None
    elapsed, first, page = transfer(server)
    seconds = cpu.stop()
    sink_s = sink_cpu.stop() if sink_cpu else None
    sent = page.count(b"Sending message ")
    if spool_left(server) or sent != count or b"Error" in page:
        log(f"korvanet send: {spool_left(server)} left in the spool, {sent} reported; page tail: {page[-300:]!r}")
        return None
    return {"rate": count / elapsed, "seconds": elapsed, "cpu_us": seconds / count * 1e6, "first_ms": first * 1e3,
            "cpu_s": seconds, "runq_s": cpu.waited, "sink_cpu_s": sink_s, "sink_runq_s": sink_cpu and sink_cpu.waited}


def mailbox_count(server):
    box = os.path.join(server.mail, USER)
    return len([n for n in os.listdir(box) if n.endswith(".cnm")]) if os.path.isdir(box) else 0


def korvanet_receive(server, dove_root):
    box = os.path.join(server.mail, USER)
    shutil.rmtree(box, ignore_errors=True)
    refill(dove_root, RECV_MESSAGES)
    os.sync()
    cpu = CpuMeter(server.pid)
    elapsed, first, page = transfer(server)
    seconds = cpu.stop()
    got = mailbox_count(server)
    # dovecot expunges after the QUIT, while the transfer is already ending.
    wait_until(lambda: not dovecot_left(dove_root), 10)
    left = dovecot_left(dove_root)
    if got != RECV_MESSAGES or left or b"rror" in page:
        log(f"korvanet receive: {got} delivered, {left} left on dovecot; page tail: {page[-300:]!r}")
        return None
    return {"rate": RECV_MESSAGES / elapsed, "seconds": elapsed, "cpu_us": seconds / RECV_MESSAGES * 1e6,
            "first_ms": first * 1e3, "cpu_s": seconds, "runq_s": cpu.waited}


def dovecot_left(dove_root):
    return len(os.listdir(os.path.join(dove_root, "cur"))) + len(os.listdir(os.path.join(dove_root, "new")))


def perf_counts(server, run, count):
    """perf stat (software events) of the whole server over one pass:
    {event: per message}."""
    perf = shutil.which("perf")
    if not perf:
        return None
    out = os.path.join(TMP, f"perf-{server.name}.txt")
    events = "task-clock,context-switches,cpu-migrations,page-faults"
    counter = subprocess.Popen([perf, "stat", "-x,", "-e", events, "-o", out, "-p", str(server.pid)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    try:
        result = run()
    finally:
        counter.send_signal(signal.SIGINT)
        try:
            counter.wait(20)
        except subprocess.TimeoutExpired:
            counter.kill()
            counter.wait()
    if not result:
        return None
    counts = {}
    try:
        with open(out) as f:
            for line in f:
                parts = line.strip().split(",")
                if len(parts) > 2 and parts[2] in events.split(","):
                    try:
                        counts[parts[2]] = float(parts[0]) / count
                    except ValueError:
                        continue
    except OSError:
        return None
    return counts


def private_kib(pid):
    """Private_Clean + Private_Dirty of one process: unlike PSS it does not
    move when other processes sharing its libraries come and go."""
    total = 0
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith(("Private_Clean:", "Private_Dirty:")):
                    total += int(line.split()[1])
    except OSError:
        return None
    return total


def round_trip_us(port, greeting_lines=1, hello=None, rounds=500):
    """(median, mean) of rounds NOOP round trips over one session to a line
    server (the floor under each command-and-reply of a pass), in us."""
    try:
        with socket.create_connection((HOST, port), timeout=IO_TIMEOUT_S) as s:
            f = s.makefile("rb")
            for _ in range(greeting_lines):
                f.readline()
            for line in hello or ():
                s.sendall(line)
                if line.startswith(b"EHLO"):
                    reply(f)
                else:
                    f.readline()
            times = []
            for _ in range(rounds):
                start = time.monotonic()
                s.sendall(b"NOOP\r\n")
                f.readline()
                times.append((time.monotonic() - start) * 1e6)
            s.sendall(b"QUIT\r\n")
        return statistics.median(times), statistics.mean(times)
    except OSError:
        return None


def disk_sync_ms():
    """The disk's floor for one durable copy: a 10 KiB file written, synced,
    renamed and its directory synced, in the scratch directory; median ms."""
    d = os.path.join(TMP, "sync-probe")
    os.makedirs(d, exist_ok=True)
    dfd = os.open(d, os.O_RDONLY | os.O_DIRECTORY)
    times = []
    try:
        for i in range(30):
            start = time.monotonic()
            fd = os.open(os.path.join(d, f"{i}.part"), os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o600)
            os.write(fd, message(RECV_SIZE))
            os.fsync(fd)
            os.close(fd)
            os.rename(os.path.join(d, f"{i}.part"), os.path.join(d, str(i)))
            os.fsync(dfd)
            times.append((time.monotonic() - start) * 1e3)
    finally:
        os.close(dfd)
        shutil.rmtree(d, ignore_errors=True)
    return statistics.median(times)


def trigger_latency(server):
    """Request to first progress byte over TRIGGERS transfers with nothing
    to do (ms): median and worst."""
    firsts = []
    for _ in range(TRIGGERS):
        _, first, _ = transfer(server)
        if first is None:
            return None
        firsts.append(first * 1e3)
    return statistics.median(firsts), max(firsts)


STRACE_LINE = re.compile(r"^(\d+)\s+(?:<\.\.\. ([a-z0-9_]+) resumed>|([a-z0-9_]+)\().*<([0-9.]+)>$")


def syscalls(server, run, count):
    """strace -f -T over one pass (slowed by the tracing): for the thread
    that made the most calls (the transfer's), {syscall: (calls per message,
    seconds in it over the pass)}, and the pass's seconds under the trace."""
    if not shutil.which("strace"):
        return None
    out = os.path.join(TMP, f"strace-{server.name}.txt")
    tracer = subprocess.Popen(["strace", "-f", "-T", "-s", "0", "-o", out, "-p", str(server.pid)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    try:
        result = run()
    finally:
        tracer.send_signal(signal.SIGINT)
        try:
            tracer.wait(20)
        except subprocess.TimeoutExpired:
            tracer.kill()
            tracer.wait()
    if not result:
        return None
    threads = {}
    with open(out, errors="replace") as f:
        for line in f:
            m = STRACE_LINE.match(line.rstrip())
            if not m:
                continue
            calls = threads.setdefault(m.group(1), {})
            name = m.group(2) or m.group(3)
            if name == "restart_syscall":
                continue  # the wait the attach interrupted, from before the pass
            n, t = calls.get(name, (0, 0.0))
            calls[name] = (n + 1, t + float(m.group(4)))
    if not threads:
        return None
    busiest = max(threads.values(), key=lambda c: sum(n for n, _ in c.values()))
    return {"calls": {k: (n / count, t) for k, (n, t) in busiest.items()}, "seconds": result["seconds"]}


# ------------------------------------------------------------------ main

def fmt(v, form="%.0f"):
    return "n/a" if v is None else form % v


def ratio(a, b, key="rate"):
    return a[key] / b[key] if a and b else None


def main():
    if not TMP:
        print("run through bench/run.sh", file=sys.stderr)
        return 2
    try:
        with socket.create_connection((HOST, TRANSFER_PORT), timeout=0.5):
            log(f"port {TRANSFER_PORT} is taken: another mail server runs; not measured")
            return 1
    except OSError:
        pass
    ports = free_ports(6)
    sink_port, smtpd_port, dove_port, admin_send, admin_recv, smtp_port = ports
    res = {}
    sink = start_sink(sink_port)
    dove_root = os.path.join(TMP, "xfer-dovecot")
    refill(dove_root, 0)
    dove = start_dovecot(dove_port, dove_root)

    # -------- send pass
    kv = start_korvanet("korvanet-send", {"AdminPort": admin_send, "SmtpSendPort": sink_port or 1,
                                         "SmtpServerPort": smtp_port, "Pop3ServerPort": free_ports(1)[0]},
                        {"Users": [f"000<|>{USER}<|>{digest(USER, PASSWORD)}<|><|>"]})
    if sink:
        res["rtt_sink"] = round_trip_us(sink_port, hello=[b"EHLO bench\r\n"])
    if dove:
        res["rtt_dove"] = round_trip_us(dove_port, hello=[f"USER {USER}\r\n".encode(), f"PASS {PASSWORD}\r\n".encode()])
    if kv and sink:
        res["pss_start"] = pss_kib(kv.pid)
        res["kv_send"] = korvanet_send(kv, SEND_MESSAGES, sink)
        res["trigger"] = trigger_latency(kv)
        res["pss_before"], res["priv_before"] = pss_kib(kv.pid), private_kib(kv.pid)
        res["kv_send_big"] = korvanet_send(kv, PSS_MESSAGES)
        res["pss_after"], res["priv_after"] = pss_kib(kv.pid), private_kib(kv.pid)
        res["sys_send"] = syscalls(kv, lambda: korvanet_send(kv, SEND_MESSAGES), SEND_MESSAGES)
        res["perf_send"] = perf_counts(kv, lambda: korvanet_send(kv, SEND_MESSAGES), SEND_MESSAGES)
    stop_server(kv)
    if sink:
        res["peer_send"] = opensmtpd_send(sink_port, smtpd_port)
    stop_server(sink)

    # -------- receive pass
    if dove:
        kv = start_korvanet("korvanet-recv", {"AdminPort": admin_recv, "SmtpSendPort": 1,
                                             "SmtpServerPort": smtp_port, "Pop3ServerPort": free_ports(1)[0]},
                            {"Users": [f"000<|>{USER}<|>{digest(USER, PASSWORD)}<|><|>"],
                             "Pop3": [f"{USER}<|>{PASSWORD}<|>{USER}@localhost<|>{HOST}:{dove_port}<|>{USER}"]})
        if kv:
            d0 = cpu_ticks(dove.pid)
            res["kv_recv"] = korvanet_receive(kv, dove_root)
            res["dove_kv_us"] = (cpu_ticks(dove.pid) - d0) / CLK_TCK / RECV_MESSAGES * 1e6
            res["sys_recv"] = syscalls(kv, lambda: korvanet_receive(kv, dove_root), RECV_MESSAGES)
            res["perf_recv"] = perf_counts(kv, lambda: korvanet_receive(kv, dove_root), RECV_MESSAGES)
        stop_server(kv)
        d0 = cpu_ticks(dove.pid)
        res["peer_recv"] = fetchmail_receive(dove_port, smtpd_port, dove_root)
        res["dove_peer_us"] = (cpu_ticks(dove.pid) - d0) / CLK_TCK / RECV_MESSAGES * 1e6
    stop_server(dove)
    res["sync_ms"] = disk_sync_ms()
    res["load"] = os.getloadavg()
    report(res)
    return 0


def report(res):
    ks, ps, kr, pr = res.get("kv_send"), res.get("peer_send"), res.get("kv_recv"), res.get("peer_recv")
    print("%-44s%14s%14s%10s" % ("mail exchange", "korvanet", "peer", "ratio"))
    rows = (
        (f"send {SEND_MESSAGES} x {SEND_SIZE} B, msg/s (OpenSMTPD)", ks, ps, "rate", "%.0f"),
        ("send, CPU us/msg", ks, ps, "cpu_us", "%.0f"),
        (f"receive {RECV_MESSAGES} x {RECV_SIZE} B, msg/s (fetchmail)", kr, pr, "rate", "%.0f"),
        ("receive, CPU us/msg", kr, pr, "cpu_us", "%.0f"),
    )
    for label, k, p, key, form in rows:
        print("%-44s%14s%14s%10s" % (label, fmt(k and k[key], form), fmt(p and p[key], form),
                                     fmt(ratio(k, p, key), "%.2f")))
    if pr:
        print("  fetchmail itself done after %.3f s; all %d in the maildir after %.3f s"
              % (pr["fetched_s"], RECV_MESSAGES, pr["seconds"]))
    print("  dovecot CPU us/msg serving: korvanet %s, fetchmail %s"
          % (fmt(res.get("dove_kv_us")), fmt(res.get("dove_peer_us"))))
    for label, r in (("send", ks), ("receive", kr)):
        if r:
            print(f"  korvanet {label} pass: %.3f s wall, %.3f s on a CPU, %.3f s runnable waiting for a CPU, "
                  "the rest blocked (replies, disk)" % (r["seconds"], r["cpu_s"], r["runq_s"]))
            if r.get("sink_cpu_s") is not None:
                print("    smtp-sink meanwhile: %.3f s on a CPU, %.3f s waiting for one" % (r["sink_cpu_s"],
                                                                                         r["sink_runq_s"]))
    big = res.get("kv_send_big")
    print(f"send {PSS_MESSAGES} msgs: %s msg/s, %s us CPU/msg" % (fmt(big and big["rate"]), fmt(big and big["cpu_us"])))
    print("PSS KiB: at start %s, before the %d-message pass %s, after it %s"
          % (fmt(res.get("pss_start")), PSS_MESSAGES, fmt(res.get("pss_before")), fmt(res.get("pss_after"))))
    print("private KiB (clean + dirty): before %s, after %s" % (fmt(res.get("priv_before")), fmt(res.get("priv_after"))))
    trig = res.get("trigger")
    print("trigger to first progress byte, ms: %s in the send pass, %s in the receive pass; %d empty transfers: "
          "median %s, max %s" % (fmt(ks and ks["first_ms"], "%.2f"), fmt(kr and kr["first_ms"], "%.2f"), TRIGGERS,
                                 fmt(trig and trig[0], "%.2f"), fmt(trig and trig[1], "%.2f")))
    rs, rd = res.get("rtt_sink"), res.get("rtt_dove")
    print("loopback NOOP round trip from this script, median/mean us: smtp-sink %s/%s, dovecot %s/%s"
          % (fmt(rs and rs[0]), fmt(rs and rs[1]), fmt(rd and rd[0]), fmt(rd and rd[1])))
    print("disk: 10 KiB file written, fsync, rename, directory fsync: median %s ms; load average %s"
          % (fmt(res.get("sync_ms"), "%.2f"), " ".join("%.2f" % x for x in res.get("load", ()))))
    for name in ("sys_send", "sys_recv"):
        trace = res.get(name)
        if trace:
            calls = trace["calls"]
            top = sorted(calls.items(), key=lambda kv: -kv[1][0])[:12]
            print(f"{name[4:]} pass, transfer thread, syscalls per message (strace -f -T): total %.1f; "
                  % sum(v[0] for v in calls.values()) + ", ".join("%s %.1f" % (k, v[0]) for k, v in top))
            inside = sum(v[1] for v in calls.values())
            top = sorted(calls.items(), key=lambda kv: -kv[1][1])[:6]
            print("  traced pass %.3f s, %.3f s of it inside syscalls: " % (trace["seconds"], inside)
                  + ", ".join("%s %.0f %%" % (k, 100 * v[1] / trace["seconds"]) for k, v in top))

    for name in ("perf_send", "perf_recv"):
        counts = res.get(name)
        if counts:
            print(f"{name[5:]} pass, perf stat of the server per message: "
                  + ", ".join("%s %.2f%s" % (k, v, " ms" if k == "task-clock" else "") for k, v in counts.items()))

    def goal(text, ok):
        print(("met:     " if ok else "missed:  ") + text if ok is not None else "n/a:     " + text)

    def ge(v, g):
        return None if v is None else v >= g

    goal("send at least 1,000 msg/s", ge(ks and ks["rate"], 1000))
    goal("send at least 10 x OpenSMTPD", ge(ratio(ks, ps), 10))
    goal("receive at least 500 msg/s", ge(kr and kr["rate"], 500))
    goal("receive at least 10 x fetchmail", ge(ratio(kr, pr), 10))
    firsts = [x for x in (ks and ks["first_ms"], kr and kr["first_ms"], trig and trig[1]) if x is not None]
    goal("trigger to first progress byte at most 10 ms", (max(firsts) <= 10) if firsts else None)
    if res.get("pss_before") and res.get("pss_after"):
        goal(f"PSS roughly constant over {PSS_MESSAGES} messages (within 10 %)",
             res["pss_after"] <= res["pss_before"] * 1.1)
    else:
        goal("PSS roughly constant", None)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
