"""What the Python benchmarks share: loopback servers on threads, a prober that bounces a byte
through a CONNECT tunnel, a headless Kestrune with its messages, and figures from /proc."""
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time


def listen(handler, backlog=64):
    """A listener on a free loopback port that hands each connection to handler(conn) on a
    thread of its own. Returns the port."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(backlog)

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=handler, args=(conn,), daemon=True).start()
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def read_header(conn, data=b""):
    """Reads through a head's blank line, data being what came already. Returns the head and
    the bytes after it, or (None, b"") when the peer ends first."""
    while b"\r\n\r\n" not in data and b"\n\n" not in data:  # the proxy's 200 ends in bare LFs
        chunk = conn.recv(65536)
        if not chunk:
            return None, b""
        data += chunk
    end = data.find(b"\r\n\r\n")
    end = end + 4 if end >= 0 else data.find(b"\n\n") + 2
    return data[:end], data[end:]


def echo(conn):
    """Sends back every byte it gets, until the peer ends."""
    with conn:
        while True:
            data = conn.recv(4096)
            if not data:
                return
            conn.sendall(data)


class Prober(threading.Thread):
    """Bounces one byte through a tunnel and keeps (end time, round trip) of each bounce."""

    def __init__(self, proxy_port, echo_port, timeout=60):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", proxy_port), timeout=timeout)
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


class Headless:
    """`PROGRAM --headless --quiet --port 0 ARGS...` with settings in a folder of its own
    (self.folder, also for its files) and its stderr lines kept in self.messages. self.saved
    is set when a line says "written and cleared" or "Error"."""

    def __init__(self, program, args=(), folder=None):
        self.work = None if folder else tempfile.TemporaryDirectory()
        self.folder = folder or self.work.name
        env = dict(os.environ, XDG_CONFIG_HOME=self.folder, QT_QPA_PLATFORM="offscreen")
        self.process = subprocess.Popen(
            [program, "--headless", "--quiet", "--port", "0", *args], stderr=subprocess.PIPE,
            env=env)
        line = self.process.stderr.readline().decode()
        self.port = int(line.split("listening on port ")[1].split()[0])
        self.pid = self.process.pid
        self.messages = []
        self.saved = threading.Event()
        threading.Thread(target=self._read_messages, daemon=True).start()

    def _read_messages(self):
        for raw in self.process.stderr:
            self.messages.append(raw.decode(errors="replace").rstrip())
            if "written and cleared" in self.messages[-1] or "Error" in self.messages[-1]:
                self.saved.set()

    def save(self, timeout):
        """SIGUSR1, and the wait for its message. Returns the signal's perf_counter time."""
        self.saved.clear()
        t_signal = time.perf_counter()
        self.process.send_signal(signal.SIGUSR1)
        if not self.saved.wait(timeout):
            raise RuntimeError("no message after SIGUSR1")
        return t_signal

    def stop(self, timeout):
        self.process.terminate()
        self.process.wait(timeout)


def status_mib(pid, field):
    """A Vm* line of /proc/PID/status (VmRSS, VmHWM), in MiB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return 0.0


def cpu_seconds(pid):
    """The process's user and system time so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
