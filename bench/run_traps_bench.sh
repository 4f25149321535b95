#!/usr/bin/env bash
# Measures what an SNMP logger costs socks-gateway's sessions: five gateways side by side on
# loopback, the same policy logging every session at level event to no logger, to the console
# (a file), and to an SNMP logger sending to a live snmptrapd, to a port nobody listens on and
# to port 0 (every send refused), each driven by socks_load; every figure is printed as a ratio
# to the gateway that logs nothing.
# Usage: bench/run_traps_bench.sh [BUILD_DIR]   (default: build). Exits 0 whatever the figures.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/bench_common.sh"
load=$build/bench/socks_load
gateway=$build/socks/socks-gateway
require_built "$load" "$gateway"
command -v snmptrapd >/dev/null || echo "snmptrapd not installed: the live-station column stays empty"

RATE_SECONDS=${RATE_SECONDS:-10}
USER=bench PASS=bench-password

station_port=$(free_port DGRAM)
if command -v snmptrapd >/dev/null; then
    mkdir -p "$work/snmp"
    echo "disableAuthorization yes" > "$work/snmp/snmptrapd.conf"
    MIBS="" SNMP_PERSISTENT_DIR=$work/snmp setsid stdbuf -oL snmptrapd -f -Lo -n -C \
        -c "$work/snmp/snmptrapd.conf" -m "" -F 'TRAP\n' "udp:127.0.0.1:$station_port" \
        > "$work/snmp/traps.log" 2>&1 &
    pids+=($!)
fi
bench_passwd "$USER" "$PASS"

# start_gateway NAME LOGGERS: a gateway logging every session at level event to LOGGERS
declare -A port
gw_access_level=event
start_gateway() {
    port[$1]=$(free_port)
    gw_loggers=$2 run_gateway "$gateway" "$1" "${port[$1]}"
}
snmp() { echo "<logger name=\"SNMP\" loglevel=\"event\"><param name=\"IP\" value=\"127.0.0.1\"/><param name=\"Port\" value=\"$1\"/><param name=\"Community\" value=\"bench\"/></logger>"; }

columns=(none console live silent refused)
start_gateway none ""
start_gateway console '<logger name="Console" loglevel="event"/>'
start_gateway live "$(snmp "$station_port")"
start_gateway silent "$(snmp "$(free_port DGRAM)")"
start_gateway refused "$(snmp 0)"

declare -A rate traps
for c in "${columns[@]}"; do
    wait_port "${port[$c]}" || { echo "gateway $c did not start:"; cat "$work/$c/gateway.log"; continue; }
    [[ $c == live ]] && ! command -v snmptrapd >/dev/null && continue
    before=$(grep -c '^TRAP' "$work/snmp/traps.log" 2>/dev/null)
    rate[$c]=$("$load" rate --proxy "127.0.0.1:${port[$c]}" --user "$USER" --pass "$PASS" \
        --seconds "$RATE_SECONDS" --workers 8 2>>"$work/load.err" | awk '/^result/ {print $2}')
    if [[ $c == live ]]; then
        sleep 1
        traps[$c]=$(( $(grep -c '^TRAP' "$work/snmp/traps.log") - ${before:-0} ))
    fi
done

ratio() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
try:
    v, b = float(sys.argv[1]), float(sys.argv[2])
    print("%.2f" % (v / b) if b > 0 else "-")
except ValueError:
    print("-")
PY
}

printf '\n%-30s %8s %8s %8s %8s %8s\n' "row" "none" "console" "live" "silent" "refused"
printf '%-30s %8s %8s %8s %8s %8s\n' "sessions + 1-byte echo (/s)" "${rate[none]:--}" \
    "${rate[console]:--}" "${rate[live]:--}" "${rate[silent]:--}" "${rate[refused]:--}"
printf '%-30s %8s %8s %8s %8s %8s\n' "rate / rate without logging" "1.00" \
    "$(ratio "${rate[console]:-}" "${rate[none]:-}")" \
    "$(ratio "${rate[live]:-}" "${rate[none]:-}")" "$(ratio "${rate[silent]:-}" "${rate[none]:-}")" \
    "$(ratio "${rate[refused]:-}" "${rate[none]:-}")"
if [[ -n ${traps[live]:-} && -n ${rate[live]:-} ]]; then
    sessions=$(/usr/bin/python3 -c "print(round(${rate[live]} * $RATE_SECONDS))")
    echo
    echo "live: traps received per session: $(ratio "${traps[live]}" "$sessions")" \
        "(each session logs several messages at level event; snmptrapd drops what it cannot keep up with)"
fi
echo "refused: failure lines printed: $(grep -c '^SNMP' "$work/refused/gateway.log")"
echo "ratios near the console column mean an SNMP logger costs sessions no more than any logger"
[[ -s $work/load.err ]] && { echo "load generator errors:"; sort "$work/load.err" | uniq -c | head; }
exit 0
