#!/bin/sh
# The DNS forwarder and name cache benchmark (bench/dns_bench.py) in a private
# network namespace: the forwarder holds UDP 53 on every interface.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
for tool in dnsmasq dnsperf ip nsenter unshare; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool is required (scripts/install-deps.sh bench)" >&2; exit 1; }
done
exec timeout --kill-after=10 "${BENCH_DNS_TIME_LIMIT:-300}" \
    "$ROOT/scripts/in-netns.sh" /usr/bin/python3 "$HERE/dns_bench.py"
