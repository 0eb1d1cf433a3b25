#!/usr/bin/env python3
"""How long a SIGUSR1 save of the log stops relaying.

Starts `kestrune --headless --quiet --port 0 --log FILE` and, on loopback, an origin that
serves a binary body of the given size and an echo server. Each run downloads the body through
the proxy (about 130,000 records for 1 GiB), opens a CONNECT tunnel to the echo server and
bounces one byte through it without pause, sends SIGUSR1 and waits for "written and cleared".
The longest round trip from the signal until shortly after that message is the time relaying
stood still; the longest round trip of the second before the signal is given beside it as the
machine's own noise. Prints one line per run and the medians.

With --open the body comes through a CONNECT tunnel that stays open until after the save, so
the save's records belong to a connection that goes on (written records are then let go).

Usage: python3 bench/save_stall.py [--kestrune PATH] [--mib 1024] [--runs 5] [--open]
                                   [--keep-log FILE]
"""
import argparse
import os
import socket
import statistics
import tempfile
import time

from benchlib import Headless, Prober, echo, listen, read_header

BLOCK = os.urandom(1 << 20)


def make_origin(size):
    def handler(conn):
        with conn:
            if read_header(conn)[0] is None:
                return
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Connection: close\r\nContent-Length: %d\r\n\r\n" % size)
            left = size
            while left > 0:
                n = min(left, len(BLOCK))
                conn.sendall(BLOCK[:n])
                left -= n
    return handler


def download(proxy_port, origin_port, size, tunnel):
    """Fetches the body through the proxy; through a tunnel, the connection is left open and
    returned (its records are then still held when the save runs)."""
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=60)
    if tunnel:
        s.sendall(f"CONNECT 127.0.0.1:{origin_port} HTTP/1.1\r\n\r\n".encode())
        if b" 200 " not in (read_header(s)[0] or b""):
            raise RuntimeError("the tunnel was refused")
    s.sendall(f"GET {'' if tunnel else f'http://127.0.0.1:{origin_port}'}/big HTTP/1.1\r\n"
              f"Host: 127.0.0.1:{origin_port}\r\n\r\n".encode())
    got = 0
    while got < size:  # the answer's header counts too: a few bytes more than the body
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        got += len(chunk)
    if got < size:
        raise RuntimeError(f"download cut short: {got} of {size} bytes")
    if tunnel:
        return s
    s.close()
    return None


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrune", default=os.path.join(here, "..", "build", "src", "kestrune"))
    ap.add_argument("--mib", type=int, default=1024)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--keep-log", help="copy the log file here at the end")
    ap.add_argument("--open", action="store_true",
                    help="download through a CONNECT tunnel that stays open during the save")
    args = ap.parse_args()
    size = args.mib << 20

    origin_port = listen(make_origin(size))
    echo_port = listen(echo)
    work = tempfile.TemporaryDirectory()
    log = os.path.join(work.name, "log.tsv")
    proxy = Headless(args.kestrune, ["--log", log], work.name)
    proxy_port = proxy.port

    print(f"kestrune: {args.kestrune}; {args.mib} MiB per save")
    print(f"{'run':>3} {'rows':>8} {'signal->message ms':>19} {'stall ms':>9} {'noise ms':>9}")
    stalls, totals, noises = [], [], []
    try:
        for run in range(1, args.runs + 1):
            rows_before = sum(1 for _ in open(log, "rb")) if os.path.exists(log) else 0
            held = download(proxy_port, origin_port, size, args.open)
            time.sleep(0.5)  # the proxy closes its server side
            prober = Prober(proxy_port, echo_port, 30)
            prober.start()
            time.sleep(1.0)
            t_signal = proxy.save(60)
            t_message = time.perf_counter()
            time.sleep(0.5)
            prober.stop = True
            prober.join(10)
            if held:
                held.close()
            # A round trip that ended after the signal overlapped the save.
            during = [rtt for end, rtt in prober.samples if t_signal < end <= t_message + 0.3]
            before = [rtt for end, rtt in prober.samples if t_signal - 1.0 < end <= t_signal]
            rows = sum(1 for _ in open(log, "rb")) - rows_before
            stall, noise = max(during) * 1000, max(before) * 1000
            total = (t_message - t_signal) * 1000
            stalls.append(stall), totals.append(total), noises.append(noise)
            print(f"{run:>3} {rows:>8} {total:>19.1f} {stall:>9.1f} {noise:>9.1f}", flush=True)
        print(f"median {'':>5} {statistics.median(totals):>19.1f} {statistics.median(stalls):>9.1f}"
              f" {statistics.median(noises):>9.1f}")
        if args.keep_log:
            with open(log, "rb") as src, open(args.keep_log, "wb") as dst:
                dst.write(src.read())
    finally:
        proxy.stop(30)
        for m in proxy.messages:
            if "written and cleared" not in m:
                print("kestrune said:", m)


if __name__ == "__main__":
    main()
