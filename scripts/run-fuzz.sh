#!/bin/sh
# Builds the fuzz targets (CMake, KV_FUZZ=ON, clang with libFuzzer and the
# address and undefined behaviour sanitizers) and runs each for the given
# number of seconds (default 30). Exits non-zero when a target finds a crash
# or a mismatch; the crashing input is left in build/fuzz/.
#
# A new target: a kv_fuzz_target line in CMakeLists.txt, its name in
# `targets` below, and a seed_<name> function that writes its seed inputs.
set -eu

seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz-build
out=$root/build/fuzz
mkdir -p "$out"

CXX=${CLANGXX:-clang++} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON \
    -DKV_OUTPUT_DIR="$root/build" >/dev/null
targets="request_head_fuzz dns_message_fuzz socks_request_fuzz mail_parsers_fuzz line_tunnel_fuzz gopher_menu_fuzz ftp_engine_fuzz ftp_gateway_fuzz realaudio_fuzz dial_rules_fuzz"
# shellcheck disable=SC2086
cmake --build "$build" -j "${JOBS:-2}" --target $targets >/dev/null

# Seed inputs per target.
seed_request_head_fuzz() {
    # The first byte carries the parse settings.
    printf '\007GET http://example.com/a/b?c HTTP/1.0\r\nHost: example.com\r\nPragma: no-cache\r\n\r\n' >"$1/get"
    printf '\001CONNECT secure.example.com:443 HTTP/1.0\r\n\r\n' >"$1/connect"
    printf '\005GET ftp://u:p@ftp.example.com:2121/pub/x.gif;refresh HTTP/1.0\nX: a\n\tb\n;c\n\n' >"$1/ftp"
    printf '\001POST http://h/f HTTP/1.0\r\nContent-Length: 4\r\nAuthorization: Basic eDp5\r\n\r\nbody' >"$1/post"
}

seed_dns_message_fuzz() {
    # An answer with a CNAME before the A record, a name, and forwarder steps.
    printf '\000\001\201\200\000\001\000\002\000\000\000\000\001a\004test\000\000\001\000\001\300\014\000\005\000\001\000\000\000\074\000\002\300\014\300\014\000\001\000\001\000\000\000\074\000\004\012\000\000\001' >"$1/answer"
    printf 'www.example.com.' >"$1/name"
    printf '\001\005\000\007\001\006\000\007\200\001\000\000\200\000\000\000\003\000\000\000' >"$1/steps"
}

seed_socks_request_fuzz() {
    # The first byte: bit 0 Socks4, bit 1 Socks5, bit 2 SocksAuthentication;
    # with bit 7 set the rest is an association datagram.
    printf '\003\004\001\000\120\177\000\000\001bob\000' >"$1/v4"
    printf '\003\005\001\000\005\001\000\003\007example\001\273' >"$1/v5-name"
    printf '\007\005\001\002\001\003bob\002pw\005\002\000\001\012\000\000\001\000\120' >"$1/v5-auth"
    printf '\003\005\002\000\002\005\003\000\004AAAAAAAAAAAAAAAA\000\000' >"$1/v5-ipv6"
    printf '\200\000\000\000\001\177\000\000\001\000\065data' >"$1/udp-v4"
    printf '\200\000\000\000\003\003abc\000\065data' >"$1/udp-name"
}

seed_line_tunnel_fuzz() {
    # The first byte picks the reader: 0 Telnet prompt, 1 POP3 dialogue.
    printf '\000\377\375\001\377\373\003host.example 2323\r\000' >"$1/telnet-negotiation"
    printf '\000ab\010c d\n' >"$1/telnet-backspace"
    printf '\001NOOP\r\nUSER bob#pop.example\r\n' >"$1/pop3-user"
    printf '\001quit\r\n' >"$1/pop3-quit"
}

seed_ftp_engine_fuzz() {
    # The first byte picks the reader: 0 replies, 1 replies collected, 2 LIST data.
    printf '\000220-Welcome\r\n 1999 was\r\n220 ready\r\n213 1234\r\n227 Entering (127,0,0,1,4,1)\r\n' >"$1/replies"
    printf '\001230-a\r\nb\r\n230-c\r\n230 done\r\n331\r\n' >"$1/collected"
    printf '\002total 3\r\n-rw-r--r-- 1 u g 2000 Jan 15 10:30 notes.txt\r\ndrwxr-xr-x 2 u g 4096 Mar  3  2019 pub dir\r\nlrwxrwxrwx 1 u g 9 Feb 28 09:05 latest -> ../rel/v2\r\n' >"$1/unix"
    printf '\00201-15-2024  10:30AM  3145728 big file.zip\r\n01-15-24  09:00PM  <DIR>  sub\r\n' >"$1/dos"
    printf '\002d [RWCEAFMS] admin 512 Jan 01 12:00 system\r\n- [RWCEAFMS] admin 10 Jan 01 12:00 <b>&.html\r\n' >"$1/other"
}

