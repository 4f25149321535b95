#!/usr/bin/env bash
# Measures transfers through ftp-gateway side by side with the same transfers straight from the
# FTP server, all on loopback, with curl as the client, and prints every figure as a ratio of
# the gateway to the direct transfer.
# Usage: bench/run_ftp_bench.sh [BUILD_DIR]   (default: build). Exits 0 whatever the figures.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/bench_common.sh"
gateway=$build/ftp/ftp-gateway
preload=$build/bench/libcopy_relay_preload.so
require_built "$gateway" "$preload"
command -v curl >/dev/null || { echo "curl not installed: nothing to measure"; exit 0; }
/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null || { echo "pyftpdlib not installed"; exit 0; }

RETR_BYTES=${RETR_BYTES:-1073741824}  # the file downloaded
STOR_BYTES=${STOR_BYTES:-268435456}   # the file uploaded
ROUNDS=${ROUNDS:-5}                   # each figure is the median of this many transfers
USER=bench PASS=bench-password SUSER=srv SPASS=srv-password

# A port below the ephemeral range whose neighbours are free: the gateway's data connections
# come from the ports beside its own.
gateway_port() {
    /usr/bin/python3 - <<'PY'
import random, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
def free(p):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", p)); return True
        except OSError:
            return False
for _ in range(200):
    p = random.randrange(10000, low - 2)
    if all(free(q) for q in (p - 1, p, p + 1)):
        print(p); break
PY
}

# The FTP server: pyftpdlib with sendfile, one process, serving $work/root.
mkdir -p "$work/root"
truncate -s "$RETR_BYTES" "$work/root/retr.bin"
head -c "$STOR_BYTES" /dev/zero > "$work/stor.bin"
srv_port=$(free_port)
/usr/bin/python3 - "$work/root" "$srv_port" "$SUSER" "$SPASS" > "$work/server.log" 2>&1 <<'PY' &
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
auth = DummyAuthorizer()
auth.add_user(user, password, root, perm="elradfmw")
FTPHandler.authorizer = auth
FTPHandler.use_sendfile = True
FTPServer(("127.0.0.1", port), FTPHandler).serve_forever(timeout=1)
PY
pids+=($!)

# vsftpd serves the downloads when it is installed and may drop privileges (run as root): it
# sends faster than pyftpdlib, whose one Python process would bound the direct rate. Anonymous
# and read-only, chrooted to a copy of the download folder.
vs_port=""
if [[ -x /usr/sbin/vsftpd && $(id -u) == 0 ]] && getent passwd daemon >/dev/null; then
    vs_port=$(free_port)
    mkdir -p "$work/empty"
    chmod 0755 "$work" "$work/root"
    cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_address=127.0.0.1
listen_port=$vs_port
background=NO
anonymous_enable=YES
no_anon_password=YES
local_enable=NO
write_enable=NO
anon_root=$work/root
ftp_username=daemon
secure_chroot_dir=$work/empty
connect_from_port_20=NO
seccomp_sandbox=NO
xferlog_enable=NO
CONF
    setsid /usr/sbin/vsftpd "$work/vsftpd.conf" > "$work/vsftpd.log" 2>&1 &
    pids+=($!)
fi

# ftp-gateway, and beside it the same gateway with the relay's pipes refused
# (copy_relay_preload), which moves the data connection by copying through its buffer.
bench_passwd "$USER" "$PASS"
gw_port=$(gateway_port)
run_gateway "$gateway" gateway "$gw_port"
cp_port=$(gateway_port)
while (( cp_port >= gw_port - 2 && cp_port <= gw_port + 2 )); do cp_port=$(gateway_port); done
run_gateway "$gateway" copying "$cp_port" "$preload"

wait_port "$srv_port" || { echo "pyftpdlib did not start:"; cat "$work/server.log"; exit 0; }
[[ -n $vs_port ]] && { wait_port "$vs_port" || { echo "vsftpd did not start"; vs_port=""; }; }
wait_port "$gw_port" || { echo "ftp-gateway did not start:"; cat "$work/gateway/gateway.log"; exit 0; }
wait_port "$cp_port" || { echo "copying ftp-gateway did not start:"; cat "$work/copying/gateway.log"; exit 0; }

