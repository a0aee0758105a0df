#!/usr/bin/python3
"""Simulated barrier controller: Modbus TCP (functions 3 and 6) on plain sockets.
Registers: 0 command (1 open, 4 priority open, 2 close), 1-2 status word, 5-6 loop words.
A command runs an opening or closing sequence, one boom angle per --step-ms.
Control port, one command a line: "set status=N loopa=N loopb=N" (answers "ok gen=G"),
"unit N" (other unit ids get exception 0x0B), "delay MS" (each answer MS late; one request served at
a time, those behind it queued), "pipeline on|off" (with on, every request is answered MS after it
came, whatever came before: a gateway with a fixed delay), "busy on|off" (with on, one request is
served at a time, its answer sent MS after it came, and one that comes meanwhile is neither carried out
nor answered: a gateway that drops what comes while it is busy), "twice on|off" (each answer sent twice),
"drop", "stall [cut] [write]" (the next answer, or the next answer to a write, ends after its header
announcing 0xFFFF bytes, or is cut short, and the connection goes silent: a controller reset
mid-frame), "lag MS" (a command moves the boom MS later), "wrong KIND..." with KIND function, unit,
protocol, transaction or none (answers carry another function code (4), unit id, protocol id or
transaction id, taking the kinds in turn; none: as asked, the default).
Prints "READY port=P control=C", then "connected", "read unit=U gen=G", "write unit=U
addr=0 value=V", "dropped unit=U function=F" (busy)."""
import argparse, socket, struct, threading, time

READY, PRIO, CLOSED, CLOSING, OPENING, OPEN = 1, 1 << 13, 1 << 20, 1 << 21, 1 << 22, 1 << 23
MOTION = PRIO | CLOSED | CLOSING | OPENING | OPEN | 0xFF000000
lock = threading.Lock()
st = dict(status=READY | CLOSED, loopa=0, loopb=0, gen=0, unit=1, delay=0.0, lag=0.0, motion=0, stall=None, conns=set(),
          wrong=["none"], answers=0, pipeline=False, twice=False, busy=False)


def say(line):
    print(line, flush=True)


def move(value, step, mine):
    opening, prio = value != 2, PRIO if value == 4 else 0
    time.sleep(st["lag"])
    for angle in ((0, 45, 90) if opening else (90, 45, 0)) + (None,):
        with lock:
            if st["motion"] != mine:
                return
            word = (OPENING if opening else CLOSING) | (angle or 0) << 24 if angle is not None else \
                (OPEN | 90 << 24 if opening else CLOSED) | READY
            st["status"] = (st["status"] & ~MOTION) | word | prio
            st["gen"] += 1
        time.sleep(step)


def answer(unit, pdu, step):
    fc = pdu[0]
    with lock:
        if unit != st["unit"]:
            return bytes([fc | 0x80, 0x0B])
        s, gen = st["status"], st["gen"]
        regs = [0, s >> 16, s & 0xFFFF, 0, 0, st["loopa"], st["loopb"]]
    a, b = struct.unpack(">HH", pdu[1:5])
    if fc == 3 and a + b <= len(regs):
        say("read unit=%d gen=%d" % (unit, gen))
        return bytes([fc, 2 * b]) + struct.pack(">%dH" % b, *regs[a:a + b])
    if fc == 6 and a == 0:
        say("write unit=%d addr=0 value=%d" % (unit, b))
        if b in (1, 2, 4):
            # The sequence is under way once the command is answered: a status set after
            # the answer ends it, however late its thread runs.
            with lock:
                st["motion"] += 1
                mine = st["motion"]
            threading.Thread(target=move, args=(b, step, mine), daemon=True).start()
        return pdu
    return bytes([fc | 0x80, 0x01 if fc not in (3, 6) else 0x02])


