#!/usr/bin/env bash
# Measures http-gateway side by side with the HTTP proxies tinyproxy (BasicAuth) and squid
# (basic_ncsa_auth), all on loopback with a Python origin server (for the small GETs one in C++,
# small_origin, which a Python one would hold every proxy down to), and prints every figure as a
# ratio to the best peer.
# Usage: bench/run_http_bench.sh [BUILD_DIR]   (default: build). Exits 0 whatever the figures.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/bench_common.sh"
gateway=$build/http/http-gateway
tools=$top/bench/http_bench_tools.py
py=/usr/bin/python3
preload=$build/bench/libcopy_relay_preload.so
small_origin=$build/bench/small_origin
require_built "$gateway" "$preload" "$small_origin"
command -v ab >/dev/null || { echo "ab (apache2-utils) not installed: nothing to measure"; exit 0; }
command -v tinyproxy >/dev/null || echo "tinyproxy not installed: its column stays empty"
command -v squid >/dev/null || echo "squid not installed: its column stays empty"

SMALL_REQUESTS=${SMALL_REQUESTS:-5000}    # small GETs per proxy, 8 at a time
PAGE_REQUESTS=${PAGE_REQUESTS:-40}        # 1 MiB pages per proxy, one at a time (0: no page rows)
BULK_BYTES=${BULK_BYTES:-1073741824}      # one CONNECT tunnel
BULK_RUNS=${BULK_RUNS:-5}                 # the CONNECT figure: the median of this many runs (0: none)
GET_BYTES=${GET_BYTES:-1073741824}        # one GET of a file this size per proxy
GET_RUNS=${GET_RUNS:-3}                   # the GET figure: the median of this many runs (0: none)
USER=bench PASS=bench-password

ulimit -n 65536 2>/dev/null || ulimit -n 8192 2>/dev/null || true
chmod 0755 "$work"  # squid's helpers run as nobody and read the password file

# The origin server.
setsid $py "$tools" origin "$work/origin.port" > "$work/origin.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/origin.port ]] && break; sleep 0.1; done
origin=$(cat "$work/origin.port" 2>/dev/null) || { echo "origin did not start"; exit 0; }
setsid "$small_origin" "$work/small.port" > "$work/small.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/small.port ]] && break; sleep 0.1; done
small=$(cat "$work/small.port" 2>/dev/null) || { echo "small_origin did not start"; exit 0; }

# http-gateway: the sample policy's shape with a bench user, one body rule, logging off. A
# second one, with the relay's pipes refused (copy_relay_preload), measures the copying relay
# beside the splicing one on the CONNECT tunnel in the same run.
bench_passwd "$USER" "$PASS"
gw_general='
      <default_charset>utf-8</default_charset>'
gw_process='<replace userid="" loglevel="none"><body masktype="regexp" from="needle" to="thread"/></replace>'
gw_port=$(free_port)
run_gateway "$gateway" gateway "$gw_port"; gw_pid=$started
cp_port=$(free_port)
run_gateway "$gateway" copying "$cp_port" "$preload"
# A third one without body rules, whose responses pass as they arrive.
gw_process=""
st_port=$(free_port)
run_gateway "$gateway" streaming "$st_port"
st_pid=$started

tp_port=$(free_port); tp_on=""
if command -v tinyproxy >/dev/null; then
    cat > "$work/tinyproxy.conf" <<CONF
Port $tp_port
Listen 127.0.0.1
Timeout 60
MaxClients 256
LogLevel Critical
BasicAuth $USER $PASS
Allow 127.0.0.1
CONF
    setsid tinyproxy -d -c "$work/tinyproxy.conf" > "$work/tinyproxy.log" 2>&1 &
    tp_pid=$!; pids+=($tp_pid); tp_on=1
fi

sq_port=$(free_port); sq_on=""
if command -v squid >/dev/null && [[ -x /usr/lib/squid/basic_ncsa_auth ]]; then
    printf '%s:%s\n' "$USER" "$(openssl passwd -apr1 "$PASS")" > "$work/htpasswd"
    chmod 0644 "$work/htpasswd"
    cat > "$work/squid.conf" <<CONF
