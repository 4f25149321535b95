#!/usr/bin/env bash
# Installs what is missing, builds, and starts every gateway that is built on the sample
# policies of examples/, in the foreground. Ctrl-C stops them all.
#   scripts/run.sh                 as above, with the gateways' folders in build/run/
#   scripts/run.sh --prepare DIR   only prepares the gateways' folders in DIR
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
gateways=(socks http ftp smtp)

# The folders hold the bus socket, the policies and the password file: only their owner may
# read them or plant anything there, whatever umask the script was started with.
umask 077

# Makes the gateways' folders below $1 (mode 0700) and copies examples/ there (mode 0600).
# The gateways read their policy from $ALG_SYSCONFDIR/algd/ and may write a policy received
# from the management service there, so they get copies, never the originals.
prepare() {
    local run=$1 dir
    for dir in "$run" "$run/etc" "$run/etc/algd" "$run/rundir"; do
        mkdir -p "$dir"
        if [[ -L $dir || ! -O $dir ]]; then
            echo "run.sh: $dir is not a folder of this user's own" >&2
            exit 1
        fi
        chmod 0700 "$dir"  # folders left by an earlier run under another umask
    done
    install -m 0600 examples/passwd "$run/etc/passwd"
    for gateway in "${gateways[@]}"; do
        if [[ -f examples/$gateway.xml ]]; then
            install -m 0600 "examples/$gateway.xml" "$run/etc/algd/$gateway.xml"
        fi
    done
}

if [[ ${1:-} == --prepare ]]; then
    [[ $# -eq 2 ]] || { echo "usage: scripts/run.sh [--prepare DIR]" >&2; exit 2; }
    prepare "$2"
    exit 0
fi

scripts/deps.sh
cmake -G Ninja -S "$top" -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build

run=$top/build/run
prepare "$run"
export ALG_SYSCONFDIR=$run/etc/ ALG_RUNDIR=$run/rundir

pids=()
# The management service first, so that every gateway reports to it from its start.
if [[ -x build/tools/algctl ]]; then
    build/tools/algctl serve &
    pids+=($!)
    echo "management service: ALG_RUNDIR=$ALG_RUNDIR build/tools/algctl status"
fi
for gateway in "${gateways[@]}"; do
    program=build/$gateway/$gateway-gateway
    if [[ -x $program && -f examples/$gateway.xml ]]; then
        echo "starting $gateway-gateway on examples/$gateway.xml"
        "$program" -f &
        pids+=($!)
        started=1
    fi
done
if [[ -z ${started:-} ]]; then
    echo "no gateway is built yet: nothing to start"
    kill -TERM "${pids[@]}" 2>/dev/null || true
    exit 0
fi
trap 'kill -TERM "${pids[@]}" 2>/dev/null || true' INT TERM
wait