def modbus(conn, step):
    with lock:
        st["conns"].add(conn)
    say("connected")
    out = threading.Lock()

    def send(frame, late=False):
        try:
            with out:
                conn.sendall(frame)
        except OSError:
            if not late:
                raise

    free_at = 0.0  # busy: when the request being served is answered
    try:
        f = conn.makefile("rb")
        while True:
            head = f.read(7)
            if len(head) < 7:
                return
            tid, proto, length, unit = struct.unpack(">HHHB", head)
            pdu = f.read(length - 1)
            busy = st["busy"]
            if busy and time.monotonic() < free_at:
                say("dropped unit=%d function=%d" % (unit, pdu[0]))
                continue
            free_at = time.monotonic() + st["delay"]
            reply = answer(unit, pdu, step)
            pipelined = st["pipeline"] or busy
            if not pipelined:
                time.sleep(st["delay"])
            with lock:
                stall = st["stall"] if st["stall"] and ("write" not in st["stall"] or pdu[:1] == b"\x06") else None
                st["stall"] = None if stall else st["stall"]
            if stall:
                frame = struct.pack(">HHHB", tid, proto, len(reply) + 1 if "cut" in stall else 0xFFFF, unit)
                conn.sendall(frame + reply[:1] if "cut" in stall else frame)
                while f.read(1):  # silent from now on
                    pass
                return
            with lock:
                wrong = st["wrong"][st["answers"] % len(st["wrong"])]
                st["answers"] += 1
            tid, proto, unit = (tid + 1) & 0xFFFF if wrong == "transaction" else tid, \
                1 if wrong == "protocol" else proto, (unit + 1) & 0xFF if wrong == "unit" else unit
            reply = bytes([4]) + reply[1:] if wrong == "function" else reply
            frame = struct.pack(">HHHB", tid, proto, len(reply) + 1, unit) + reply
            frame *= 2 if st["twice"] else 1
            if pipelined:
                later = threading.Timer(st["delay"], send, (frame, True))
                later.daemon = True
                later.start()
            else:
                send(frame)
    except OSError:
        pass
    finally:
        with lock:
            st["conns"].discard(conn)
        conn.close()


def control(conn, _):
    with conn, conn.makefile("rw") as f:
        for line in f:
            cmd, *args = line.split() or [""]
            with lock:
                if cmd == "set":
                    st.update((k, int(v, 0)) for k, v in (a.split("=") for a in args))
                    st["motion"] += 1
                    st["gen"] += 1
                    out = "ok gen=%d" % st["gen"]
                elif cmd in ("unit", "delay", "lag"):
                    st[cmd] = int(args[0]) if cmd == "unit" else int(args[0]) / 1000.0
                    out = "ok"
                elif cmd == "wrong" and args and set(args) <= {"function", "unit", "protocol", "transaction", "none"}:
                    st["wrong"], st["answers"] = args, 0
                    out = "ok"
                elif cmd in ("pipeline", "twice", "busy") and args and args[0] in ("on", "off"):
                    st[cmd] = args[0] == "on"
                    out = "ok"
                elif cmd == "stall":
                    st["stall"] = set(args) | {"ffff"}
                    out = "ok"
                elif cmd == "drop":
                    for c in st["conns"]:
                        c.shutdown(socket.SHUT_RDWR)
                    out = "ok"
                else:
                    out = "error unknown command"
            f.write(out + "\n")
            f.flush()


def serve(port, handler, arg):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(8)
    loop = lambda: [threading.Thread(target=handler, args=(s.accept()[0], arg), daemon=True).start()
                    for _ in iter(int, 1)]
    return s.getsockname()[1], loop


if __name__ == "__main__":
    p = argparse.ArgumentParser(description=__doc__)
    for name, default in (("--port", 0), ("--control-port", 0), ("--unit", 1), ("--step-ms", 300)):
        p.add_argument(name, type=int, default=default)
    a = p.parse_args()
    st["unit"] = a.unit
    port, run_modbus = serve(a.port, modbus, a.step_ms / 1000.0)
    cport, run_control = serve(a.control_port, control, None)
    threading.Thread(target=run_control, daemon=True).start()
    say("READY port=%d control=%d" % (port, cport))
    run_modbus()
