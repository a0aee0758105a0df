#!/usr/bin/python3
"""Simulated lane card devices: the RFID reader service and the card dispenser service.

One process serves both services over MQTT, each on its own connection with its own last will
({"service": false}, retained, on "<root>/status"), because the reader's RF field is the
dispenser's RFID position. A third connection carries the control topic.

Run:  lane_sim.py --port 1883 [--host 127.0.0.1] [--rfid-root vexo/rfid]
                  [--dispenser-root vexo/dispenser] [--model ELR19093|ELG0909]
                  [--cards 50] [--capacity 100] [--state lane_sim.json] [--reset]
                  [--detect-ms 100] [--move-ms 100] [--quiet]
Prints "READY" on standard output once connected, subscribed and announced; exits with 0 on
SIGTERM or SIGINT after publishing {"service": false} on both status topics.

Cards
  Each card has a uid, a tag type (4, MIFARE Classic 1K, unless given), a data template (null
  for a blank card) and its stored data, and is in one place: "cartridge", "rfid" (the
  dispenser's RFID position, which is the reader's field), "mouth", "hand" (taken by the driver)
  or "box" (the storage box). The cartridge starts with --cards blank cards (uids "5A000001",
  "5A000002", ...). A "ZUKAv1" card stores {"info": {"version", "customsId", "status"},
  "usageCounter", "usageLog": [every entry ever written]}.

State file (--state): rewritten after every change, atomically (temporary file, then rename):
  {"model", "cartridgeCapacity", "cartridge": [uids, next to issue first], "rfid": uid|null,
   "mouth": uid|null, "mouthOrigin": "inserted"|"ejected"|null, "hand": [uids], "box": [uids],
   "doorOpen", "jammed", "active", "accepting",
   "reader": {"enabled", "autoread", "state", "error", "found": uid|null},
   "nextSerial", "cards": {uid: {"uid", "type", "template", "data", "location"}}}
  An existing state file is loaded at start-up unless --reset is given. One of another model
  is another machine: the lane starts fresh (cartridge of --cards blank cards, nothing in the
  RFID position, the mouth or the box) and only the cards in the driver's hand are kept, so a
  card taken at the entry lane can be inserted at the exit lane.

Reader service (root --rfid-root)
  "/info" retained: {"device": {"uid", "firmware", "manufacturer", "model"}, "service": {"version"}}
  "/status" retained, on every change: {"service": true, "device": {"state", "error"}}
    state 1 Idle (RF off), 2 Searching (RF on, no card detected), 3 CardFound, or the state set
    by the "reader" control command (0 Init, 4 Updating, 5 Error).
  "/card/found" and "/card/removed": {"uid", "type"}; a card in the field is detected --detect-ms
    after RF was switched on or after the card arrived, then "/card/found" and the status
    CardFound are published; a detected card that leaves the field gives "/card/removed" and
    the status Searching.
  "/card/autoread": after "/card/found" when enabled with autoread: the card object (last usage
    entry only), or {"error": {"what"}} for a blank card.
  Calls (answer {"completed": true[, "data": card]} or {"completed": false, "error": {"what"}}):
    "/enable" {"autoread"}: RF on; the field is searched anew (status Searching before the answer)
    "/disable": RF off (status Idle before the answer)
    "/card/create" {"template": "ZUKAv1"}: formats the detected card with a new card's content
    "/card/read" {"template": "auto"|name, "usageLogs": n}: the card with its last n usage entries
    "/card/write" {"uid", "type", "template", "data"}: info and usageCounter replaced, the
        written usage entries appended; answers with the card as written
  create, read and write need RF on and the card detected.

Dispenser service (root --dispenser-root)
  "/info" retained: {"device": {"firmware", "manufacturer", "model"}, "service": {"version"}}
  "/status" retained, on every change: {"service": true, "device": {"active", "isJammed",
    "isCartridgeDoorOpen", "cardInMouth", "cardInRfid", "cartridge": "empty"|"low"|"ok",
    "cartridgePercent"}}  ("low": 10 % or less of --capacity)
  "/card/inserted", "/card/removed", "/card/disposed": {}
  Calls, request {} (answer {"completed": true} or {"completed": false, "error": {"code",
  "description"}}):
    "/issue"  cartridge -> RFID position      "/accept" mouth -> RFID position
    "/eject"  RFID position -> mouth           "/dispose" RFID position -> box ("/card/disposed")
    "/collect" mouth (else RFID position) -> box ("/card/disposed")
    "/accept/enable", "/accept/disable": automatic acceptance of inserted cards. While it is on,
        a card that the driver inserted into the mouth is taken to the free RFID position
        --move-ms later, then "/card/inserted" is published.
  Error codes: 1 "Dispenser not active", 3 "Dispenser jammed", 4 "Cartridge door open",
    5 "Cartridge empty", 6 "Card in mouth", 7 "No card in mouth", 8 "No card in RFID position",
    9 "RFID position occupied", 10 "Mouth occupied", 14 "Card already in RFID position" (issue
    with a card already there), 98 "Invalid request", 99 "Unknown command".
  Sensor changes (the "/status" and card events a call causes) are published after the answer
  of the dispenser's calls and before the answer of the reader's calls, unless a fault says
  otherwise.

Control topic "<dispenser root>/sim/control", one JSON object per message with "cmd" and an
optional "id". Each command is answered on "<dispenser root>/sim/reply" with
{"id", "cmd", "ok": bool, "error": text} after its effects have been published (through the
dispenser's connection while it is up, so a subscriber sees the reply after the dispenser's
own messages).
  {"cmd": "insert", "uid"?, "type"?, "template"?, "data"?}
      The driver pushes a card into the mouth (needs an empty mouth). An existing uid must be a
      card in the driver's hand; a new uid (or none, with a template or data given) makes a new
      card with that content (blank when no template); with neither, the card last taken by the
      driver, else a new blank card. Reply carries "uid".
  {"cmd": "take", "quiet"?: true}         the driver takes the card from the mouth ("/card/removed");
      quiet: nothing it causes is published (as if the broker lost it)
  {"cmd": "door", "open": bool}           cartridge door
  {"cmd": "jam", "on": bool}              jam: every mechanical call fails with code 3
  {"cmd": "active", "on": bool}           dispenser "active" flag (off: calls fail with code 1)
  {"cmd": "cartridge", "count": n, "capacity"?: m}
      blank cards in the cartridge (0 empties it); removed cards are forgotten
  {"cmd": "reader", "state": n|null, "error"?: text}
      forces the reader state (e.g. 5 with an error text, 4 Updating); calls then fail with the
      error text (or "Reader not ready"); null returns to normal operation
  {"cmd": "timing", "detect_ms"?: n, "move_ms"?: n}  detection delay (-1: cards are never
      detected) and transport delay of automatic acceptance
  {"cmd": "fault", "op": "/eject", "kind"?: ..., "count"?: 1, ...}
      for the next "count" calls of the operation (a call path of either service):
      "kind": "ok" (default: normal answer), "error" (with "code" and "text"; default 99 and
        "Simulated failure"), "silence" (no answer), "array" (a JSON array), "garbage" (not
        JSON), "empty" (empty payload), "raw" (the text "payload" as it stands), "wrong_id"
        (the normal answer on the response topic of call id "to_id", default the id + 1000)
      "effect": whether the call still acts on the cards (default false for "error", true for
        the others)
      "status": "before" | "after" | "none": the call's sensor status (and card events)
        published before the answer, after it, or the status not at all
      "quiet": true: nothing the call causes is published (as if the broker lost it); the
        service reports its sensors again when it next connects
      "delay_ms": the answer is published that much later
  {"cmd": "clear_faults"}
  {"cmd": "offline", "service": "rfid"|"dispenser"|"both"}
      drops the service's connection without a clean close, so that the broker publishes its
      will; the service stays away until "online"
  {"cmd": "online", "service": "rfid"|"dispenser"|"both"}   reconnects and announces again
  {"cmd": "exit"}     saves the state and exits at once without closing the connections cleanly
  {"cmd": "dump"}     the reply carries "state", the state file's content
"""

