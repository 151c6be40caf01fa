#!/bin/bash
# Loopback benchmark of Korvanet's proxy against tinyproxy and squid, with
# nginx as the origin. Prints one table and the goal lines. See bench/README.md.
#
# Everything runs under a scratch directory and is stopped on exit: bench.py
# appends the pid of every server it starts to $BENCH_TMP/pids, each server
# leads its own process group, and the trap below ends those groups by id.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
TOTAL_LIMIT_S=${BENCH_TIME_LIMIT:-420}

for tool in nginx tinyproxy squid ab curl /usr/bin/python3; do
    command -v "$tool" >/dev/null 2>&1 || echo "warning: $tool not found (scripts/install-deps.sh bench installs it)" >&2
done
command -v nginx >/dev/null 2>&1 && command -v ab >/dev/null 2>&1 && command -v curl >/dev/null 2>&1 \
    || { echo "nginx, ab and curl are required" >&2; exit 1; }

BENCH_TMP=$(mktemp -d /tmp/korvanet-bench.XXXXXX) || exit 1
export BENCH_TMP
: > "$BENCH_TMP/pids"

BENCH_PID=
cleanup() {
    local pid
    # The measuring process first, so that it starts nothing more.
    if [ -n "$BENCH_PID" ] && kill -0 "$BENCH_PID" 2>/dev/null; then
        kill -TERM "$BENCH_PID" 2>/dev/null
        wait "$BENCH_PID" 2>/dev/null
    fi
    if [ -s "$BENCH_TMP/pids" ]; then
        while read -r pid; do
            [ -n "$pid" ] && kill -TERM -- "-$pid" 2>/dev/null
        done < "$BENCH_TMP/pids"
        sleep 1
        while read -r pid; do
            [ -n "$pid" ] && kill -KILL -- "-$pid" 2>/dev/null
        done < "$BENCH_TMP/pids"
    fi
    if [ -n "${BENCH_KEEP:-}" ]; then
        echo "scratch directory kept: $BENCH_TMP" >&2
    else
        rm -rf "$BENCH_TMP"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export KORVANET_BIN=${KORVANET_BIN:-$ROOT/build/korvanet}
# In the background and waited for, so that INT/TERM reach the trap at once.
timeout --kill-after=10 "$TOTAL_LIMIT_S" /usr/bin/python3 "$HERE/bench.py" &
BENCH_PID=$!
wait "$BENCH_PID"
rc=$?
BENCH_PID=
[ $rc = 124 ] && echo "benchmark stopped after ${TOTAL_LIMIT_S} s" >&2
[ $rc = 0 ] || exit $rc

# The mail server beside OpenSMTPD and dovecot (each n/a when not installed).
timeout --kill-after=10 "${BENCH_MAIL_TIME_LIMIT:-300}" /usr/bin/python3 "$HERE/mail_bench.py" &
BENCH_PID=$!
wait "$BENCH_PID"
rc=$?
BENCH_PID=
[ $rc = 124 ] && echo "mail benchmark stopped after ${BENCH_MAIL_TIME_LIMIT:-300} s" >&2
exit $rc
