#!/bin/sh
# Runs the black-box suite as four groups at the same time, each in a private
# network namespace of its own (scripts/in-netns.sh), so that the modules
# which mostly wait (DNS retries, the SOCKS BIND wait, the RealAudio
# dialogue's time-out, the mail schedule's turns, the dial-up pauses and the
# idle hang-up) wait beside the others instead of after them. Extra arguments
# go to every pytest run. Exits non-zero when any group fails; the waiting
# groups' output follows.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
tests=$root/tests/integration
waiting_groups="test_dns.py,test_realaudio.py,test_socks.py test_mail_exchange.py test_dial.py"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run_group() {  # name, then pytest arguments
    name=$1
    shift
    "$root/scripts/in-netns.sh" /usr/bin/python3 -m pytest -q -p no:cacheprovider --basetemp="$scratch/$name" "$@"
}

ignores=""
pids=""
n=0
for group in $waiting_groups; do
    n=$((n + 1))
    paths=""
    for m in $(echo "$group" | tr ',' ' '); do
        paths="$paths $tests/$m"
        ignores="$ignores --ignore=$tests/$m"
    done
    # shellcheck disable=SC2086
    run_group "waiting$n" "$@" $paths >"$scratch/waiting$n.log" 2>&1 &
    pids="$pids $!"
done
# shellcheck disable=SC2086
run_group rest "$@" $ignores "$tests"
status=$?
n=0
for pid in $pids; do
    n=$((n + 1))
    wait "$pid" || status=1
    echo "== $(echo "$waiting_groups" | cut -d' ' -f$n)"
    cat "$scratch/waiting$n.log"
done
exit $status