import argparse
import copy
import heapq
import itertools
import json
import os
import queue
import signal
import socket
import sys
import time

import paho.mqtt.client as mqtt

TEMPLATE = "ZUKAv1"
CLASSIC_1K = 4

INIT, IDLE, SEARCHING, CARD_FOUND, UPDATING, ERROR = range(6)

RFID_OPS = ("/enable", "/disable", "/card/create", "/card/read", "/card/write")
DISPENSER_OPS = ("/issue", "/accept", "/eject", "/dispose", "/collect",
                 "/accept/enable", "/accept/disable")
# The reader changes its state before it answers; the dispenser reports the sensors once the
# command has completed.
DEFAULT_ORDER = {op: "before" for op in RFID_OPS}
DEFAULT_ORDER.update({op: "after" for op in DISPENSER_OPS})

FAULT_KINDS = ("ok", "error", "silence", "array", "garbage", "empty", "raw", "wrong_id")

QUIET = False


def log(*parts):
    if not QUIET:
        print("[lane_sim]", *parts, file=sys.stderr, flush=True)


def dumps(obj):
    return json.dumps(obj, separators=(",", ":"))


class SimError(Exception):
    """A call or control command that cannot be carried out: (code, text)."""

    def __init__(self, code, text):
        super().__init__(text)
        self.code = code
        self.text = text


def as_int(v):
    """A JSON whole number as int, else None (a usage count of None reads as 0 entries)."""
    if isinstance(v, bool):
        return None
    if isinstance(v, int):
        return v
    if isinstance(v, float) and v.is_integer():
        return int(v)
    return None


def new_card_content():
    return {"info": {"version": 0, "customsId": 0, "status": "available"},
            "usageCounter": 0, "usageLog": []}


def nodelay(client):
    """Small packets go out at once: a call's answer and its status must not wait for ACKs."""
    sock = client.socket()
    if sock is not None:
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass


