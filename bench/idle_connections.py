#!/usr/bin/env python3
"""Cost per request with many idle browser connections open.

Starts `kestrune --headless --quiet --port 0` and a small origin on loopback, opens N idle
connections to the proxy (connected, nothing sent), then times R requests one after the other
(a new connection each, "Connection: close") and reads the proxy's CPU time per request.
Prints one row per N with its ratio to N = 0 from the same run: the machine may be shared, so
the ratios are what count.

Usage: python3 bench/idle_connections.py [--kestrune PATH] [--counts 0,1000,4000,10000]
                                         [--requests 300]
"""
import argparse
import os
import resource
import socket
import threading
import time

from benchlib import Headless, cpu_seconds

PAGE = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello"


def origin(listener):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                data += chunk
            conn.sendall(PAGE)


def request(proxy_port, origin_port):
    with socket.create_connection(("127.0.0.1", proxy_port), timeout=10) as s:
        s.sendall(f"GET http://127.0.0.1:{origin_port}/ HTTP/1.0\r\nConnection: close\r\n\r\n".encode())
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    if not data.endswith(b"hello"):
        raise RuntimeError("bad answer: %r" % data[:80])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrune", default=os.path.join(here, "..", "build", "src", "kestrune"))
    ap.add_argument("--counts", default="0,1000,4000,10000")
    ap.add_argument("--requests", type=int, default=300)
    args = ap.parse_args()
    counts = [int(c) for c in args.counts.split(",")]

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = max(counts) + 200
    if hard < need:
        raise SystemExit(f"need {need} descriptors, the hard limit is {hard}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    threading.Thread(target=origin, args=(listener,), daemon=True).start()
    origin_port = listener.getsockname()[1]

    proxy = Headless(args.kestrune)
    proxy_port = proxy.port

    print(f"kestrune: {args.kestrune}")
    print(f"{'idle':>6} {'ms/request':>11} {'ratio':>6} {'CPU ms/request':>15} {'ratio':>6}")
    base = None
    idle = []
    try:
        for count in counts:
            while len(idle) < count:
                s = socket.socket()
                s.connect(("127.0.0.1", proxy_port))
                idle.append(s)
            time.sleep(1.0)  # let the proxy take them all
            for _ in range(20):
                request(proxy_port, origin_port)  # warm up
            cpu0 = cpu_seconds(proxy.pid)
            t0 = time.perf_counter()
            for _ in range(args.requests):
                request(proxy_port, origin_port)
            wall = (time.perf_counter() - t0) * 1000 / args.requests
            cpu = (cpu_seconds(proxy.pid) - cpu0) * 1000 / args.requests
            if base is None:
                base = (wall, max(cpu, 1e-3))
            print(f"{count:>6} {wall:>11.3f} {wall / base[0]:>6.2f} {cpu:>15.3f} {cpu / base[1]:>6.2f}",
                  flush=True)
    finally:
        for s in idle:
            s.close()
        proxy.stop(10)


if __name__ == "__main__":
    main()
