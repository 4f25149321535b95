#!/usr/bin/env bash
# Measures smtp-gateway against mail sent straight into the same aiosmtpd sink, in one run on
# loopback, and prints the figures with their ratio to the direct path.
# Usage: bench/run_smtp_bench.sh [BUILD_DIR]   (default: build). Exits 0 whatever the figures.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/bench_common.sh"
gateway=$build/smtp/smtp-gateway
require_built "$gateway"
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || { echo "python3-aiosmtpd not installed"; exit 0; }

SECONDS_EACH=${SECONDS_EACH:-10}   # per row
CLIENTS=${CLIENTS:-8}
MESSAGE_BYTES=${MESSAGE_BYTES:-10240}
USER=bench PASS=bench-password

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# The sink: aiosmtpd with a handler that accepts and drops every message.
sink_port=$(free_port)
setsid /usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$sink_port" -c aiosmtpd.handlers.Sink \
    > "$work/sink.log" 2>&1 &
pids+=($!)

# Two gateways on the sample policy's shape, console logging off: without rules, and with a
# replace rule on Subject and a cut rule on RCPT TO that match nothing the load sends.
bench_passwd "$USER" "$PASS"
gw_port=$(free_port)
run_gateway "$gateway" plain "$gw_port"; gw_pid=$started
gw_process='
      <replace userid="" loglevel="none"><option name="Subject" masktype="regexp" from="confidential" to="[filtered]"/></replace>
      <cut userid="" loglevel="none"><option name="RCPT TO" masktype="wild" from="*@blocked.example*"/></cut>'
gr_port=$(free_port)
run_gateway "$gateway" rules "$gr_port"; gr_pid=$started

wait_port "$sink_port" || { echo "aiosmtpd did not start:"; cat "$work/sink.log"; exit 0; }
wait_port "$gw_port" || { echo "smtp-gateway did not start:"; cat "$work/plain/gateway.log"; exit 0; }
wait_port "$gr_port" || { echo "smtp-gateway (rules) did not start:"; cat "$work/rules/gateway.log"; exit 0; }

# The load: CLIENTS concurrent sessions at a time, each one message (greeting, EHLO, the
# proxy login when given a user, MAIL, RCPT, DATA, MESSAGE_BYTES of body, QUIT) on a new
# connection, for SECONDS_EACH seconds. Prints "result <messages/s> <failed sessions>".
cat > "$work/load.py" <<'PY'
import asyncio, base64, sys, time
port, seconds, clients, size = (int(a) for a in sys.argv[1:5])
user = sys.argv[5] if len(sys.argv) > 5 else ""
password = sys.argv[6] if len(sys.argv) > 6 else ""
line = b"x" * 76 + b"\r\n"
body = b"From: a@example.org\r\nTo: b@example.org\r\nSubject: bench\r\n\r\n"
body += line * max(1, (size - len(body)) // len(line)) + b".\r\n"

async def reply(r):
    for _ in range(100):
        l = await r.readline()
        if len(l) < 4 or l[3:4] != b"-":
            return l[:3]
    return b""

async def one():
    r, w = await asyncio.open_connection("127.0.0.1", port)
    try:
        steps = [b"EHLO bench\r\n"]
        if user:
            steps.append(b"AUTH LOGIN " + base64.b64encode(user.encode()) + b"\r\n")
            steps.append(base64.b64encode(password.encode()) + b"\r\n")
        steps += [b"MAIL FROM:<a@example.org>\r\n", b"RCPT TO:<b@example.org>\r\n", b"DATA\r\n",
                  body, b"QUIT\r\n"]
        want = [b"250"] + ([b"334", b"235"] if user else []) + [b"250", b"250", b"354", b"250", b"221"]
        if await reply(r) != b"220":
            return False
        for step, code in zip(steps, want):
            w.write(step)
            if await reply(r) != code:
                return False
        return True
    finally:
        w.close()

async def main():
    done, failed = 0, 0
    deadline = time.monotonic() + seconds
    async def worker():
        nonlocal done, failed
        while time.monotonic() < deadline:
            try:
                ok = await asyncio.wait_for(one(), 30)
            except (OSError, asyncio.TimeoutError):
                ok = False
            if ok: done += 1
            else: failed += 1
    t0 = time.monotonic()
    await asyncio.gather(*(worker() for _ in range(clients)))
    print("result %.1f %d" % (done / (time.monotonic() - t0), failed))

asyncio.run(main())
PY

run_load() {  # PORT [USER_NAME PASSWORD] -> "<messages/s> <failed>"
    /usr/bin/python3 "$work/load.py" "$1" "$SECONDS_EACH" "$CLIENTS" "$MESSAGE_BYTES" "${@:2}" \
        2>>"$work/load.err" | awk '/^result/ {print $2, $3}'
}
gateway_row() {  # PORT PID -> "<messages/s> <failed> <gateway CPU ms per message>"
    local before after out
    before=$(cpu_ticks "$2")
    out=$(run_load "$1" "127.0.0.1 $sink_port\$$USER" "$PASS")
    after=$(cpu_ticks "$2")
    /usr/bin/python3 - "$out" "$before" "$after" "$SECONDS_EACH" "$(getconf CLK_TCK)" <<'PY'
import sys
fields = sys.argv[1].split()
rate, failed = (float(fields[0]), fields[1]) if len(fields) == 2 else (0.0, "-")
ticks = int(sys.argv[3]) - int(sys.argv[2])
messages = rate * float(sys.argv[4])
cpu = "%.2f" % (ticks * 1000.0 / int(sys.argv[5]) / messages) if messages > 0 else "-"
print("%.1f %s %s" % (rate, failed, cpu))
PY
}

read -r direct_rate direct_failed < <(run_load "$sink_port")
read -r gw_rate gw_failed gw_cpu < <(gateway_row "$gw_port" "$gw_pid")
read -r gr_rate gr_failed gr_cpu < <(gateway_row "$gr_port" "$gr_pid")

ratio() { /usr/bin/python3 -c "import sys; a,b=sys.argv[1:]; print('%.2f' % (float(a)/float(b)) if float(b or 0) > 0 else '-')" "${1:-0}" "${2:-0}" 2>/dev/null || echo "-"; }

printf '\n%-38s %12s %8s %14s %10s\n' "row" "messages/s" "failed" "gw CPU ms/msg" "/ direct"
printf '%-38s %12s %8s %14s %10s\n' "direct into the sink" "${direct_rate:--}" "${direct_failed:--}" "-" "1.00"
printf '%-38s %12s %8s %14s %10s\n' "through smtp-gateway" "${gw_rate:--}" "${gw_failed:--}" "${gw_cpu:--}" "$(ratio "${gw_rate:-}" "${direct_rate:-}")"
printf '%-38s %12s %8s %14s %10s\n' "through smtp-gateway, with rules" "${gr_rate:--}" "${gr_failed:--}" "${gr_cpu:--}" "$(ratio "${gr_rate:-}" "${direct_rate:-}")"
echo
echo "$CLIENTS clients, one ${MESSAGE_BYTES}-byte message per session, ${SECONDS_EACH}s per row; ratios above 1 mean faster than direct"
[[ -s $work/load.err ]] && { echo "load generator errors:"; sort "$work/load.err" | uniq -c | head; }
exit 0
