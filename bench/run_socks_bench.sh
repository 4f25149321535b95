#!/usr/bin/env bash
# Measures socks-gateway side by side with a direct connection and with the SOCKS 5 peers
# microsocks and danted, all on loopback, and prints every figure as a ratio to the best peer.
# Usage: bench/run_socks_bench.sh [BUILD_DIR]   (default: build). Exits 0 whatever the figures.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/bench_common.sh"
load=$build/bench/socks_load
gateway=$build/socks/socks-gateway
preload=$build/bench/libcopy_relay_preload.so
require_built "$load" "$gateway" "$preload"
command -v microsocks >/dev/null || echo "microsocks not installed: its column stays empty"
command -v danted >/dev/null || echo "danted not installed: its column stays empty"

BULK_BYTES=${BULK_BYTES:-1073741824}   # one tunnel
BULK8_BYTES=${BULK8_BYTES:-268435456}  # each of 8 tunnels
BULK_RUNS=${BULK_RUNS:-5}              # bulk figures: the median of this many runs (0: none)
RATE_SECONDS=${RATE_SECONDS:-10}
IDLE_TUNNELS=${IDLE_TUNNELS:-1000}     # 0: no idle rows
IDLE_SECONDS=${IDLE_SECONDS:-10}
USER=bench PASS=bench-password

ulimit -n 65536 2>/dev/null || ulimit -n 8192 2>/dev/null || true

# socks-gateway: the sample policy's shape with a bench user, console logging off. A second
# one, the "copying" column, runs with the relay's pipes refused (copy_relay_preload), so that
# the copying relay it falls back to is measured beside the splicing one in the same run.
bench_passwd "$USER" "$PASS"
gw_access_filters='<filterby name="Host" masktype="wild">*</filterby>'
gw_port=$(free_port)
run_gateway "$gateway" gateway "$gw_port"; gw_pid=$started
cp_port=$(free_port)
run_gateway "$gateway" copying "$cp_port" "$preload"; cp_pid=$started

ms_port=$(free_port); ms_pid=""
if command -v microsocks >/dev/null; then
    setsid microsocks -i 127.0.0.1 -p "$ms_port" -u "$USER" -P "$PASS" > /dev/null 2>&1 &
    ms_pid=$!; pids+=($ms_pid)
fi

# danted authenticates username/password only against system accounts; the bench does not
# create accounts on the host, so danted runs with method "none".
dd_port=$(free_port); dd_pid=""
if command -v danted >/dev/null; then
    cat > "$work/danted.conf" <<CONF
logoutput: /dev/null
internal: 127.0.0.1 port = $dd_port
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
CONF
    setsid danted -f "$work/danted.conf" -p "$work/danted.pid" -N 2 > /dev/null 2>&1 &
    dd_pid=$!; pids+=($dd_pid)
fi

wait_port "$gw_port" || { echo "socks-gateway did not start:"; cat "$work/gateway/gateway.log"; exit 0; }
wait_port "$cp_port" || { echo "copying socks-gateway did not start:"; cat "$work/copying/gateway.log"; exit 0; }
[[ -n $ms_pid ]] && { wait_port "$ms_port" || ms_pid=""; }
[[ -n $dd_pid ]] && { wait_port "$dd_port" || dd_pid=""; }

# proxy_args NAME: the socks_load options that reach that proxy
proxy_args() {
    case $1 in
        direct) echo "" ;;
        gateway) echo "--proxy 127.0.0.1:$gw_port --user $USER --pass $PASS" ;;
        copying) echo "--proxy 127.0.0.1:$cp_port --user $USER --pass $PASS" ;;
        microsocks) echo "--proxy 127.0.0.1:$ms_port --user $USER --pass $PASS" ;;
        danted) echo "--proxy 127.0.0.1:$dd_port" ;;
    esac
}
proxy_pid() {
    case $1 in
        gateway) echo "$gw_pid" ;;
        copying) echo "$cp_pid" ;;
        microsocks) echo "$ms_pid" ;;
        danted) echo "$dd_pid" ;;
    esac
}
available() { case $1 in direct|gateway|copying) return 0 ;; microsocks) [[ -n $ms_pid ]] ;; danted) [[ -n $dd_pid ]] ;; esac; }
result() { "$load" "$@" 2>>"$work/load.err" | awk '/^result/ {print $2}'; }

per_gib() { /usr/bin/python3 -c "import os; print('%.2f' % ($1 / os.sysconf('SC_CLK_TCK') / ($BULK_BYTES / 2**30)))"; }

