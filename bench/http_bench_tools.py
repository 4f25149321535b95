"""Loopback helpers of run_http_bench.sh.

  origin PORTFILE      HTTP/1.0 origin on 127.0.0.1 (port 0, written to PORTFILE): /small is
                       a 100-byte text page, /page a 1 MiB HTML page in UTF-8, /bulk/N N bytes
                       of a binary file with its Content-Length; every answer closes the
                       connection.
  table FIGURES        prints the table of FIGURES (lines "column row value") with the
                       gateway's ratio to the best peer of each row.
  tunnel PROXY BYTES [USER:PASS]
                       one CONNECT tunnel through PROXY (host:port; "direct" for none) to a
                       loopback server that sends BYTES and closes; prints "result MB/s".
  get PROXY ORIGIN BYTES USER:PASS PID [connect]
                       one GET of /bulk/BYTES from ORIGIN (host:port) through PROXY ("direct"
                       for none; "-" for no credentials), or with "connect" through a CONNECT
                       tunnel of PROXY; prints "result MB/s PEAK GROWTH OWN": the peak of the
                       resident memory of PID and its child processes ("-": none) during the
                       download, how far it rose above its level at the start, and the peak of
                       their anonymous memory (their own, shared libraries left out), in KiB.
"""

import base64
import http.server
import os
import socket
import sys
import threading
import time

SMALL = b"x" * 100
PAGE = (b"<html><head><meta charset=\"utf-8\"><title>bench</title></head><body>\n" +
        b"<p>a line of text with a needle in it, and some more words</p>\n" * 17000)
PAGE = PAGE[: (1 << 20) - 15] + b"</body></html>\n"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        if "/bulk/" in self.path:
            self.bulk(int(self.path.rsplit("/", 1)[1]))
            return
        body, kind = (PAGE, "text/html; charset=utf-8") if self.path.endswith("/page") \
            else (SMALL, "text/plain")
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def bulk(self, total):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(total))
        self.end_headers()
        block = memoryview(BLOCK)
        while total > 0:
            n = min(total, len(block))
            self.wfile.write(block[:n])
            total -= n

    def log_message(self, *args):
        pass


BLOCK = bytes(range(256)) * 4096  # 1 MiB


def tree_rss_kib(pid):
    """The resident and the anonymous memory of `pid` and every process below it, in KiB."""
    total, anon, todo = 0, 0, [pid]
    while todo:
        p = todo.pop()
        try:
            with open("/proc/%d/status" % p) as f:
                fields = dict(l.split(":", 1) for l in f if ":" in l)
            total += int(fields.get("VmRSS", "0 kB").split()[0])
            anon += int(fields.get("RssAnon", "0 kB").split()[0])
            for task in os.listdir("/proc/%d/task" % p):
                with open("/proc/%d/task/%s/children" % (p, task)) as f:
                    todo.extend(int(c) for c in f.read().split())
        except (OSError, ValueError):
            pass
    return total, anon


class PeakSampler:
    """Samples tree_rss_kib(pid) every 20 ms in a thread of its own until stop(), keeping the
    level at the start and the peaks."""

    def __init__(self, pid):
        self.pid, self.done = pid, threading.Event()
        self.start, self.own = tree_rss_kib(pid) if pid else (0, 0)
        self.peak = self.start
        self.thread = threading.Thread(target=self.run, daemon=True)
        if pid:
            self.thread.start()

    def sample(self):
        rss, anon = tree_rss_kib(self.pid)
        self.peak, self.own = max(self.peak, rss), max(self.own, anon)

    def run(self):
        while not self.done.wait(0.02):
            self.sample()

    def stop(self):
        self.done.set()
        if self.pid:
            self.thread.join(5)
            self.sample()


def origin(portfile):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.request_queue_size = 256
    with open(portfile, "w") as f:
        f.write(str(server.server_address[1]))
    server.serve_forever(poll_interval=0.2)


def tunnel(proxy, total, credentials=None):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(30)
    port = listener.getsockname()[1]

    def send():
        conn, _ = listener.accept()
        block = b"\0" * (1 << 20)
        left = total
        while left > 0:
            n = min(left, len(block))
            conn.sendall(block[:n])
            left -= n
        conn.close()

    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    start = time.monotonic()
    if proxy == "direct":
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
    else:
        host, pport = proxy.rsplit(":", 1)
        s = socket.create_connection((host, int(pport)), timeout=30)
        auth = b""
        if credentials:
            auth = b"Proxy-Authorization: Basic " + base64.b64encode(credentials.encode()) + \
                b"\r\n"
        s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % (port, port) +
                  auth + b"\r\n")
        head, rest = read_head(s)
        if b" 200 " not in head.split(b"\r\n", 1)[0]:
            print("tunnel refused: %r" % head[:80], file=sys.stderr)
            return
        got = len(rest)
    if proxy == "direct":
        got = 0
    got = receive_until(s, got, total)
    elapsed = time.monotonic() - start
    s.close()
    sender.join(30)
    if got < total:
        print("tunnel short: %d of %d bytes" % (got, total), file=sys.stderr)
        return
    print("result %.0f" % (got / elapsed / 1e6))


def read_head(s):
    """The response head up to its empty line (at most 64 KiB) and the bytes after it."""
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head, rest