class Conn:
    """One MQTT connection; its network thread only queues events for the main loop."""

    def __init__(self, sim, name, subs, will_topic=None):
        self.sim = sim
        self.name = name
        self.subs = subs
        self.will_topic = will_topic
        self.client = None
        self.ready = False
        self.sub_mid = None
        self.generation = 0
        self.announced = []

    def start(self):
        self.generation += 1
        gen = self.generation
        c = mqtt.Client(client_id="lane_sim_%s_%d_%d" % (self.name, os.getpid(), gen),
                        clean_session=True, protocol=mqtt.MQTTv311)
        if self.will_topic:
            c.will_set(self.will_topic, dumps({"service": False}), qos=1, retain=True)
        c.reconnect_delay_set(min_delay=0.2, max_delay=2)

        def on_connect(client, userdata, flags, rc):
            if rc != 0:
                return
            nodelay(client)
            _, mid = client.subscribe([(t, 1) for t in self.subs])
            self.sub_mid = mid

        def on_subscribe(client, userdata, mid, granted):
            if mid == self.sub_mid:
                self.sim.events.put(("ready", self, gen))

        def on_disconnect(client, userdata, rc):
            self.sim.events.put(("down", self, gen))

        def on_message(client, userdata, msg):
            self.sim.events.put(("msg", self, msg.topic, msg.payload))

        c.on_connect = on_connect
        c.on_subscribe = on_subscribe
        c.on_disconnect = on_disconnect
        c.on_message = on_message
        c.connect_async(self.sim.args.host, self.sim.args.port, keepalive=10)
        c.loop_start()
        self.client = c

    def publish(self, topic, payload, retain=False):
        if self.client is None or not self.ready:
            return None
        if not isinstance(payload, (bytes, str)):
            payload = dumps(payload)
        return self.client.publish(topic, payload, qos=1, retain=retain)

    def drop(self):
        """Leaves without DISCONNECT: the broker sees the socket close and sends the will."""
        c = self.client
        if c is None:
            return
        self.client = None
        self.ready = False
        c._thread_terminate = True  # stop the network thread from reconnecting
        sock = c.socket()
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        c.loop_stop()
        try:
            if c.socket() is not None:
                c.socket().close()
        except OSError:
            pass

    def close(self, last=None):
        """Clean close; publishes the last message (topic, payload) first."""
        c = self.client
        if c is None:
            return
        if last and self.ready:
            info = c.publish(last[0], dumps(last[1]), qos=1, retain=True)
            try:
                info.wait_for_publish(2)
            except (RuntimeError, ValueError):
                pass
        c.disconnect()
        c.loop_stop()
        self.client = None
        self.ready = False