http_port 127.0.0.1:$sq_port
auth_param basic program /usr/lib/squid/basic_ncsa_auth $work/htpasswd
auth_param basic children 8
acl authenticated proxy_auth REQUIRED
http_access allow authenticated
http_access deny all
cache deny all
cache_mem 8 MB
pid_filename $work/squid.pid
access_log none
cache_log $work/squid-cache.log
coredump_dir $work
shutdown_lifetime 1 seconds
CONF
    setsid squid -N -f "$work/squid.conf" > "$work/squid.log" 2>&1 &
    sq_pid=$!; pids+=($sq_pid); sq_on=1
fi

wait_port "$gw_port" || { echo "http-gateway did not start:"; cat "$work/gateway/gateway.log"; exit 0; }
wait_port "$cp_port" || { echo "copying http-gateway did not start:"; cat "$work/copying/gateway.log"; exit 0; }
wait_port "$st_port" || { echo "streaming http-gateway did not start:"; cat "$work/streaming/gateway.log"; exit 0; }
[[ -n $tp_on ]] && { wait_port "$tp_port" || tp_on=""; }
[[ -n $sq_on ]] && { wait_port "$sq_port" || sq_on=""; }

port_of() { case $1 in gateway) echo "$gw_port" ;; copying) echo "$cp_port" ;; streaming) echo "$st_port" ;; tinyproxy) echo "$tp_port" ;; squid) echo "$sq_port" ;; esac; }
pid_of() { case $1 in gateway) echo "$gw_pid" ;; streaming) echo "$st_pid" ;; tinyproxy) echo "$tp_pid" ;; squid) echo "$sq_pid" ;; *) echo - ;; esac; }
available() { case $1 in direct|gateway|streaming) return 0 ;; tinyproxy) [[ -n $tp_on ]] ;; squid) [[ -n $sq_on ]] ;; esac; }
column_of() { [[ $1 == streaming ]] && echo gateway || echo "$1"; }
# ab through proxy $1 (or direct); prints ab's report
run_ab() {
    local p=$1; shift
    if [[ $p == direct ]]; then ab -q "$@" 2>>"$work/ab.err"
    else ab -q -X "127.0.0.1:$(port_of "$p")" -P "$USER:$PASS" "$@" 2>>"$work/ab.err"; fi
}
failed() { awk '/^(Failed requests|Non-2xx responses):/ {s += $3} END {print s + 0}'; }

declare -A fig
for p in direct gateway tinyproxy squid; do
    available "$p" || continue
    [[ $p != direct ]] && t0=$(cpu_ticks "$(pid_of "$p")")
    out=$(run_ab "$p" -n "$SMALL_REQUESTS" -c 8 "http://127.0.0.1:$small/small")
    if [[ $(failed <<<"$out") == 0 ]]; then
        fig[$p,rate]=$(awk '/^Requests per second:/ {print $4}' <<<"$out")
        [[ $p != direct ]] && fig[$p,ratecpu]=$(us_per $(( $(cpu_ticks "$(pid_of "$p")") - t0 )) \
            "$(awk '/^Complete requests:/ {print $3}' <<<"$out")")
    fi
    (( PAGE_REQUESTS > 0 )) || continue
    out=$(run_ab "$p" -n "$PAGE_REQUESTS" -c 1 "http://127.0.0.1:$origin/page")
    if [[ $(failed <<<"$out") == 0 ]]; then
        fig[$p,p50]=$(awk '$1 == "50%" {print $2}' <<<"$out")
        fig[$p,p99]=$(awk '$1 == "99%" {print $2}' <<<"$out")
    fi
done
# The same page without a body rule: the gateway's column is the one without rules.
for p in direct streaming tinyproxy squid; do
    available "$p" || continue
    out=$(run_ab "$p" -n "$PAGE_REQUESTS" -c 1 "http://127.0.0.1:$origin/page")
    if [[ $(failed <<<"$out") == 0 ]]; then
        fig[$(column_of "$p"),p50s]=$(awk '$1 == "50%" {print $2}' <<<"$out")
        fig[$(column_of "$p"),p99s]=$(awk '$1 == "99%" {print $2}' <<<"$out")
    fi