# transfer PEER MODE OP [N]: MB/s of one transfer (empty when it failed); MODE passive (PASV),
# epsv, active (PORT) or eprt; N names the upload
transfer() {
    local peer=$1 mode=$2 op=$3 url user args=(-sS --max-time 600)
    local port=$srv_port slogin=$SUSER spass=$SPASS speed
    [[ $op == retr && -n $vs_port ]] && { port=$vs_port slogin=anonymous spass=bench; }
    case $peer in
        direct) url=ftp://127.0.0.1:$port; user="$slogin:$spass" ;;
        *) url=ftp://127.0.0.1:$([[ $peer == gateway ]] && echo "$gw_port" || echo "$cp_port")
           user="127.0.0.1 $port\$$USER\$$slogin:$PASS\$$spass" ;;
    esac
    case $mode in  # curl asks for EPSV (or EPRT) first unless told otherwise
        passive) args+=(--disable-epsv) ;;
        active) args+=(-P 127.0.0.1 --disable-eprt) ;;
        eprt) args+=(-P 127.0.0.1) ;;
    esac
    if [[ $op == retr ]]; then
        speed=$(curl "${args[@]}" --user "$user" -o /dev/null -w '%{speed_download}' "$url/retr.bin" 2>>"$work/curl.err")
    else
        speed=$(curl "${args[@]}" --user "$user" -T "$work/stor.bin" -w '%{speed_upload}' "$url/stor${4:-0}.bin" 2>>"$work/curl.err")
    fi
    [[ $speed =~ ^[0-9.]+$ ]] && /usr/bin/python3 -c "print('%.0f' % (float('$speed') / 1e6))"
}

ratio() {
    /usr/bin/python3 -c "
try: print('%.2f' % (float('$1') / float('$2')))
except (ValueError, ZeroDivisionError): print('-')"
}

printf '\n%-46s %10s %10s %10s %14s %14s\n' "row" "direct" "copying" "gateway" "copying/direct" "gateway/direct"
row() {  # ROUNDS transfers in turn over direct, copying and gateway; the median of each
    local mode=$1 op=$2 label=$3 i d=() c=() g=() dm cm gm
    for i in $(seq "$ROUNDS"); do
        d+=("$(transfer direct "$mode" "$op" "$i")")
        c+=("$(transfer copying "$mode" "$op" "$i")")
        g+=("$(transfer gateway "$mode" "$op" "$i")")
    done
    echo "$label: direct ${d[*]}, copying ${c[*]}, gateway ${g[*]}" >> "$work/runs"
    dm=$(median "${d[@]}") cm=$(median "${c[@]}") gm=$(median "${g[@]}")
    printf '%-46s %10s %10s %10s %14s %14s\n' "$label" "${dm:--}" "${cm:--}" "${gm:--}" "$(ratio "$cm" "$dm")" "$(ratio "$gm" "$dm")"
}
transfer direct passive retr > /dev/null  # warms the page cache: the first read is slower
retr_server=$([[ -n $vs_port ]] && echo vsftpd || echo pyftpdlib)
row passive retr "RETR $((RETR_BYTES >> 20)) MiB, passive, $retr_server (MB/s)"
row epsv retr "RETR $((RETR_BYTES >> 20)) MiB, EPSV, $retr_server (MB/s)"
row active retr "RETR $((RETR_BYTES >> 20)) MiB, active, $retr_server (MB/s)"
row eprt retr "RETR $((RETR_BYTES >> 20)) MiB, EPRT, $retr_server (MB/s)"
row passive stor "STOR $((STOR_BYTES >> 20)) MiB, passive, pyftpdlib (MB/s)"
row epsv stor "STOR $((STOR_BYTES >> 20)) MiB, EPSV, pyftpdlib (MB/s)"
echo
echo "medians of $ROUNDS transfers each (MB/s):"; cat "$work/runs"
echo "ratios are to direct: 1 means the gateway costs nothing; copying is the same gateway with the"
echo "relay's pipes refused, so that it copies the data connection through its buffer"
[[ -s $work/curl.err ]] && { echo "curl errors:"; sort "$work/curl.err" | uniq -c | head; }
exit 0