seed_mail_parsers_fuzz() {
    # The first byte picks the parser: 0 SMTP command, 1 relay, 2 end of DATA,
    # 3 header reader, 4 POP3 line and numbers, 5 mailbox name, 6 upstream
    # SMTP reply (the first byte / 11 picks the line size), 7 envelope line,
    # 8 STAT reply and RETR end, 9 queue header (name, then the block),
    # 10 schedule (hour and minute bytes, then the text).
    printf '\000RCPT TO:<a@b>' >"$1/command"
    printf '\001<x@far.example>\n127.0.5.7\n127.0.5.0/255.255.255.0 10.0.0.1\nhome.example;office' >"$1/relay"
    printf '\002line\r\n..stuffed\r\n.\r\nQUIT\r\n' >"$1/data-crlf"
    printf '\002a\n.\nb' >"$1/data-lf"
    printf '\003To: a\r\n\tb\r\nCc: c\r\nto: d\r\n\r\nbody' >"$1/header"
    printf '\004TOP 1 -5' >"$1/pop3"
    printf '\005../etc' >"$1/name"
    printf '\006250-relay.example\r\n250-AUTH LOGIN\r\n250 HELP\r\n' >"$1/reply-ehlo"
    printf '\006220 ready\n250' >"$1/reply-cut"
    printf '\021334 %01100d\r\n' 0 >"$1/reply-auth-long"  # 17: 1,024-byte lines
    {
        printf '\006'
        i=0
        while [ $i -lt 100 ]; do printf '250-x\r\n'; i=$((i + 1)); done
        printf '250 end\r\n'
    } >"$1/reply-101-lines"
    {
        printf '\006'
        i=0
        while [ $i -lt 85 ]; do printf '250-%095d\r\n' $i; i=$((i + 1)); done
        printf '250 end\r\n'
    } >"$1/reply-9k"
    printf '\007$$ Ann <ann@home.example> SIZE=9' >"$1/envelope-from"
    printf '\007$$ <>' >"$1/envelope-null"
    printf '\007T <c@d>' >"$1/envelope-rcpt"
    printf '\007' >"$1/envelope-data"
    printf '\010+OK 3 120\r\na\r\n..b\r\n.\r\n' >"$1/retr-crlf"
    printf '\010+ok 0 0\n.\n' >"$1/retr-lf"
    printf '\011To:\n$$ <a@b>\r\nT <c@d>\r\n\r\nFrom: a@b\r\nto: c@d,\r\n\te@f\r\n\r\nbody' >"$1/queue"
    printf '\012\007\00507:05 09:30 ' >"$1/schedule-at"
    printf '\012\000\000 1:30' >"$1/schedule-every"
}

seed_gopher_menu_fuzz() {
    # The same bytes are read as a server's menu and as a request path.
    printf '1Pub\t/pub\th.example\t70\r\n0Read me\t/a b?c\th\t7070\t+\r\n3err\t\t\t0\n.\r\n' >"$1/menu"
    printf 'i<b>&amp;\t"#\001\th\t70\r\n' >"$1/escapes"
    printf '7/find%%3f?two+words%%0d%%0aX' >"$1/search"
    printf '2?name+smith' >"$1/cso"
}

seed_ftp_gateway_fuzz() {
    # The first byte picks the parser: 0 login line, 1 PORT, 2 the 227
    # reply, 3 reply completion and command classes.
    printf '\000USER bob@office@ftp.example.com:2121' >"$1/login"
    printf '\001PORT 127,0,0,1,4,1' >"$1/port"
    printf '\001PORT 1, 2 ,3,4,5,256' >"$1/port-range"
    printf '\002227 Entering Passive Mode (10,0,0,2,255,255).' >"$1/passive"
    printf '\003220-banner' >"$1/reply"
}

seed_realaudio_fuzz() {
    # A player's dialogue: version, host, port, first-request length,
    # transport, end; in UDP mode the first request and the port follow.
    printf '\000\002\001\001\000\017\002stream.example\000\003\003\033\236\000\003\004\000\004\000\001\000abcd\037\100' >"$1/udp"
    printf '\000\002\001\001\000\002\002h\000\003\003\000\120\000\002\005\001\000\001\000' >"$1/tcp"
    printf '\000\002\001\002' >"$1/version"
    printf '\001\001\002' >"$1/long"
}

seed_dial_rules_fuzz() {
    # The first byte: even, a window list after two bytes of minute; odd, a pid file.
    printf '\000\002\356 08:00-12:00, 13:00-17:00' >"$1/windows"
    printf '\000\000\000 7:30-11:00;\t15:00-16:45 x' >"$1/windows-junk"
    printf '\000\005\240 99999999999:00-1:00' >"$1/huge"
    printf '\000\000\001 ,,,,;;;;\t\t\t\t    ' >"$1/separators"
    printf '\000\000\001 00:00-' >"$1/unterminated"
    printf '\0014242\n' >"$1/unit"
    printf '\0014242\nppp3\n' >"$1/linkname"
    printf '\0014242\n\n' >"$1/empty-second-line"
    printf '\0014242\nppp' >"$1/half-written"
    printf '\0010\n' >"$1/zero"
    printf '\001-17\n' >"$1/negative"
    printf '\0014242\nabcdefghijklmnopq\n' >"$1/long-interface"
    printf '\0014242\n../x\n' >"$1/slash"
    printf '\001\377\376\000\n\001' >"$1/binary"
    { printf '\001'; head -c 300 /dev/zero | tr '\0' '7'; } >"$1/too-long"
}

cd "$out"
for target in $targets; do
    corpus=$out/$target.corpus
    seeds=$out/$target.seeds
    mkdir -p "$corpus" "$seeds"
    "seed_$target" "$seeds"
    "$out/$target" -max_total_time="$seconds" -max_len=9000 -timeout=10 \
        -artifact_prefix="$out/$target-" -print_final_stats=0 "$corpus" "$seeds" 2>"$out/$target.log" || {
        tail -40 "$out/$target.log" >&2
        echo "$target: failure, see $out/$target.log" >&2
        exit 1
    }
    echo "$target: $(tail -1 "$out/$target.log")"
done