def receive_until(s, got, total):
    """Receives from `s` until `total` bytes have come in all (`got` already) or it ends."""
    buf = bytearray(1 << 20)
    while got < total:
        n = s.recv_into(buf)
        if n == 0:
            break
        got += n
    return got


def get(proxy, origin, total, credentials, pid, mode="forward"):
    auth = b""
    if credentials != "-":
        auth = b"Proxy-Authorization: Basic " + base64.b64encode(credentials.encode()) + b"\r\n"
    host, port = origin.rsplit(":", 1)
    target = (host, int(port)) if proxy == "direct" else \
        (proxy.rsplit(":", 1)[0], int(proxy.rsplit(":", 1)[1]))
    sampler = PeakSampler(int(pid) if pid != "-" else 0)
    start = time.monotonic()
    s = socket.create_connection(target, timeout=30)
    uri = b"/bulk/%d" % total
    if proxy != "direct" and mode == "connect":
        s.sendall(b"CONNECT %s HTTP/1.1\r\nHost: %s\r\n" % (origin.encode(), origin.encode()) +
                  auth + b"\r\n")
        head, _ = read_head(s)
        if b" 200 " not in head.split(b"\r\n", 1)[0]:
            print("tunnel refused: %r" % head[:80], file=sys.stderr)
            return
        auth = b""
    elif proxy != "direct":
        uri = b"http://" + origin.encode() + uri
    s.sendall(b"GET %s HTTP/1.1\r\nHost: %s\r\n" % (uri, origin.encode()) + auth +
              b"Connection: close\r\n\r\n")
    head, rest = read_head(s)
    if b" 200 " not in head.split(b"\r\n", 1)[0]:
        print("GET refused: %r" % head[:80], file=sys.stderr)
        return
    got = receive_until(s, len(rest), total)
    elapsed = time.monotonic() - start
    s.close()
    sampler.stop()
    if got < total:
        print("GET short: %d of %d bytes" % (got, total), file=sys.stderr)
        return
    print("result %.0f %d %d %d" % (got / elapsed / 1e6, sampler.peak,
                                    sampler.peak - sampler.start, sampler.own))


ROWS = [  # key, label, higher is better
    ("rate", "small GET, 8 at a time (/s)", True),
    ("ratecpu", "  CPU per small GET (us)", False),
    ("p50", "1 MiB page, median (ms)", False),
    ("p99", "1 MiB page, 99th percentile (ms)", False),
    ("p50s", "1 MiB page, no body rule, median (ms)", False),
    ("p99s", "1 MiB page, no body rule, p99 (ms)", False),
    ("get", "bulk GET, 1 client (MB/s)", True),
    ("getmem", "bulk GET, proxy peak memory (MiB)", False),
    ("getgrow", "bulk GET, proxy memory growth (MiB)", False),
    ("getown", "bulk GET, proxy own memory (MiB)", False),
    ("bulk", "CONNECT bulk, 1 tunnel (MB/s)", True),
]
COLUMNS = ["direct", "gateway", "tinyproxy", "squid"]
PEERS = ["tinyproxy", "squid"]


def ratio(value, best, higher_is_better):
    """How the gateway stands to `best` (above 1: better); "-" when either is missing."""
    if value is None or best is None:
        return "-"
    if higher_is_better:
        return "%.2f" % (value / best) if best > 0 else "-"
    return "%.2f" % (best / value) if value > 0 else ("1.00" if best == 0 else "inf")


def table(path):
    fig = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3:
                try:
                    fig[parts[0], parts[1]] = float(parts[2])
                except ValueError:
                    pass
    print("\n%-36s %10s %10s %10s %10s %12s" % ("row", *COLUMNS, "gw/best peer"))
    for key, label, hib in ROWS:
        peers = [fig[p, key] for p in PEERS if (p, key) in fig]
        best = (max(peers) if hib else min(peers)) if peers else None
        cells = ["%g" % fig[c, key] if (c, key) in fig else "-" for c in COLUMNS]
        print("%-36s %10s %10s %10s %10s %12s" % (label, *cells,
                                                  ratio(fig.get(("gateway", key)), best, hib)))
    print("\ngateway / direct, CONNECT bulk: %s" % ratio(
        fig.get(("gateway", "bulk")), fig.get(("direct", "bulk")), True))
    print("gateway bulk GET / the same GET through its CONNECT tunnel: %s (tunnel %s MB/s)" % (
        ratio(fig.get(("gateway", "get")), fig.get(("tunnel", "get")), True),
        "%g" % fig["tunnel", "get"] if ("tunnel", "get") in fig else "-"))
    print("ratios above 1 mean the gateway is better than the best peer "
          "(lower latency, CPU and memory count as better)")
    print("the gateway's first page rows include its body rule, the peers' do not rewrite; "
          "the no-body-rule and GET rows are a gateway without body rules")


if __name__ == "__main__":
    if sys.argv[1] == "origin":
        origin(sys.argv[2])
    elif sys.argv[1] == "table":
        table(sys.argv[2])
    elif sys.argv[1] == "tunnel":
        tunnel(sys.argv[2], int(sys.argv[3]), sys.argv[4] if len(sys.argv) > 4 else None)
    elif sys.argv[1] == "get":
        get(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5], sys.argv[6], *sys.argv[7:8])
