#!/usr/bin/env bash
# Installs what is missing, builds, and starts every gateway that is built on the sample
# policies of examples/, in the foreground. Ctrl-C stops them all.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/deps.sh
cmake -G Ninja -S "$top" -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build

# The gateways read their policy from $ALG_SYSCONFDIR/algd/ and may write a policy received
# from the management service there, so they get a copy of examples/, never the originals.
run=$top/build/run
mkdir -p "$run/etc/algd" "$run/rundir"
cp examples/passwd "$run/etc/passwd"
export ALG_SYSCONFDIR=$run/etc/ ALG_RUNDIR=$run/rundir

pids=()
for gateway in socks http ftp smtp; do
    program=build/$gateway/$gateway-gateway
    if [[ -x $program && -f examples/$gateway.xml ]]; then
        cp "examples/$gateway.xml" "$run/etc/algd/$gateway.xml"
        echo "starting $gateway-gateway on examples/$gateway.xml"
        "$program" -f &
        pids+=($!)
    fi
done
if [[ ${#pids[@]} -eq 0 ]]; then
    echo "no gateway is built yet: nothing to start"
    exit 0
fi
trap 'kill -TERM "${pids[@]}" 2>/dev/null || true' INT TERM
wait
