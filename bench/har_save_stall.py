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
import signal
import socket
import subprocess
import tempfile
import threading
import time

BODY = b"x" * 300


def serve(listener, handler):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=handler, args=(conn,), daemon=True).start()


def read_header(conn, data=b""):
    while b"\r\n\r\n" not in data and b"\n\n" not in data:  # the proxy's 200 ends in bare LFs
        chunk = conn.recv(65536)
        if not chunk:
            return None, b""
        data += chunk
    end = data.find(b"\r\n\r\n")
    end = end + 4 if end >= 0 else data.find(b"\n\n") + 2
    return data[:end], data[end:]


def origin(conn):
    with conn:
        rest = b""
        while True:
            head, rest = read_header(conn, rest)
            if head is None:
                return
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n"
                         % len(BODY) + BODY)


def echo(conn):
    with conn:
        while True:
            data = conn.recv(4096)
            if not data:
                return
            conn.sendall(data)


def listen(handler):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    threading.Thread(target=serve, args=(listener, handler), daemon=True).start()
    return listener.getsockname()[1]


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


class Prober(threading.Thread):
    """Bounces one byte through a tunnel and keeps (end time, round trip) of each bounce."""

    def __init__(self, proxy_port, echo_port):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", proxy_port), timeout=60)
        self.sock.sendall(f"CONNECT 127.0.0.1:{echo_port} HTTP/1.1\r\n\r\n".encode())
        if b" 200 " not in (read_header(self.sock)[0] or b""):
            raise RuntimeError("the tunnel was refused")
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.samples = []
        self.stop = False

    def run(self):
        while not self.stop:
            t0 = time.perf_counter()
            self.sock.sendall(b"x")
            if not self.sock.recv(16):
                return
            t1 = time.perf_counter()
            self.samples.append((t1, t1 - t0))
        self.sock.close()


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


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
    env = dict(os.environ, XDG_CONFIG_HOME=work.name, QT_QPA_PLATFORM="offscreen")
    proxy = subprocess.Popen([args.kestrune, "--headless", "--quiet", "--port", "0", "--log", log,
                              "--har", har], stderr=subprocess.PIPE, env=env)
    line = proxy.stderr.readline().decode()
    proxy_port = int(line.split("listening on port ")[1].split()[0])
    messages = []
    saved = threading.Event()

    def read_messages():
        for raw in proxy.stderr:
            messages.append(raw.decode(errors="replace").rstrip())
            if "written and cleared" in messages[-1] or "Error" in messages[-1]:
                saved.set()
    threading.Thread(target=read_messages, daemon=True).start()

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
            saved.clear()
            t_signal = time.perf_counter()
            proxy.send_signal(signal.SIGUSR1)
            if not saved.wait(120):
                raise RuntimeError("no message after SIGUSR1")
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
                  f" {(t_har - t_signal) * 1000:>15.1f} {entries:>8} {rss_mib(proxy.pid):>8.1f}",
                  flush=True)
    finally:
        proxy.terminate()
        proxy.wait(60)
        for m in messages:
            if "written and cleared" not in m:
                print("kestrune said:", m)


if __name__ == "__main__":
    main()
