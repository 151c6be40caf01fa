#!/bin/sh
# Builds the fuzz targets with clang's libFuzzer and the address and undefined
# behaviour sanitizers, then runs each for the given number of seconds
# (default 30). Exits non-zero when a target finds a crash or a mismatch; the
# crashing input is left in build/fuzz/.
set -eu

run_seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/fuzz
mkdir -p "$out"

cxx=${CLANGXX:-clang++}
flags="-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I$root"

# request_head_fuzz: the proxy's request-head reader and parser.
target=request_head_fuzz
# shellcheck disable=SC2086
$cxx $flags -o "$out/$target" \
    "$root/fuzz/request_head_fuzz.cpp" \
    "$root/proxy/request_parse.cpp" \
    "$root/net/md5.cpp" \
    "$root/net/text_utils.cpp" \
    "$root/platform/bounded_text.cpp" \
    "$root/platform/socket.cpp"

corpus=$out/$target.corpus
seeds=$out/$target.seeds
mkdir -p "$corpus" "$seeds"
# The first byte carries the parse settings.
printf '\007GET http://example.com/a/b?c HTTP/1.0\r\nHost: example.com\r\nPragma: no-cache\r\n\r\n' >"$seeds/get"
printf '\001CONNECT secure.example.com:443 HTTP/1.0\r\n\r\n' >"$seeds/connect"
printf '\005GET ftp://u:p@ftp.example.com:2121/pub/x.gif;refresh HTTP/1.0\nX: a\n\tb\n;c\n\n' >"$seeds/ftp"
printf '\001POST http://h/f HTTP/1.0\r\nContent-Length: 4\r\nAuthorization: Basic eDp5\r\n\r\nbody' >"$seeds/post"

cd "$out"
"$out/$target" -max_total_time="$run_seconds" -max_len=9000 -timeout=10 \
    -artifact_prefix="$out/$target-" -print_final_stats=0 "$corpus" "$seeds" 2>"$out/$target.log" || {
    tail -40 "$out/$target.log" >&2
    echo "$target: failure, see $out/$target.log" >&2
    exit 1
}
tail -1 "$out/$target.log"
