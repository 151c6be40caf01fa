#!/usr/bin/python3
"""The installer and the uninstaller against plain copies: setup into a scratch
image root and kvuninst --all out of it, each timed as a whole process, beside
`install -D` of the same six files (three runs: the uninstaller, the program,
the four texts) and `rm -r` of what that made. Then one setup under strace,
to count the system calls that move the bytes.

Run through bench/run.sh, which makes the scratch directory and passes it in
BENCH_TMP. Nothing leaves the scratch directory: both programs always get
--root, and KORVANET_REGISTRY is dropped from their environment.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TMP = os.environ.get("BENCH_TMP") or sys.exit("BENCH_TMP is not set (run bench/run.sh)")
BIN_DIR = os.path.dirname(os.environ.get("KORVANET_BIN", os.path.join(ROOT, "build", "korvanet")))
ROUNDS = int(os.environ.get("BENCH_SETUP_ROUNDS", "20"))
RUN_LIMIT_S = 30            # one program run; far beyond the goal
CHUNK = 64 * 1024
GOAL_S = 1.0
GOAL_RATIO = 1.5
PROGRAM_FILES = ("korvanet", "config.htm", "proxy.pac", "ReadMe.txt", "Admin.url")
ENV = {k: v for k, v in os.environ.items() if k not in ("KORVANET_REGISTRY", "KORVANET_HOME")}


def timed(argv):
    started = time.perf_counter()
    r = subprocess.run(argv, capture_output=True, text=True, env=ENV, timeout=RUN_LIMIT_S)
    elapsed = time.perf_counter() - started
    if r.returncode != 0:
        sys.exit(f"{argv[0]} failed ({r.returncode}): {r.stderr.strip()}")
    return elapsed


def install_d(root):
    """The same six files with plain install -D; seconds."""
    src = lambda name: os.path.join(BIN_DIR, name)  # noqa: E731
    inst = os.path.join(root, "opt", "korvanet")
    return (timed(["install", "-D", "-m", "0755", src("kvuninst"), os.path.join(root, "usr/local/sbin/kvuninst")])
            + timed(["install", "-D", "-m", "0755", src("korvanet"), os.path.join(inst, "korvanet")])
            + timed(["install", "-D", "-m", "0644", "-t", inst] + [src(n) for n in PROGRAM_FILES[1:]]))


def syscalls():
    """copy_file_range, read and write calls of one setup, and the calls a
    64 KiB step needs for the bytes it copied."""
    if not shutil.which("strace"):
        return None
    root = os.path.join(TMP, "strace-root")
    os.mkdir(root)
    trace = os.path.join(TMP, "setup.strace")
    # A sanitized build's leak check refuses to run under a tracer.
    env = dict(ENV, ASAN_OPTIONS="detect_leaks=0")
    subprocess.run(["strace", "-f", "-o", trace, "-e", "trace=copy_file_range,read,write",
                    os.path.join(BIN_DIR, "setup"), "--root", root], capture_output=True, env=env,
                   timeout=RUN_LIMIT_S, check=True)
    text = open(trace).read()
    calls = {name: len(re.findall(rf"\b{name}\(", text)) for name in ("copy_file_range", "read", "write")}
    files = ["kvuninst"] + list(PROGRAM_FILES)
    needed = sum(os.path.getsize(os.path.join(BIN_DIR, n)) // CHUNK + 2 for n in files)  # + the short and the 0 step
    copied = sum(os.path.getsize(os.path.join(BIN_DIR, n)) for n in files)
    shutil.rmtree(root)
    return calls, needed, copied


def main():
    for program in ("setup", "kvuninst", "korvanet"):
        if not os.path.exists(os.path.join(BIN_DIR, program)):
            sys.exit(f"{program} is missing beside {BIN_DIR} (make builds it)")
    times = {"setup": [], "install -D": [], "kvuninst --all": [], "rm -r": []}
    for i in range(ROUNDS):
        # In turns, so other load on the machine falls on both columns alike.
        ours = os.path.join(TMP, f"root{i}")
        plain = os.path.join(TMP, f"plain{i}")
        os.mkdir(ours)
        os.mkdir(plain)
        times["setup"].append(timed([os.path.join(BIN_DIR, "setup"), "--root", ours]))
        times["install -D"].append(install_d(plain))
        times["kvuninst --all"].append(timed([os.path.join(BIN_DIR, "kvuninst"), "--root", ours, "--all"]))
        times["rm -r"].append(timed(["rm", "-r", os.path.join(plain, "opt"), os.path.join(plain, "usr")]))
        shutil.rmtree(ours)
        shutil.rmtree(plain)

    print(f"\nsetup and kvuninst, {ROUNDS} rounds (ms)")
    print(f"{'':<16}{'median':>10}{'max':>10}")
    med = {}
    for name, values in times.items():
        med[name] = statistics.median(values)
        print(f"{name:<16}{med[name] * 1000:>10.1f}{max(values) * 1000:>10.1f}")
    ratio = med["setup"] / med["install -D"]
    print(f"\ngoal: setup under {GOAL_S:.0f} s: {'met' if max(times['setup']) < GOAL_S else 'MISSED'}"
          f" (max {max(times['setup']) * 1000:.1f} ms)")
    print(f"goal: kvuninst --all under {GOAL_S:.0f} s: "
          f"{'met' if max(times['kvuninst --all']) < GOAL_S else 'MISSED'}"
          f" (max {max(times['kvuninst --all']) * 1000:.1f} ms)")
    print(f"goal: setup at most {GOAL_RATIO}x install -D: {'met' if ratio <= GOAL_RATIO else 'MISSED'}"
          f" ({ratio:.2f}x)")
    counted = syscalls()
    if counted:
        calls, needed, copied = counted
        print(f"goal: one call per 64 KiB copied: {'met' if calls['copy_file_range'] <= needed else 'MISSED'}"
              f" ({calls['copy_file_range']} copy_file_range for {copied} bytes, {needed} at most;"
              f" read {calls['read']}, write {calls['write']} in all)")
    else:
        print("strace not found: system calls not counted")


if __name__ == "__main__":
    main()
