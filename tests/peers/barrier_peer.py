#!/usr/bin/python3
"""Simulated boom barrier controller: a Modbus TCP server (Read Holding Registers,
Write Single Register) with the controller's registers, written on plain sockets.

Registers: 0 command (1 open, 4 priority open, 2 close), 1-2 status word (high, low),
3-4 unused, 5 loop A word, 6 loop B word. A command runs an opening or closing
sequence: the boom moves in steps of --step-ms, reporting its angle, then stands.

Control port (one text command per line, answered "ok ..." or "error ..."):
  set [status=N] [loopa=N] [loopb=N]   new words (decimal or 0x..); answers "ok gen=G"
  unit N        answer only this unit id; others get exception 0x0B
  delay MS      answer every request MS milliseconds late (0: at once)
  drop          close every open Modbus connection
  get           "ok status=0x.. loopa=0x.. loopb=0x.. gen=G"

Standard output: "READY port=P control=C", then one line per event:
"connected", "read unit=U gen=G", "write unit=U addr=A value=V", "dropped".
"""
import argparse
import socket
import struct
import sys
import threading
import time

READY = 1 << 0
PRIORITY = 1 << 13
CLOSED = 1 << 20
CLOSING = 1 << 21
OPENING = 1 << 22
OPEN = 1 << 23
MOTION = CLOSED | CLOSING | OPENING | OPEN | PRIORITY | (0xFF << 24)


class Controller:
    def __init__(self, unit, step_ms):
        self.lock = threading.Lock()
        self.status = READY | CLOSED
        self.loopa = 0
        self.loopb = 0
        self.gen = 0
        self.unit = unit
        self.delay = 0.0
        self.step = step_ms / 1000.0
        self.motion = 0  # bumps on each command, so a newer one ends an older sequence
        self.conns = set()

    def say(self, line):
        print(line, flush=True)

    def registers(self):
        s = self.status
        return [0, s >> 16, s & 0xFFFF, 0, 0, self.loopa, self.loopb]

    def command(self, value):
        opening = value in (1, 4)
        if not opening and value != 2:
            return
        with self.lock:
            self.motion += 1
            mine = self.motion
            prio = PRIORITY if value == 4 else 0
        threading.Thread(target=self.run_motion, args=(mine, opening, prio), daemon=True).start()

    def run_motion(self, mine, opening, prio):
        angles = (0, 45, 90) if opening else (90, 45, 0)
        moving = OPENING if opening else CLOSING
        for angle in angles:
            with self.lock:
                if self.motion != mine:
                    return
                self.status = (self.status & ~MOTION) | moving | prio | (angle << 24)
                self.gen += 1
            time.sleep(self.step)
        with self.lock:
            if self.motion == mine:
                end = (OPEN | (90 << 24)) if opening else CLOSED
                self.status = (self.status & ~MOTION) | end | prio | READY
                self.gen += 1

    def control(self, line):
        parts = line.split()
        if not parts:
            return "error empty"
        cmd, args = parts[0], parts[1:]
        with self.lock:
            if cmd == "set":
                for a in args:
                    k, _, v = a.partition("=")
                    if k not in ("status", "loopa", "loopb"):
                        return "error unknown word " + k
                    setattr(self, k, int(v, 0))
                self.motion += 1  # words set by hand end any running sequence
                self.gen += 1
                return "ok gen=%d" % self.gen
            if cmd == "unit":
                self.unit = int(args[0])
                return "ok"
            if cmd == "delay":
                self.delay = int(args[0]) / 1000.0
                return "ok"
            if cmd == "get":
                return "ok status=0x%x loopa=0x%x loopb=0x%x gen=%d" % (
                    self.status, self.loopa, self.loopb, self.gen)
            if cmd == "drop":
                conns = list(self.conns)
            else:
                return "error unknown command " + cmd
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.say("dropped")
        return "ok"


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def serve_modbus(ctl, conn):
    with ctl.lock:
        ctl.conns.add(conn)
    ctl.say("connected")
    try:
        while True:
            head = recv_exact(conn, 7)
            if head is None:
                return
            tid, proto, length, unit = struct.unpack(">HHHB", head)
            pdu = recv_exact(conn, length - 1) if length > 1 else None
            if pdu is None:
                return
            answer = handle(ctl, unit, pdu)
            with ctl.lock:
                delay = ctl.delay
            if delay:
                time.sleep(delay)
            conn.sendall(struct.pack(">HHHB", tid, proto, len(answer) + 1, unit) + answer)
    except OSError:
        pass
    finally:
        with ctl.lock:
            ctl.conns.discard(conn)
        conn.close()


def handle(ctl, unit, pdu):
    fc = pdu[0]
    with ctl.lock:
        if unit != ctl.unit:
            return bytes([fc | 0x80, 0x0B])
        regs = ctl.registers()
        gen = ctl.gen
    if fc == 3 and len(pdu) == 5:
        start, count = struct.unpack(">HH", pdu[1:5])
        if count < 1 or start + count > len(regs):
            return bytes([fc | 0x80, 0x02])
        ctl.say("read unit=%d gen=%d" % (unit, gen))
        return bytes([fc, 2 * count]) + struct.pack(">%dH" % count, *regs[start:start + count])
    if fc == 6 and len(pdu) == 5:
        addr, value = struct.unpack(">HH", pdu[1:5])
        if addr != 0:
            return bytes([fc | 0x80, 0x02])
        ctl.say("write unit=%d addr=%d value=%d" % (unit, addr, value))
        ctl.command(value)
        return pdu
    return bytes([fc | 0x80, 0x01])


def serve_control(ctl, conn):
    with conn, conn.makefile("rw", newline="\n") as f:
        for line in f:
            f.write(ctl.control(line.strip()) + "\n")
            f.flush()


def listen(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(8)
    return s


def accept_loop(sock, target, ctl):
    while True:
        conn, _ = sock.accept()
        threading.Thread(target=target, args=(ctl, conn), daemon=True).start()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--control-port", type=int, default=0)
    p.add_argument("--unit", type=int, default=1)
    p.add_argument("--step-ms", type=int, default=300)
    a = p.parse_args()
    ctl = Controller(a.unit, a.step_ms)
    modbus, control = listen(a.port), listen(a.control_port)
    threading.Thread(target=accept_loop, args=(control, serve_control, ctl), daemon=True).start()
    ctl.say("READY port=%d control=%d" % (modbus.getsockname()[1], control.getsockname()[1]))
    try:
        accept_loop(modbus, serve_modbus, ctl)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
