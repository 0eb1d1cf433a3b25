#!/usr/bin/env python3
"""How long a save of the --har file stops relaying, and how the run's memory grows with it.

Starts `kestrune --headless --quiet --port 0 --log LOG --har HAR` and, on loopback, an origin
that answers small keep-alive GETs and an echo server. Then, stage by stage, it sends requests
through the proxy until the run has relayed the stage's count (100 per connection), opens a
CONNECT tunnel to the echo server and bounces one byte through it without pause, sends SIGUSR1,
and waits for "written and cleared" and for the HAR file to be replaced. The longest round trip
from the signal until 0.3 s after the HAR was replaced is the time relaying stood still (the
method of bench/save_stall.py); the longest of the second before the signal is the machine's
noise. Prints per stage: requests so far, the stall, the noise, the time until the HAR was
replaced, the HAR's entries and the proxy's RSS.

Usage: python3 bench/har_save_stall.py [--kestrune PATH] [--stages 10000,25000,45000]
"""
import argparse
import json
import os
import socket
import tempfile
import time

from benchlib import Headless, Prober, echo, listen, read_header, status_mib

BODY = b"x" * 300


def origin(conn):
    with conn:
        rest = b""
        while True:
            head, rest = read_header(conn, rest)
            if head is None:
                return
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n"
                         % len(BODY) + BODY)


def fetch_many(proxy_port, origin_port, count):
    """count GETs, 100 per keep-alive connection, each answer read whole."""
    answer = len(BODY)
    while count > 0:
        with socket.create_connection(("127.0.0.1", proxy_port), timeout=30) as s:
            rest = b""
            for _ in range(min(100, count)):
                s.sendall(f"GET http://127.0.0.1:{origin_port}/item?n={count} HTTP/1.1\r\n"
                          f"Host: 127.0.0.1:{origin_port}\r\nCookie: session=abc\r\n\r\n".encode())
                head, rest = read_header(s, rest)
                if head is None:
                    raise RuntimeError("the proxy closed")
                while len(rest) < answer:
                    rest += s.recv(65536)
                rest = rest[answer:]
                count -= 1


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrune", default=os.path.join(here, "..", "build", "src", "kestrune"))
    ap.add_argument("--stages", default="10000,25000,45000")
    args = ap.parse_args()
    stages = [int(s) for s in args.stages.split(",")]

    origin_port = listen(origin)
    echo_port = listen(echo)
    work = tempfile.TemporaryDirectory()
    log, har = os.path.join(work.name, "log.tsv"), os.path.join(work.name, "run.har")
    proxy = Headless(args.kestrune, ["--log", log, "--har", har], work.name)
    proxy_port = proxy.port

    print(f"kestrune: {args.kestrune}")
    print(f"{'requests':>8} {'stall ms':>9} {'noise ms':>9} {'signal->HAR ms':>15} {'entries':>8} {'RSS MiB':>8}")
    done = 0
    try:
        for stage in stages:
            fetch_many(proxy_port, origin_port, stage - done)
            done = stage
            time.sleep(0.5)
            prober = Prober(proxy_port, echo_port)
            prober.start()
            time.sleep(1.0)
            before = os.stat(har).st_mtime_ns if os.path.exists(har) else 0
            t_signal = proxy.save(120)
            deadline = time.perf_counter() + 120
            while (not os.path.exists(har) or os.stat(har).st_mtime_ns == before) \
                    and time.perf_counter() < deadline:
                time.sleep(0.005)
            t_har = time.perf_counter()
            time.sleep(0.3)
            prober.stop = True
            prober.join(10)
            during = [rtt for end, rtt in prober.samples if t_signal < end <= t_har + 0.3]
            quiet = [rtt for end, rtt in prober.samples if t_signal - 1.0 < end <= t_signal]
            with open(har, "rb") as f:
                entries = len(json.load(f)["log"]["entries"])
            print(f"{stage:>8} {max(during) * 1000:>9.1f} {max(quiet) * 1000:>9.1f}"
                  f" {(t_har - t_signal) * 1000:>15.1f} {entries:>8} {status_mib(proxy.pid, 'VmRSS'):>8.1f}",
                  flush=True)
    finally:
        proxy.stop(60)
        for m in proxy.messages:
            if "written and cleared" not in m:
                print("kestrune said:", m)


if __name__ == "__main__":
    main()
