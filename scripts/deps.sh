#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need; installs
# only what is missing, so running it again costs nothing.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ pkg-config git
    qtbase5-dev libre2-dev libxml2-dev libmd-dev libsnmp-dev libpam0g-dev zlib1g-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    # smtp-gateway: encoded words in message headers
    libgmime-3.0-dev
    # fuzz targets: clang with its libFuzzer and sanitizer run-times
    clang libclang-rt-14-dev
    # tests: real clients and servers on loopback
    python3 python3-pytest python3-pyftpdlib python3-aiosmtpd curl lftp swaks vsftpd iproute2
    freeradius freeradius-utils libpam-wrapper snmptrapd snmp
    # installation: unit checks, manual pages, the Debian package and its dependencies
    systemd man-db groff-base dpkg-dev binutils
    # benchmarks: peers measured side by side
    microsocks dante-server tinyproxy squid apache2-utils vsftpd
    # operator tools: metrics parser and a headless browser for the status page
    python3-prometheus-client chromium
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

run_root() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }
echo "installing: ${missing[*]}"
run_root apt-get update -qq
# A freshly installed server package must not start a system-wide daemon of its own.
run_root env DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The servers are test and benchmark peers, started by the tests and benchmarks themselves.
if command -v systemctl >/dev/null 2>&1; then
    for unit in danted tinyproxy squid vsftpd freeradius snmptrapd; do
        if systemctl is-active --quiet "$unit" 2>/dev/null; then run_root systemctl stop "$unit" || true; fi
    done
fi
