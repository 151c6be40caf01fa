#!/bin/bash
# Loopback benchmarks of Korvanet's proxy against tinyproxy and squid, and of
# its SOCKS port against microsocks and dante, with nginx as the origin. Each
# prints one table and the goal lines. See bench/README.md.
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
# BENCH_SUITES picks the benchmarks: "proxy" (bench.py), "scale"
# (scale_bench.py: cost as the work grows, for access lists, users, cache
# objects, the access log page and POP3 mailboxes), "socks"
# (socks_bench.py, in a private network namespace of its own), "mail"
# (mail_bench.py, beside OpenSMTPD and dovecot when they are installed),
# "exchange" (mail_exchange_bench.py: the mail transfer's send and receive
# passes beside OpenSMTPD and fetchmail) and "ftp" (ftp_gateway_bench.py, in
# a namespace of its own, beside ftp-proxy), "links" (link_bench.py: the
# mapped TCP and UDP links beside socat and rinetd, in a namespace of its own)
# and "ftpproxy" (proxy_ftp_bench.py: ftp:// through the proxy port beside
# squid, from vsftpd and pyftpdlib, in a namespace of its own), "setup"
# (setup_bench.py: setup and kvuninst into a scratch image root beside
# install -D and rm -r of the same files), "shell" (shell_bench.py: start
# and stop of the whole program beside tinyproxy, and the cost of an idle
# server, in a namespace of its own) and "dial" (dial_bench.py: the dial-up
# manager's cost to the proxy with a line up on lo, at rest, the wait for a
# dial, and dial/hang-up cycles).
status=0
for suite in ${BENCH_SUITES:-proxy scale socks mail exchange ftp links ftpproxy setup shell dial}; do
    limit=$TOTAL_LIMIT_S
    case $suite in
        proxy) run="/usr/bin/python3 $HERE/bench.py" ;;
        scale) run="/usr/bin/python3 $HERE/scale_bench.py" ;;
        socks)
            for tool in microsocks danted hey; do
                command -v "$tool" >/dev/null 2>&1 || echo "warning: $tool not found (scripts/install-deps.sh bench installs it)" >&2
            done
            run="$ROOT/scripts/in-netns.sh /usr/bin/python3 $HERE/socks_bench.py" ;;
        mail) run="/usr/bin/python3 $HERE/mail_bench.py" ;;
        exchange) run="/usr/bin/python3 $HERE/mail_exchange_bench.py" ;;
        ftp)
            command -v ftp-proxy >/dev/null 2>&1 || echo "warning: ftp-proxy not found (scripts/install-deps.sh bench installs it)" >&2
            /usr/bin/python3 -c "import pyftpdlib" 2>/dev/null \
                || { echo "python3-pyftpdlib is required for the ftp benchmark" >&2; status=1; continue; }
            run="$ROOT/scripts/in-netns.sh /usr/bin/python3 $HERE/ftp_gateway_bench.py" ;;
        links)
            for tool in socat rinetd dnsperf dnsmasq taskset; do
                command -v "$tool" >/dev/null 2>&1 || echo "warning: $tool not found (scripts/install-deps.sh bench installs it)" >&2
            done
            # socat forks per connection: its ab runs alone take minutes.
            limit=${BENCH_LINK_TIME_LIMIT:-720}
            run="$ROOT/scripts/in-netns.sh /usr/bin/python3 $HERE/link_bench.py" ;;
        ftpproxy)
            [ -x /usr/sbin/vsftpd ] && /usr/bin/python3 -c "import pyftpdlib" 2>/dev/null \
                || { echo "vsftpd and python3-pyftpdlib are required for the ftpproxy benchmark" >&2; status=1; continue; }
            run="$ROOT/scripts/in-netns.sh /usr/bin/python3 $HERE/proxy_ftp_bench.py" ;;
        setup) run="/usr/bin/python3 $HERE/setup_bench.py" ;;
        shell) run="$ROOT/scripts/in-netns.sh /usr/bin/python3 $HERE/shell_bench.py" ;;
        dial) run="/usr/bin/python3 $HERE/dial_bench.py" ;;
        *) echo "unknown suite $suite" >&2; status=2; continue ;;
    esac
    # In the background and waited for, so that INT/TERM reach the trap at once.
    # shellcheck disable=SC2086
    timeout --kill-after=10 "$limit" $run &
    BENCH_PID=$!
    wait "$BENCH_PID"
    rc=$?
    BENCH_PID=
    [ $rc = 124 ] && echo "$suite benchmark stopped after ${limit} s" >&2
    [ $rc != 0 ] && status=$rc
done
exit $status
