#!/usr/bin/python3
"""Attacks the camera listener the way a hostile client on the lane network could,
while a camera keeps posting, and prints the figures.

    attack.py <hostile_server binary> [--max-connections N] [--seconds S]

The listener runs as its own process (hostile_server) with at most 64 descriptors.
  1. Throughput: a 16 MiB post to the listener and the same bytes to a bare
     QTcpServer sink in the same process, alternately, three times each.
  2. Attack: 60 clients send a header announcing 15 MiB and stall, 50 trickle a
     header one byte every 100 ms, 100 connect and send nothing; meanwhile a camera
     posts 100 KiB every 250 ms. Reports the listener's memory (peak resident), its
     CPU use, the camera's posts served and their latency, and how long each hostile
     connection was held open.
Exit status 1 when a camera post failed, memory exceeded 64 MiB or a hostile
connection outlived its time-out by more than the margin.
"""
import argparse
import os
import resource
import socket
import subprocess
import threading
import time

HEADER_TIMEOUT = 10.0   # HttpServer::HeaderTimeoutMs
IDLE_TIMEOUT = 10.0     # HttpServer::IdleTimeoutMs
MARGIN = 2.0


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def post(port, body, path="/cam", sink=False, timeout=30):
    """Sends one POST (to the sink: a 16-byte length, then the body); returns
    (seconds, answer) or (seconds, None) on failure."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            if sink:
                s.sendall(b"%16d" % len(body) + body)
            else:
                s.sendall(b"POST %s HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (path.encode(), len(body)) + body)
            answer = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        return time.monotonic() - start, answer
    except OSError:
        return time.monotonic() - start, None


class Server:
    def __init__(self, binary, max_connections):
        self.port, self.sink = free_port(), free_port()
        args = [binary, str(self.port), str(self.sink)] + ([str(max_connections)] if max_connections else [])

        def limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=limit, text=True)
        self.stats, self.requests, self.warnings = [], [], []
        self.ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._errors, daemon=True).start()
        if not self.ready.wait(10):
            raise SystemExit("hostile_server did not start")

    def _read(self):
        for line in self.proc.stdout:
            if line.startswith("READY"):
                self.ready.set()
            elif line.startswith("STAT"):
                self.stats.append(dict(kv.split("=") for kv in line.split()[1:]))
            elif line.startswith("REQ"):
                self.requests.append(line.split())

    def _errors(self):
        for line in self.proc.stderr:
            self.warnings.append(line.strip())

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def peak_kb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)


def hostile(port, kind, held, stop):
    """One hostile client; appends how long the listener kept it open (None: still open at the end)."""
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=60)
    except OSError:
        held.append(("refused", kind, 0.0))
        return
    start = time.monotonic()
    s.settimeout(0.1)
    header = b"POST /stall HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (15 * 1024 * 1024)
    trickle = b"POST /trickle HTTP/1.1\r\nContent-Length: 4\r\nX-Filler: " + b"x" * 400 + b"\r\n\r\nabcd"
    if kind == "stall":
        s.sendall(header)
    i = 0
    while not stop.is_set():
        try:
            if kind == "trickle" and i < len(trickle):
                s.send(trickle[i:i + 1])
                i += 1
            if s.recv(1024) == b"":
                break
        except socket.timeout:
            continue
        except OSError:
            break
    else:
        held.append(("open", kind, time.monotonic() - start))
        s.close()
        return
    held.append(("closed", kind, time.monotonic() - start))
    s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--max-connections", type=int, default=0)
    ap.add_argument("--seconds", type=float, default=30.0)
    a = ap.parse_args()
    server = Server(a.binary, a.max_connections)
    ok = True

    # 1. Throughput of a 16 MiB post beside the bare sink.
    body = os.urandom(16 * 1024 * 1024)
    listener, sink = [], []
    for _ in range(3):
        t, answer = post(server.port, body, "/big")
        listener.append(t if answer and answer.startswith(b"HTTP/1.1 200") else None)
        t, answer = post(server.sink, body, sink=True)
        sink.append(t if answer else None)
    if None in listener or None in sink:
        print("throughput: a 16 MiB post failed: listener %s sink %s" % (listener, sink))
        ok = False
    else:
        rl, rs = 16 / min(listener), 16 / min(sink)
        print("16 MiB post: listener %.0f MiB/s, bare QTcpServer sink %.0f MiB/s [baseline], ratio %.2f"
              % (rl, rs, rl / rs))
        ok &= rl / rs >= 0.5
    del body

    # 2. The attack, with a camera posting throughout.
    stop = threading.Event()
    held = []
    threads = [threading.Thread(target=hostile, args=(server.port, kind, held, stop), daemon=True)
               for kind, n in (("stall", 60), ("trickle", 50), ("idle", 100)) for _ in range(n)]
    cpu0, t0, first_stat = server.cpu_seconds(), time.monotonic(), len(server.stats)
    for t in threads:
        t.start()
    camera = []
    payload = os.urandom(100 * 1024)
    while time.monotonic() - t0 < a.seconds:
        camera.append(post(server.port, payload, "/camera", timeout=20))
        time.sleep(0.25)
    stop.set()
    for t in threads:
        t.join(5)
    cpu = (server.cpu_seconds() - cpu0) / (time.monotonic() - t0)
    served = [t for t, answer in camera if answer and answer.startswith(b"HTTP/1.1 200")]
    print("camera posts during the attack: %d of %d served, latency median %.0f ms, max %.0f ms"
          % (len(served), len(camera), 1000 * sorted(served)[len(served) // 2] if served else 0,
             1000 * max(served) if served else 0))
    ok &= len(served) == len(camera)
    peak = server.peak_kb() / 1024
    during = max([int(st["rss_kb"]) for st in server.stats[first_stat:]] or [0]) / 1024
    most_held = max([int(st["held"]) for st in server.stats[first_stat:]] or [0]) / 1024
    print("listener peak resident memory: %.1f MiB over the whole run (limit 64 MiB), %.1f MiB during the attack, "
          "request bytes held at most %.0f KiB; CPU during the attack: %.0f%%" % (peak, during, most_held, 100 * cpu))
    ok &= peak < 64
    for kind, limit in (("stall", IDLE_TIMEOUT), ("trickle", HEADER_TIMEOUT), ("idle", HEADER_TIMEOUT)):
        rows = [h for h in held if h[1] == kind]
        closed = [d for state, _, d in rows if state == "closed"]
        still = [d for state, _, d in rows if state == "open"]
        print("%-7s clients: %3d closed by the listener (longest held %.1f s, time-out %.0f s), %d still open, %d refused"
              % (kind, len(closed), max(closed) if closed else 0, limit, len(still),
                 len([1 for state, _, _ in rows if state == "refused"])))
        ok &= not still
    evicted = len([w for w in server.warnings if "idle longest" in w])
    timeouts = len([w for w in server.warnings if "time-out" in w])
    paused = len([w for w in server.warnings if "Cannot accept" in w])
    print("listener: %d closed on time-out, %d given way to newer connections, %d accept pauses"
          % (timeouts, evicted, paused))
    server.stop()
    print("RESULT", "ok" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
