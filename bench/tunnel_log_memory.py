#!/usr/bin/env python3
"""Memory of a headless run with a log while one CONNECT tunnel streams without end.

Starts `kestrune --headless --quiet --port 0 --log FILE --log-every 1` and, on loopback, a
server that sends random bytes for as long as the connection stays open. One client opens a
CONNECT tunnel to it and reads for the given number of seconds; the tunnel stays open all the
while, so every record belongs to a connection that goes on. Prints the proxy's RSS before the
tunnel, its peak (VmHWM) and its RSS at the end, the bytes relayed and the rows logged.

Usage: python3 bench/tunnel_log_memory.py [--kestrune PATH] [--seconds 15] [--log-every 1]
"""
import argparse
import os
import socket
import tempfile
import time

from benchlib import Headless, listen, status_mib

BLOCK = os.urandom(1 << 16)


def pour(conn):
    with conn:
        try:
            while True:
                conn.sendall(BLOCK)
        except OSError:
            return


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrune", default=os.path.join(here, "..", "build", "src", "kestrune"))
    ap.add_argument("--seconds", type=float, default=15)
    ap.add_argument("--log-every", type=int, default=1)
    args = ap.parse_args()

    source_port = listen(pour, 8)

    work = tempfile.TemporaryDirectory()
    log = os.path.join(work.name, "log.tsv")
    proxy = Headless(args.kestrune, ["--log", log, "--log-every", str(args.log_every)], work.name)
    proxy_port = proxy.port
    try:
        time.sleep(0.5)
        idle = status_mib(proxy.pid, "VmRSS")
        s = socket.create_connection(("127.0.0.1", proxy_port), timeout=30)
        s.sendall(f"CONNECT 127.0.0.1:{source_port} HTTP/1.1\r\n\r\n".encode())
        got = 0
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            chunk = s.recv(1 << 20)
            if not chunk:
                raise RuntimeError("the tunnel closed")
            got += len(chunk)
        rss_end = status_mib(proxy.pid, "VmRSS")
        peak = status_mib(proxy.pid, "VmHWM")
        s.close()
    finally:
        proxy.stop(60)
    rows = sum(1 for _ in open(log, "rb")) - 1
    print(f"kestrune: {args.kestrune}; {args.seconds:g} s, --log-every {args.log_every}")
    print(f"relayed {got / 2**20:,.0f} MiB; rows logged {rows:,}; "
          f"RSS before {idle:.1f} MiB, peak {peak:.1f} MiB, at the end {rss_end:.1f} MiB")


if __name__ == "__main__":
    main()
