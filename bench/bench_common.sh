# Sourced by the benchmark scripts after they set `top` (the source tree): the build folder
# from the script's first argument (default: build), a work folder and the processes to stop
# (both cleaned up on exit), free loopback ports and a bounded wait for a listener.

build=$(cd "${1:-$top/build}" && pwd)
# require_built FILE...: the script ends (status 0) with a note when one was not built
require_built() {
    for f in "$@"; do
        [[ -x $f ]] || { echo "missing $f: build first (ninja -C $build)"; exit 0; }
    done
}

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

# free_port [DGRAM]: a TCP (or UDP) port on 127.0.0.1 that no one used a moment ago
free_port() { /usr/bin/python3 -c "import socket; s=socket.socket(socket.AF_INET, socket.SOCK_${1:-STREAM}); s.bind(('127.0.0.1',0)); print(s.getsockname()[1])"; }
wait_port() {  # bounded: 50 tries of 0.1 s
    for _ in $(seq 50); do
        /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.2)" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# median VALUE...: the middle one of the numbers given (the lower of the two middle ones for an
# even count), empty when none is a number. Bulk rows take several runs in turn over every
# proxy, so that a slow spell of the shared cores falls on all of them alike.
median() { printf '%s\n' "$@" | grep -E '^[0-9]+([.][0-9]+)?$' | sort -g | awk '{v[NR] = $1} END {if (NR) print v[int((NR + 1) / 2)]}'; }

# cpu_ticks SID: user and system clock ticks (/proc/PID/stat, every thread) of every process of
# a session: a proxy started with setsid, its child processes included (danted, squid's helpers).
# A child that has ended and been reaped counts in its parent's children's ticks (fields 16 and
# 17), so a proxy that starts and ends workers during the run loses none of their time.
cpu_ticks() {
    local t=0 p
    for p in $(pgrep -s "$1"); do t=$(( t + $(awk '{print $14 + $15 + $16 + $17}' "/proc/$p/stat" 2>/dev/null || echo 0) )); done
    echo "$t"
}
# us_per TICKS COUNT: microseconds of CPU per item (empty unless COUNT is a positive number)
us_per() {
    /usr/bin/python3 -c "import os, sys; n = float(sys.argv[2]); print('%.0f' % (float(sys.argv[1]) / os.sysconf('SC_CLK_TCK') * 1e6 / n) if n > 0 else '')" "$1" "$2" 2>/dev/null
}

# bench_passwd USER PASS: the gateways' password file, $work/passwd, holding that one user
bench_passwd() { printf '%s=%s\n' "$1" "$(printf '%s' "$2" | md5sum | cut -d' ' -f1)" > "$work/passwd"; }

# run_gateway PROGRAM NAME PORT [PRELOAD]: starts the gateway PROGRAM from this shell (so that
# clean-up stops and reaps it; its pid in `started`), in $work/NAME (its output in gateway.log
# there), on a policy of the sample's shape: listening on PORT, users from $work/passwd, every
# request allowed. Set beforehand, if wanted: gw_loggers (default: the console, off),
# gw_general (more of <general>), gw_access_level (the access rule's log level: default none),
# gw_access_filters (its filters) and gw_process (processing rules).
run_gateway() {
    local program=$1 dir=$work/$2 service loggers process=""
    service=$(basename "$program" -gateway)
    loggers=${gw_loggers:-'<logger name="Console" loglevel="none"/>'}
    [[ -n ${gw_process:-} ]] && process="<process>$gw_process</process>"
    mkdir -p "$dir/etc/algd" "$dir/run"
    cat > "$dir/etc/algd/$service.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<algpolicy>
  <proxy name="alg_$service">
    <general>
      <listen_port>$3</listen_port>
      <session_timeout>60</session_timeout>${gw_general:-}
      <loggers>$loggers</loggers>
      <authsystem name="Plaintext file"><param name="pwdfile" value="$work/passwd"/></authsystem>
    </general>
    <handshake><access userid="" loglevel="${gw_access_level:-none}" action="allow">${gw_access_filters:-}</access></handshake>
    $process
  </proxy>
</algpolicy>
XML
    LD_PRELOAD=${4:-} ALG_SYSCONFDIR=$dir/etc/ ALG_RUNDIR=$dir/run setsid "$program" -f > "$dir/gateway.log" 2>&1 &
    started=$!
    pids+=("$started")
}