class LaneSim:
    def __init__(self, args):
        self.args = args
        self.rroot = args.rfid_root.rstrip("/")
        self.droot = args.dispenser_root.rstrip("/")
        # SimpleQueue: the signal handler puts into it from the main thread, which may be
        # inside get() at that moment; Queue's lock would deadlock it there.
        self.events = queue.SimpleQueue()
        self.timers = []
        self.seq = itertools.count()
        self.stopping = False
        self.announced = False
        self.faults = {}
        self.out = []
        self.dirty = False
        self.last_status = {"rfid": None, "dispenser": None}
        self.detect_ms = args.detect_ms
        self.move_ms = args.move_ms
        self.rf_gen = 0

        self.model = args.model
        self.capacity = max(1, args.capacity)
        self.cards = {}
        self.cartridge = []
        self.rfid = None
        self.mouth = None
        self.mouth_origin = None
        self.hand = []
        self.box = []
        self.door_open = False
        self.jammed = False
        self.active = True
        self.accepting = False
        self.rf_on = False
        self.autoread = False
        self.found = None
        self.forced_state = None
        self.forced_error = ""
        self.next_serial = 1
        loaded = False
        if args.state and not args.reset and os.path.exists(args.state):
            try:
                loaded = self.load(args.state)
            except (OSError, ValueError, TypeError, AttributeError) as e:
                raise SystemExit("[lane_sim] cannot read the state file %s: %s" % (args.state, e))
        if not loaded:
            self.set_cartridge(args.cards)
        self.dirty = True

        self.rconn = Conn(self, "rfid", [self.rroot + "/+/request/+", self.rroot + "/+/+/request/+"],
                          self.rroot + "/status")
        self.dconn = Conn(self, "dispenser", [self.droot + "/+/request/+", self.droot + "/+/+/request/+"],
                          self.droot + "/status")
        self.cconn = Conn(self, "control", [self.droot + "/sim/control"])
        self.conns = {"rfid": self.rconn, "dispenser": self.dconn}

    # ---- state file -------------------------------------------------------------------------

    def location(self, uid):
        if uid == self.rfid:
            return "rfid"
        if uid == self.mouth:
            return "mouth"
        if uid in self.hand:
            return "hand"
        if uid in self.box:
            return "box"
        return "cartridge"

    def snapshot(self):
        cards = {}
        for uid, card in self.cards.items():
            c = dict(card)
            c["location"] = self.location(uid)
            cards[uid] = c
        return {
            "model": self.model, "cartridgeCapacity": self.capacity,
            "cartridge": list(self.cartridge), "rfid": self.rfid, "mouth": self.mouth,
            "mouthOrigin": self.mouth_origin, "hand": list(self.hand), "box": list(self.box),
            "doorOpen": self.door_open, "jammed": self.jammed, "active": self.active,
            "accepting": self.accepting,
            "reader": {"enabled": self.rf_on, "autoread": self.autoread,
                       "state": self.reader_state(), "error": self.reader_error(),
                       "found": self.found},
            "nextSerial": self.next_serial, "cards": cards,
        }

    def load(self, path):
        """Loads the state file; False when it was another model's (only the hand was kept)."""
        with open(path, encoding="utf-8") as f:
            s = json.load(f)
        for uid, c in s.get("cards", {}).items():
            self.cards[uid] = {"uid": uid, "type": int(c.get("type", CLASSIC_1K)),
                               "template": c.get("template"), "data": c.get("data")}
        self.hand = [u for u in s.get("hand", []) if u in self.cards]
        self.next_serial = int(s.get("nextSerial", len(self.cards) + 1))
        if s.get("model", self.model) != self.model:
            print("[lane_sim] state of model %s, now %s: a fresh machine, the driver keeps %d card(s)"
                  % (s.get("model"), self.model, len(self.hand)), file=sys.stderr, flush=True)
            self.cards = {u: self.cards[u] for u in self.hand}
            return False
        self.capacity = max(1, int(s.get("cartridgeCapacity", self.capacity)))
        self.cartridge = [u for u in s.get("cartridge", []) if u in self.cards]
        self.rfid = s.get("rfid") if s.get("rfid") in self.cards else None
        self.mouth = s.get("mouth") if s.get("mouth") in self.cards else None
        self.mouth_origin = s.get("mouthOrigin") if self.mouth else None
        self.box = [u for u in s.get("box", []) if u in self.cards]
        self.door_open = bool(s.get("doorOpen", False))
        self.jammed = bool(s.get("jammed", False))
        self.active = bool(s.get("active", True))
        self.accepting = bool(s.get("accepting", False))
        # The reader starts switched off, as after a power cycle.
        return True

    def save(self):
        self.dirty = False
        path = self.args.state
        if not path:
            return
        tmp = "%s.tmp.%d" % (path, os.getpid())
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(self.snapshot(), f, indent=1)
        os.replace(tmp, path)

    def changed(self):
        self.dirty = True

    # ---- cards ------------------------------------------------------------------------------

    def new_uid(self):
        while True:
            uid = "%08X" % (0x5A000000 + self.next_serial)
            self.next_serial += 1
            if uid not in self.cards:
                return uid

    def add_card(self, uid=None, ctype=CLASSIC_1K, template=None, data=None):
        uid = uid or self.new_uid()
        self.cards[uid] = {"uid": uid, "type": ctype, "template": template, "data": data}
        return uid

    def set_cartridge(self, count):
        count = max(0, int(count))
        while len(self.cartridge) > count:
            self.cards.pop(self.cartridge.pop(0), None)
        while len(self.cartridge) < count:
            self.cartridge.append(self.add_card())
        self.capacity = max(self.capacity, count)
        self.changed()

    def tag(self, uid):
        c = self.cards[uid]
        return {"uid": uid, "type": c["type"]}

    def card_object(self, uid, usage_logs=None):
        c = self.cards[uid]
        data = copy.deepcopy(c["data"])
        if usage_logs is not None and isinstance(data, dict) and isinstance(data.get("usageLog"), list):
            data["usageLog"] = data["usageLog"][-usage_logs:] if usage_logs and usage_logs > 0 else []
        return {"uid": uid, "type": c["type"], "template": c["template"] or "", "data": data}

    # ---- sensors and events -----------------------------------------------------------------

    def reader_state(self):
        if self.forced_state is not None:
            return self.forced_state
        if not self.rf_on:
            return IDLE
        return CARD_FOUND if self.found else SEARCHING

    def reader_error(self):
        return self.forced_error if self.forced_state is not None else ""

    def status(self, svc):
        if svc == "rfid":
            return {"service": True, "device": {"state": self.reader_state(), "error": self.reader_error()}}
        n = len(self.cartridge)
        percent = min(100, (n * 100 + self.capacity // 2) // self.capacity)
        level = "empty" if n == 0 else ("low" if n * 10 <= self.capacity else "ok")
        return {"service": True, "device": {
            "active": self.active, "isJammed": self.jammed, "isCartridgeDoorOpen": self.door_open,
            "cardInMouth": self.mouth is not None, "cardInRfid": self.rfid is not None,
            "cartridge": level, "cartridgePercent": percent}}

    def info(self, svc):
        if svc == "rfid":
            return {"device": {"uid": "SIMRDR0001", "firmware": "2.4.1", "manufacturer": "Vexo",
                               "model": "SIM-RFID-1356"}, "service": {"version": "1.0.0"}}
        return {"device": {"firmware": "1.7.0", "manufacturer": "Vexo", "model": self.model},
                "service": {"version": "1.0.0"}}

    def mark_status(self, svc):
        self.out.append(("status", svc, None))
        self.changed()

    def event(self, svc, path, payload):
        self.out.append(("event", svc, (path, payload)))

    def take_out(self):
        out, self.out = self.out, []
        return out

    def flush(self, items):
        if self.dirty:
            self.save()
        for kind, svc, arg in items:
            conn = self.conns[svc]
            root = self.rroot if svc == "rfid" else self.droot
            if kind == "status":
                self.publish_status(svc)
            else:
                conn.publish(root + arg[0], arg[1])

    def publish_status(self, svc, force=False):
        st = dumps(self.status(svc))
        if not force and st == self.last_status[svc]:
            return None
        conn = self.conns[svc]
        if not conn.ready:
            return None
        root = self.rroot if svc == "rfid" else self.droot
        self.last_status[svc] = st
        return conn.publish(root + "/status", st, retain=True)

    def rfid_sync(self):
        """Follows the card at the RFID position with the reader's field."""
        if self.found and self.found != self.rfid:
            self.event("rfid", "/card/removed", {"uid": self.found, "type": self.cards[self.found]["type"]}
                       if self.found in self.cards else {"uid": self.found, "type": 0})
            self.found = None
            self.mark_status("rfid")
        if self.rf_on and self.forced_state is None and self.rfid and not self.found and self.detect_ms >= 0:
            token = (self.rf_gen, self.rfid)
            self.schedule(self.detect_ms, lambda: self.detect(token))

    def detect(self, token):
        if not self.rf_on or self.forced_state is not None or self.found or token != (self.rf_gen, self.rfid):
            return
        uid = self.rfid
        self.found = uid
        self.event("rfid", "/card/found", self.tag(uid))
        self.mark_status("rfid")
        if self.autoread:
            c = self.cards[uid]
            if c["template"]:
                self.event("rfid", "/card/autoread", self.card_object(uid, 1))
            else:
                self.event("rfid", "/card/autoread", {"error": {"what": "Card is not formatted"}})
        log("card detected", uid)
        self.flush(self.take_out())

    def move(self, src, dst):
        """Moves the card at src ("cartridge", "rfid", "mouth") to dst; returns its uid."""
        if src == "cartridge":
            uid = self.cartridge.pop(0)
        elif src == "rfid":
            uid, self.rfid = self.rfid, None
        else:
            uid, self.mouth, self.mouth_origin = self.mouth, None, None
        if dst == "rfid":
            self.rfid = uid
        elif dst == "mouth":
            self.mouth = uid
        elif dst == "box":
            self.box.append(uid)
        elif dst == "hand":
            self.hand.append(uid)
        self.mark_status("dispenser")
        self.rfid_sync()
        return uid

    def auto_accept(self):
        if (self.accepting and self.mouth and self.mouth_origin == "inserted" and not self.rfid
                and self.active and not self.jammed):
            uid = self.move("mouth", "rfid")
            self.event("dispenser", "/card/inserted", {})
            log("card taken in", uid)
            self.flush(self.take_out())

    # ---- timers -----------------------------------------------------------------------------

    def schedule(self, ms, fn):
        heapq.heappush(self.timers, (time.monotonic() + max(0, ms) / 1000.0, next(self.seq), fn))

    # ---- calls ------------------------------------------------------------------------------

    def on_request(self, svc, topic, payload):
        root = self.rroot if svc == "rfid" else self.droot
        rest = topic[len(root):]
        path, _, rid = rest.rpartition("/request/")
        resp_topic = root + path + "/response/" + rid
        ops = RFID_OPS if svc == "rfid" else DISPENSER_OPS
        fault = None
        if path in ops:
            lst = self.faults.get(path)
            if lst:
                fault = lst[0]
                fault["count"] -= 1
                if fault["count"] <= 0:
                    lst.pop(0)
        kind = fault["kind"] if fault else "ok"
        effect = fault["effect"] if fault else True

        answer = {"completed": True}
        if effect:
            try:
                try:
                    req = json.loads(payload.decode("utf-8") or "{}")
                except (UnicodeDecodeError, ValueError):
                    raise SimError(98, "Invalid request")
                if not isinstance(req, dict):
                    raise SimError(98, "Invalid request")
                if path not in ops:
                    raise SimError(99, "Unknown command")
                handler = getattr(self, ("r_" if svc == "rfid" else "d_") + path.strip("/").replace("/", "_"))
                data = handler(req)
                answer = {"completed": True}
                if data is not None:
                    answer["data"] = data
            except SimError as e:
                self.out = []  # a refused call changes nothing
                answer = self.error_answer(svc, e.code, e.text)
            except Exception as e:  # a bug of the simulator must not take it down
                self.out = []
                log("internal error:", repr(e))
                answer = self.error_answer(svc, 97, "Internal error")
        effects = self.take_out()

        if kind == "error":
            answer = self.error_answer(svc, fault["code"], fault["text"])
        elif kind == "array":
            answer = [answer]
        elif kind == "garbage":
            answer = b"{not json"
        elif kind == "empty":
            answer = b""
        elif kind == "raw":
            answer = str(fault.get("payload", "")).encode("utf-8")
        elif kind == "wrong_id":
            to_id = fault.get("to_id")
            if to_id is None:
                to_id = str(int(rid) + 1000) if rid.isdigit() else rid + "x"
            resp_topic = root + path + "/response/" + str(to_id)
        if kind == "silence":
            answer = None

        order = (fault.get("status") if fault else None) or DEFAULT_ORDER.get(path, "after")
        if order == "none":
            effects = [e for e in effects if e[0] != "status"]
        if fault and fault.get("quiet"):
            effects = []
        conn = self.conns[svc]
        log("call", svc, path, rid, "fault=%s" % kind if fault else "", "->",
            answer if not isinstance(answer, bytes) else repr(answer))

        def send_answer():
            if answer is not None:
                conn.publish(resp_topic, answer)

        delay = fault["delay_ms"] if fault else 0
        if self.dirty:
            self.save()
        if order == "before":
            self.flush(effects)
            if delay > 0:
                self.schedule(delay, send_answer)
            else:
                send_answer()
        else:
            def answer_then_effects():
                send_answer()
                self.flush(effects)
            if delay > 0:
                self.schedule(delay, answer_then_effects)
            else:
                answer_then_effects()

    @staticmethod
    def error_answer(svc, code, text):
        if svc == "rfid":
            return {"completed": False, "error": {"what": text}}
        return {"completed": False, "error": {"code": code, "description": text}}

    # reader calls

    def reader_ready(self):
        if self.forced_state is not None:
            raise SimError(0, self.forced_error or "Reader not ready")

    def detected_card(self):
        self.reader_ready()
        if not self.rf_on:
            raise SimError(0, "RF is disabled")
        if not self.found:
            raise SimError(0, "No card found")
        return self.found

    def r_enable(self, req):
        self.reader_ready()
        self.rf_on = True
        self.autoread = req.get("autoread") is True
        self.rf_gen += 1
        self.found = None  # the field is searched anew
        self.mark_status("rfid")
        self.rfid_sync()
        return None

    def r_disable(self, req):
        self.reader_ready()
        self.rf_on = False
        self.autoread = False
        self.rf_gen += 1
        self.found = None
        self.mark_status("rfid")
        return None

    def r_card_create(self, req):
        uid = self.detected_card()
        template = req.get("template")
        if template != TEMPLATE:
            raise SimError(0, "Unknown template : %s" % template)
        card = self.cards[uid]
        card["template"] = TEMPLATE
        card["data"] = new_card_content()
        self.changed()
        return self.card_object(uid)

    def r_card_read(self, req):
        uid = self.detected_card()
        card = self.cards[uid]
        template = req.get("template", "auto")
        if not card["template"]:
            raise SimError(0, "Card is not formatted")
        if template != "auto" and template != card["template"]:
            raise SimError(0, "Template mismatch : %s" % card["template"])
        n = as_int(req.get("usageLogs", 0))
        return self.card_object(uid, n)

    def r_card_write(self, req):
        uid = self.detected_card()
        card = self.cards[uid]
        if req.get("uid") != uid:
            raise SimError(0, "Card not found : %s" % req.get("uid"))
        if not card["template"]:
            raise SimError(0, "Card is not formatted")
        if req.get("template") != card["template"]:
            raise SimError(0, "Template mismatch : %s" % card["template"])
        data = req.get("data")
        if not isinstance(data, dict):
            raise SimError(0, "Invalid data")
        if card["template"] != TEMPLATE:
            card["data"] = copy.deepcopy(data)
            self.changed()
            return self.card_object(uid)
        info = data.get("info", {})
        logs = data.get("usageLog", [])
        stored = card["data"] if isinstance(card["data"], dict) else {}
        counter = as_int(data.get("usageCounter", stored.get("usageCounter", 0)))
        if (not isinstance(info, dict) or not isinstance(logs, list)
                or not all(isinstance(e, dict) for e in logs) or counter is None):
            raise SimError(0, "Invalid data")
        card["data"] = stored
        if not isinstance(stored.get("info"), dict):
            stored["info"] = {}
        if not isinstance(stored.get("usageLog"), list):
            stored["usageLog"] = []
        stored["info"].update(copy.deepcopy(info))
        stored["usageCounter"] = counter
        stored["usageLog"].extend(copy.deepcopy(logs))
        self.changed()
        written = copy.deepcopy(stored)
        written["usageLog"] = copy.deepcopy(logs)
        return {"uid": uid, "type": card["type"], "template": card["template"], "data": written}

    # dispenser calls

    def mechanics(self):
        if not self.active:
            raise SimError(1, "Dispenser not active")
        if self.jammed:
            raise SimError(3, "Dispenser jammed")

    def d_issue(self, req):
        self.mechanics()
        if self.door_open:
            raise SimError(4, "Cartridge door open")
        if self.rfid:
            raise SimError(14, "Card already in RFID position")
        if self.mouth:
            raise SimError(6, "Card in mouth")
        if not self.cartridge:
            raise SimError(5, "Cartridge empty")
        self.move("cartridge", "rfid")

    def d_accept(self, req):
        self.mechanics()
        if not self.mouth:
            raise SimError(7, "No card in mouth")
        if self.rfid:
            raise SimError(9, "RFID position occupied")
        self.move("mouth", "rfid")

    def d_eject(self, req):
        self.mechanics()
        if not self.rfid:
            raise SimError(8, "No card in RFID position")
        if self.mouth:
            raise SimError(10, "Mouth occupied")
        self.move("rfid", "mouth")
        self.mouth_origin = "ejected"

    def d_dispose(self, req):
        self.mechanics()
        if not self.rfid:
            raise SimError(8, "No card in RFID position")
        self.move("rfid", "box")
        self.event("dispenser", "/card/disposed", {})

    def d_collect(self, req):
        self.mechanics()
        if self.mouth:
            self.move("mouth", "box")
        elif self.rfid:
            self.move("rfid", "box")
        else:
            raise SimError(8, "No card to collect")
        self.event("dispenser", "/card/disposed", {})

    def d_accept_enable(self, req):
        self.accepting = True
        self.changed()
        self.schedule(self.move_ms, self.auto_accept)

    def d_accept_disable(self, req):
        self.accepting = False
        self.changed()

    # ---- control ----------------------------------------------------------------------------

    def on_control(self, payload):
        reply = {"id": None, "cmd": None, "ok": True, "error": ""}
        try:
            try:
                c = json.loads(payload.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                raise SimError(0, "Invalid JSON")
            if not isinstance(c, dict):
                raise SimError(0, "Invalid JSON")
            reply["id"] = c.get("id")
            reply["cmd"] = cmd = c.get("cmd")
            fn = getattr(self, "c_" + str(cmd), None)
            if fn is None:
                raise SimError(0, "Unknown command")
            extra = fn(c)
            if extra:
                reply.update(extra)
        except SimError as e:
            self.out = []
            reply["ok"] = False
            reply["error"] = e.text
        except (TypeError, ValueError, KeyError) as e:
            self.out = []
            reply["ok"] = False
            reply["error"] = "Bad argument : %s" % e
        log("control", payload.decode("utf-8", "replace"), "->", reply["ok"], reply["error"])
        self.flush(self.take_out())
        if reply.get("cmd") == "exit" and reply["ok"]:
            self.hard_exit(reply)
        conn = self.dconn if self.dconn.ready else self.cconn
        conn.publish(self.droot + "/sim/reply", reply)

    def c_insert(self, c):
        if self.mouth:
            raise SimError(0, "Mouth occupied")
        uid = c.get("uid")
        if uid is not None and not isinstance(uid, str):
            raise SimError(0, "Bad uid")
        if uid and uid in self.cards:
            if uid not in self.hand:
                raise SimError(0, "Card %s is in %s" % (uid, self.location(uid)))
            self.hand.remove(uid)
            if "template" in c:
                self.cards[uid]["template"] = c["template"]
            if "data" in c:
                self.cards[uid]["data"] = copy.deepcopy(c["data"])
        elif uid or "template" in c or "data" in c or not self.hand:
            ctype = c.get("type", CLASSIC_1K)
            if not isinstance(ctype, int) or isinstance(ctype, bool):
                raise SimError(0, "Bad type")
            uid = self.add_card(uid or None, ctype, c.get("template"), copy.deepcopy(c.get("data")))
        else:
            uid = self.hand.pop()
        self.mouth = uid
        self.mouth_origin = "inserted"
        self.mark_status("dispenser")
        self.schedule(self.move_ms, self.auto_accept)
        return {"uid": uid}

    def c_take(self, c):
        if not self.mouth:
            raise SimError(0, "No card in mouth")
        uid = self.move("mouth", "hand")
        self.event("dispenser", "/card/removed", {})
        if c.get("quiet"):
            self.out = []
        return {"uid": uid}

    def c_door(self, c):
        self.door_open = bool(c["open"])
        self.mark_status("dispenser")

    def c_jam(self, c):
        self.jammed = bool(c["on"])
        self.mark_status("dispenser")
        if not self.jammed:
            self.schedule(self.move_ms, self.auto_accept)

    def c_active(self, c):
        self.active = bool(c["on"])
        self.mark_status("dispenser")

    def c_cartridge(self, c):
        if "capacity" in c:
            self.capacity = max(1, int(c["capacity"]))
        self.set_cartridge(int(c["count"]))
        self.mark_status("dispenser")

    def c_reader(self, c):
        st = c.get("state")
        if st is None:
            self.forced_state = None
            self.forced_error = ""
            self.rf_gen += 1
            self.found = None
            self.rfid_sync()
        else:
            if self.found:
                self.found = None
            self.forced_state = int(st)
            self.forced_error = str(c.get("error", ""))
        self.mark_status("rfid")

    def c_timing(self, c):
        if "detect_ms" in c:
            self.detect_ms = int(c["detect_ms"])
        if "move_ms" in c:
            self.move_ms = max(0, int(c["move_ms"]))

    def c_fault(self, c):
        op = str(c["op"])
        op = op if op.startswith("/") else "/" + op
        if op not in RFID_OPS and op not in DISPENSER_OPS:
            raise SimError(0, "Unknown operation : %s" % op)
        kind = c.get("kind", "ok")
        if kind not in FAULT_KINDS:
            raise SimError(0, "Unknown fault kind : %s" % kind)
        if c.get("status", "after") not in ("before", "after", "none"):
            raise SimError(0, "Bad status order")
        f = {k: v for k, v in c.items() if k not in ("cmd", "id", "op")}
        f["kind"] = kind
        f["count"] = max(1, int(c.get("count", 1)))
        f["delay_ms"] = max(0, int(c.get("delay_ms", 0)))
        f["code"] = int(c.get("code", 99))
        f["text"] = str(c.get("text", "Simulated failure"))
        f["effect"] = bool(c.get("effect", kind != "error"))
        self.faults.setdefault(op, []).append(f)

    def c_clear_faults(self, c):
        self.faults.clear()

    def services(self, c):
        s = c.get("service", "both")
        if s not in ("rfid", "dispenser", "both"):
            raise SimError(0, "Unknown service : %s" % s)
        return ["rfid", "dispenser"] if s == "both" else [s]

    def c_offline(self, c):
        for s in self.services(c):
            self.conns[s].drop()
            self.last_status[s] = None

    def c_online(self, c):
        for s in self.services(c):
            if self.conns[s].client is None:
                self.conns[s].start()

    def c_exit(self, c):
        pass

    def c_dump(self, c):
        return {"state": self.snapshot()}

    def hard_exit(self, reply):
        self.save()
        info = self.cconn.publish(self.droot + "/sim/reply", reply)
        if info is not None:
            try:
                info.wait_for_publish(2)
            except (RuntimeError, ValueError):
                pass
        log("exit without clean disconnect")
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)

    # ---- main loop --------------------------------------------------------------------------

    def announce(self, svc):
        conn = self.conns[svc]
        root = self.rroot if svc == "rfid" else self.droot
        conn.announced = [conn.publish(root + "/info", self.info(svc), retain=True),
                          self.publish_status(svc, force=True)]

    def handle(self, ev):
        try:
            self.dispatch(ev)
        except Exception:  # keep serving; the test sees the trace on standard error
            import traceback
            traceback.print_exc()

    def dispatch(self, ev):
        kind = ev[0]
        if kind == "timer":
            ev[1]()
            self.flush(self.take_out())
        elif kind == "msg":
            _, conn, topic, payload = ev
            if conn is self.cconn:
                self.on_control(payload)
            elif conn.client is not None:
                self.on_request(conn.name, topic, payload)
        elif kind == "ready":
            _, conn, gen = ev
            if gen != conn.generation or conn.client is None:
                return
            conn.ready = True
            log("connected", conn.name)
            if conn.name in self.conns:
                self.announce(conn.name)
            if not self.announced and all(c.ready for c in (self.rconn, self.dconn, self.cconn)):
                self.announced = True
                # wait until the broker holds the retained announcements
                for svc in ("rfid", "dispenser"):
                    for info in self.conns[svc].announced:
                        if info is not None:
                            info.wait_for_publish(5)
                if self.dirty:
                    self.save()
                print("READY", flush=True)
        elif kind == "down":
            _, conn, gen = ev
            if gen == conn.generation:
                conn.ready = False
                if conn.name in self.last_status:
                    self.last_status[conn.name] = None
                log("connection lost", conn.name)

    def run(self):
        for c in (self.rconn, self.dconn, self.cconn):
            c.start()
        deadline = time.monotonic() + self.args.connect_timeout
        while not self.stopping:
            now = time.monotonic()
            if not self.announced and now > deadline:
                log("could not connect to %s:%d" % (self.args.host, self.args.port))
                return 1
            wait = 0.5
            if self.timers:
                wait = max(0.0, min(wait, self.timers[0][0] - now))
            try:
                ev = self.events.get(timeout=wait)
                if ev[0] != "stop":
                    self.handle(ev)
            except queue.Empty:
                pass
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now and not self.stopping:
                _, _, fn = heapq.heappop(self.timers)
                self.handle(("timer", fn))
            if self.dirty:
                self.save()
        self.shutdown()
        return 0

    def shutdown(self):
        log("stopping")
        if self.dirty:
            self.save()
        self.rconn.close((self.rroot + "/status", {"service": False}))
        self.dconn.close((self.droot + "/status", {"service": False}))
        self.cconn.close()


def main(argv=None):
    global QUIET
    # The whole description, the control topic's commands included, as written above.
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=1883)
    p.add_argument("--rfid-root", default="vexo/rfid")
    p.add_argument("--dispenser-root", default="vexo/dispenser")
    p.add_argument("--model", default="ELR19093")
    p.add_argument("--cards", type=int, default=50, help="blank cards in the cartridge")
    p.add_argument("--capacity", type=int, default=100, help="cartridge capacity")
    p.add_argument("--state", default="", help="JSON state file")
    p.add_argument("--reset", action="store_true", help="ignore an existing state file")
    p.add_argument("--detect-ms", type=int, default=100, help="card detection delay of the reader")
    p.add_argument("--move-ms", type=int, default=100, help="transport delay of automatic acceptance")
    p.add_argument("--connect-timeout", type=float, default=15.0)
    p.add_argument("--quiet", action="store_true")
    args = p.parse_args(argv)
    QUIET = args.quiet
    sim = LaneSim(args)

    def on_signal(signum, frame):
        sim.stopping = True
        sim.events.put(("stop",))

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    return sim.run()


if __name__ == "__main__":
    sys.exit(main())