done
# get_run PEER [connect]: "MB/s peak-KiB growth-KiB own-KiB" of one GET of GET_BYTES through
# PEER (or direct), or through a CONNECT tunnel of PEER
get_run() {
    local via=direct creds=-
    [[ $1 != direct ]] && { via=127.0.0.1:$(port_of "$1"); creds=$USER:$PASS; }
    $py "$tools" get "$via" "127.0.0.1:$origin" "$GET_BYTES" "$creds" "$(pid_of "$1")" ${2:-} \
        2>>"$work/get.err" | awk '/^result/ {print $2, $3, $4, $5}'
}
declare -A gets mems grows owns
for ((r = 0; r < GET_RUNS; r++)); do
    for p in direct streaming tunnel tinyproxy squid; do
        if [[ $p == tunnel ]]; then read -r rate mem grow own <<<"$(get_run streaming connect)"
        else available "$p" || continue; read -r rate mem grow own <<<"$(get_run "$p")"; fi
        col=$(column_of "$p")
        gets[$col]+=" $rate"
        [[ $p != tunnel && -n $mem && $mem != 0 ]] &&
            { mems[$col]+=" $mem"; grows[$col]+=" $grow"; owns[$col]+=" $own"; }
    done
done
for c in "${!gets[@]}"; do fig[$c,get]=$(median ${gets[$c]}); done
# The memory rows: the highest of the runs, in MiB.
highest_mib() { printf '%s\n' "$@" | sort -g | tail -1 | awk '{printf "%.1f", $1 / 1024}'; }
for c in "${!mems[@]}"; do
    fig[$c,getmem]=$(highest_mib ${mems[$c]})
    fig[$c,getgrow]=$(highest_mib ${grows[$c]})
    fig[$c,getown]=$(highest_mib ${owns[$c]})
done

# tunnel_rate PEER: MB/s of one CONNECT tunnel carrying BULK_BYTES through PEER (or direct)
tunnel_rate() {
    local via=direct creds=()
    [[ $1 != direct ]] && { via=127.0.0.1:$(port_of "$1"); creds=("$USER:$PASS"); }
    $py "$tools" tunnel "$via" "$BULK_BYTES" "${creds[@]}" 2>>"$work/tunnel.err" | awk '/^result/ {print $2}'
}
declare -A runs
for ((r = 0; r < BULK_RUNS; r++)); do
    for p in direct copying gateway tinyproxy squid; do
        [[ $p == copying ]] || available "$p" || continue
        runs[$p]+=" $(tunnel_rate "$p")"
    done
done
for p in "${!runs[@]}"; do fig[$p,bulk]=$(median ${runs[$p]}); done
copying_bulk=${fig[copying,bulk]:-}
unset 'fig[copying,bulk]'

for key in "${!fig[@]}"; do printf '%s %s\n' "${key//,/ }" "${fig[$key]}"; done > "$work/figures"
$py "$tools" table "$work/figures"
ratio() { $py -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2" 2>/dev/null || echo -; }
echo "CONNECT bulk, copying relay (the gateway with its pipes refused): ${copying_bulk:--} MB/s;" \
    "copying / direct $(ratio "${copying_bulk:-}" "${fig[direct,bulk]:-}")," \
    "gateway / copying $(ratio "${fig[gateway,bulk]:-}" "${copying_bulk:-}")"
echo "CONNECT bulk: median of $BULK_RUNS runs; direct:${runs[direct]:-}, copying:${runs[copying]:-}, gateway:${runs[gateway]:-}"
echo "bulk GET of $GET_BYTES bytes: median of $GET_RUNS runs; direct:${gets[direct]:-}, gateway:${gets[gateway]:-}," \
    "its CONNECT tunnel:${gets[tunnel]:-}, tinyproxy:${gets[tinyproxy]:-}, squid:${gets[squid]:-}"
[[ -s $work/ab.err ]] && { echo "ab errors:"; sort "$work/ab.err" | uniq -c | head; }
[[ -s $work/tunnel.err ]] && { echo "tunnel errors:"; sort "$work/tunnel.err" | uniq -c | head; }
[[ -s $work/get.err ]] && { echo "GET errors:"; sort "$work/get.err" | uniq -c | head; }
exit 0
