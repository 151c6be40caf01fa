#!/bin/sh
# Installs the Debian packages a target needs, or says exactly which are missing.
# Usage: install-deps.sh build|test|bench
set -e
build_pkgs="g++ cmake make"
test_pkgs="$build_pkgs libgtest-dev python3-pytest python3-aiosmtpd curl openssl iproute2 util-linux clang libclang-rt-14-dev chromium strace python3-pyftpdlib dovecot-pop3d vsftpd desktop-file-utils logrotate"
bench_pkgs="$build_pkgs nginx-light socat rinetd tinyproxy squid apache2-utils curl python3 dnsmasq-base dnsperf microsocks dante-server hey dovecot-pop3d fetchmail strace iproute2 util-linux ftp-proxy python3-pyftpdlib vsftpd"

case "$1" in
    build) want="$build_pkgs" ;;
    test)  want="$test_pkgs" ;;
    bench)
        want="$bench_pkgs"
        # The SMTP peer conflicts with every other mail transport: apt would
        # remove the one installed, so it comes only where there is none.
        dpkg-query -W -f='${Provides}\n' 2>/dev/null | grep -q mail-transport-agent || want="$want opensmtpd"
        ;;
    *) echo "usage: $0 build|test|bench" >&2; exit 2 ;;
esac

missing=""
for p in $want; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing >/dev/null
else
    echo "missing packages:$missing" >&2
    echo "install them with: sudo apt-get install -y$missing" >&2
    exit 1
fi