declare -A fig runs
for ((r = 0; r < BULK_RUNS; r++)); do
    for p in direct copying gateway microsocks danted; do
        available "$p" || continue
        args=$(proxy_args "$p")
        [[ $p != direct ]] && t0=$(cpu_ticks "$(proxy_pid "$p")")
        runs[$p,bulk1]+=" $(result bulk $args --bytes "$BULK_BYTES" --tunnels 1)"
        [[ $p != direct ]] && runs[$p,cpu1]+=" $(per_gib $(( $(cpu_ticks "$(proxy_pid "$p")") - t0 )))"
        runs[$p,bulk8]+=" $(result bulk $args --bytes "$BULK8_BYTES" --tunnels 8)"
    done
done
for key in "${!runs[@]}"; do fig[$key]=$(median ${runs[$key]}); done
for p in direct copying gateway microsocks danted; do
    available "$p" || continue
    args=$(proxy_args "$p")
    [[ $p != direct ]] && t0=$(cpu_ticks "$(proxy_pid "$p")")
    out=$("$load" rate $args --seconds "$RATE_SECONDS" --workers 8 2>>"$work/load.err")
    fig[$p,rate]=$(awk '/^result/ {print $2}' <<<"$out")
    if [[ $p != direct ]]; then
        fig[$p,ratecpu]=$(us_per $(( $(cpu_ticks "$(proxy_pid "$p")") - t0 )) "$(awk '/^connections/ {print $2}' <<<"$out")")
    fi
    if [[ $p != direct && $IDLE_TUNNELS -gt 0 ]]; then
        pid=$(proxy_pid "$p")
        line=$("$load" idle $args --tunnels "$IDLE_TUNNELS" --seconds "$IDLE_SECONDS" --sid "$pid" 2>>"$work/load.err" | tail -1)
        fig[$p,idlecpu]=$(awk '{print $2}' <<<"$line")
        fig[$p,idlerss]=$(awk '{print $4}' <<<"$line")
    fi
done

# ratio VALUE BEST HIGHER_IS_BETTER: how the gateway stands to the best peer (>1 is better)
ratio() {
    /usr/bin/python3 - "$1" "$2" "$3" <<'PY'
import sys
v, b, hib = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
try:
    v, b = float(v), float(b)
    if hib: print("%.2f" % (v / b) if b > 0 else "-")
    else: print("%.2f" % (b / v) if v > 0 else ("1.00" if b == 0 else "inf"))
except ValueError:
    print("-")
PY
}
best() {  # best peer value for a row: max or min
    local row=$1 hib=$2 b=""
    for p in microsocks danted; do
        v=${fig[$p,$row]:-}; [[ -z $v ]] && continue
        if [[ -z $b ]]; then b=$v
        elif /usr/bin/python3 -c "import sys; sys.exit(0 if (float('$v') > float('$b')) == ($hib == 1) else 1)"; then b=$v; fi
    done
    echo "$b"
}

printf '\n%-34s %10s %10s %10s %10s %10s %12s\n' "row" "direct" "copying" "gateway" "microsocks" "danted" "gw/best peer"
row() {
    local key=$1 label=$2 hib=$3 b
    b=$(best "$key" "$hib")
    printf '%-34s %10s %10s %10s %10s %10s %12s\n' "$label" "${fig[direct,$key]:--}" "${fig[copying,$key]:--}" "${fig[gateway,$key]:--}" \
        "${fig[microsocks,$key]:--}" "${fig[danted,$key]:--}" "$(ratio "${fig[gateway,$key]:-}" "$b" "$hib")"
}
row bulk1 "bulk, 1 tunnel (MB/s)" 1
row cpu1 "CPU per GiB, 1 tunnel (s)" 0
row bulk8 "bulk, 8 tunnels (MB/s)" 1
row rate "handshakes + 1-byte echo (/s)" 1
row ratecpu "  CPU per connection (us)" 0
row idlecpu "idle ${IDLE_TUNNELS} tunnels ${IDLE_SECONDS}s (CPU s)" 0
row idlerss "idle RSS per tunnel (KiB)" 0
echo
for key in bulk1 bulk8; do
    echo "$key: gateway / direct $(ratio "${fig[gateway,$key]:-}" "${fig[direct,$key]:-}" 1)," \
        "copying / direct $(ratio "${fig[copying,$key]:-}" "${fig[direct,$key]:-}" 1)," \
        "gateway / copying $(ratio "${fig[gateway,$key]:-}" "${fig[copying,$key]:-}" 1)"
done
echo "bulk rows: median of $BULK_RUNS runs; 1 tunnel direct:${runs[direct,bulk1]:-}, copying:${runs[copying,bulk1]:-}, gateway:${runs[gateway,bulk1]:-}"
echo "copying: the same gateway with the relay's pipes refused, so that it copies through its buffer"
echo "ratios above 1 mean the gateway is better than the best peer (lower CPU and memory count as better)"
[[ -s $work/load.err ]] && { echo "load generator errors:"; sort "$work/load.err" | uniq -c | head; }
exit 0
