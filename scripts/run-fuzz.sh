#!/bin/sh
# Builds the fuzz targets (CMake, KV_FUZZ=ON, clang with libFuzzer and the
# address and undefined behaviour sanitizers) and runs each for the given
# number of seconds (default 30), two at a time. An input that runs longer than
# KV_FUZZ_TIMEOUT seconds (default 10) counts as a hang. Each starts from its
# committed seeds in fuzz/seeds/<target>/ and grows a corpus of its own in
# build/fuzz/. Exits non-zero when a target finds a crash or a mismatch; the
# crashing input is left in build/fuzz/ (minimise it, commit it as a seed and
# replay it in a unit test).
#
# A new target: a kv_fuzz_target line in CMakeLists.txt, its name in
# `targets` below, and its seeds in fuzz/seeds/<target>/.
set -eu

seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz-build
out=$root/build/fuzz
mkdir -p "$out"

CXX=${CLANGXX:-clang++} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON \
    -DKV_OUTPUT_DIR="$root/build" >/dev/null
targets="request_head_fuzz http_response_fuzz dns_message_fuzz socks_request_fuzz mail_parsers_fuzz
line_tunnel_fuzz gopher_menu_fuzz ftp_engine_fuzz ftp_gateway_fuzz realaudio_fuzz registry_fuzz admin_request_fuzz
dial_rules_fuzz"
# shellcheck disable=SC2086
cmake --build "$build" -j "${JOBS:-2}" --target $targets >/dev/null

# Every report is fatal, leaks included, as in the unit and black-box runs.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Runs one target; its last log line, or the log's end and a failure line.
run_target() {
    target=$1
    corpus=$out/$target.corpus
    mkdir -p "$corpus"
    if "$out/$target" -max_total_time="$seconds" -max_len=9000 -timeout="${KV_FUZZ_TIMEOUT:-10}" \
        -artifact_prefix="$out/$target-" -print_final_stats=0 "$corpus" "$root/fuzz/seeds/$target" \
        2>"$out/$target.log"; then
        # Where it started (the seeds) and where it ended: coverage, corpus, speed.
        echo "$target: seeds $(ls "$root/fuzz/seeds/$target" | wc -l)," \
            "$(grep -m1 'INITED' "$out/$target.log" | sed 's/.*INITED *//; s/ exec.*//')" \
            "-> $(grep 'DONE' "$out/$target.log" | tail -1 | sed 's/^#\([0-9]*\).*DONE */\1 runs, /')"
    else
        tail -40 "$out/$target.log"
        echo "$target: failure, see $out/$target.log"
        return 1
    fi
}

cd "$out"
status=0
set -- $targets
while [ $# -gt 0 ]; do
    first=$1
    shift
    run_target "$first" >"$out/$first.result" &
    pid=$!
    if [ $# -gt 0 ]; then
        second=$1
        shift
        run_target "$second" >"$out/$second.result" || status=1
        cat "$out/$second.result"
    fi
    wait "$pid" || status=1
    cat "$out/$first.result"
done
exit $status
