#!/usr/bin/python3
"""Self-test of lane_sim.py against a real mosquitto, with paho only."""

import json
import os
import select
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import paho.mqtt.client as mqtt

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(HERE, "lane_sim.py")


class Broker:
    """mosquitto on a port free a moment ago, or on another one when something took it first."""

    def __init__(self):
        self.dir = tempfile.TemporaryDirectory()
        conf = os.path.join(self.dir.name, "mosquitto.conf")
        for _ in range(10):
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                self.port = s.getsockname()[1]
            with open(conf, "w") as f:
                f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n"
                        "log_dest stdout\n" % self.port)
            self.proc = subprocess.Popen(["stdbuf", "-oL", "mosquitto", "-c", conf], stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, text=True)
            log = ""
            for line in self.proc.stdout:  # ends when it exits
                log += line
                if " running" in line:
                    # The rest of its log is drained unread.
                    threading.Thread(target=self.proc.stdout.read, daemon=True).start()
                    return
            self.proc.wait(5)
            if "Address already in use" not in log:
                break
        raise RuntimeError("mosquitto did not start")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)
        self.dir.cleanup()


class Peer:
    """A plain MQTT client that records every message it receives, in order."""

    def __init__(self, port):
        self.msgs = []
        self.cond = threading.Condition()
        self.c = mqtt.Client(protocol=mqtt.MQTTv311)
        self.c.on_message = self._on_message
        self.c.on_subscribe = self._on_subscribe
        self.subacks = set()
        self.c.connect("127.0.0.1", port)
        self.c.socket().setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.c.loop_start()

    def _on_message(self, client, userdata, msg):
        with self.cond:
            self.msgs.append((msg.topic, msg.payload))
            self.cond.notify_all()

    def _on_subscribe(self, client, userdata, mid, granted):
        with self.cond:
            self.subacks.add(mid)
            self.cond.notify_all()

    def sub(self, topic):
        _, mid = self.c.subscribe(topic, 1)
        with self.cond:
            assert self.cond.wait_for(lambda: mid in self.subacks, 3), "no SUBACK"

    def mark(self):
        with self.cond:
            return len(self.msgs)

    def wait(self, topic, start=0, timeout=3.0, pred=None):
        """Index and decoded payload of the first message on topic at or after start."""
        def find():
            for i in range(start, len(self.msgs)):
                t, p = self.msgs[i]
                if t == topic:
                    try:
                        v = json.loads(p)
                    except ValueError:
                        v = p
                    if pred is None or pred(v):
                        return i, v
            return None
        with self.cond:
            r = self.cond.wait_for(find, timeout)
        if r is None:
            raise AssertionError("no message on %s" % topic)
        return r

    def quiet(self, topic, start, seconds):
        """True when nothing arrives on topic for that long."""
        try:
            self.wait(topic, start, seconds)
            return False
        except AssertionError:
            return True

    def call(self, root, path, req, rid, timeout=3.0):
        resp = "%s%s/response/%s" % (root, path, rid)
        self.sub(resp)
        start = self.mark()
        self.c.publish("%s%s/request/%s" % (root, path, rid), json.dumps(req), qos=1)
        return self.wait(resp, start, timeout)

    def close(self):
        self.c.disconnect()
        self.c.loop_stop()


class SimTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = Broker()

    @classmethod
    def tearDownClass(cls):
        cls.broker.stop()

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.state = os.path.join(self.tmp.name, "lane.json")
        self.rr = "t/%s/rfid" % self._testMethodName
        self.dr = "t/%s/disp" % self._testMethodName
        self.peer = Peer(self.broker.port)
        self.peer.sub(self.rr + "/#")
        self.peer.sub(self.dr + "/#")
        self.sim = None
        self.rid = 0

    def tearDown(self):
        self.stop_sim()
        self.peer.close()
        self.tmp.cleanup()

    def stop_sim(self):
        if self.sim:
            if self.sim.poll() is None:
                self.sim.terminate()
            try:
                self.sim.wait(15)
            finally:
                # never left running: it holds the test's output open
                if self.sim.poll() is None:
                    self.sim.kill()
                    self.sim.wait()
                self.sim.stdout.close()

    def start_sim(self, *extra):
        self.stop_sim()
        self.sim = subprocess.Popen(
            ["/usr/bin/python3", SIM, "--port", str(self.broker.port), "--rfid-root", self.rr,
             "--dispenser-root", self.dr, "--state", self.state, "--quiet"] + list(extra),
            stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.sim.stdout], [], [], 10)
        self.assertTrue(ready, "simulator did not start")
        self.assertEqual(self.sim.stdout.readline().strip(), "READY")

    def rcall(self, path, req=None):
        self.rid += 1
        return self.peer.call(self.rr, path, req or {}, self.rid)

    def dcall(self, path):
        self.rid += 1
        return self.peer.call(self.dr, path, {}, self.rid)

    def control(self, **cmd):
        start = self.peer.mark()
        cmd["id"] = "c%d" % start
        self.peer.c.publish(self.dr + "/sim/control", json.dumps(cmd), qos=1)
        return self.peer.wait(self.dr + "/sim/reply", start, pred=lambda r: r["id"] == cmd["id"])[1]

    def dstatus(self, start, **want):
        return self.peer.wait(self.dr + "/status", start,
                              pred=lambda s: all(s["device"].get(k) == v for k, v in want.items()))

    def rstatus(self, start, state):
        return self.peer.wait(self.rr + "/status", start, pred=lambda s: s["device"]["state"] == state)

    def saved(self):
        with open(self.state) as f:
            return json.load(f)

    def test_entry_lane_issue_write_read_present(self):
        self.start_sim("--cards", "10", "--capacity", "20")
        _, info = self.peer.wait(self.dr + "/info")
        self.assertEqual(info["device"]["model"], "ELR19093")
        self.peer.wait(self.rr + "/info")
        self.dstatus(0, cartridge="ok", cartridgePercent=50, cardInRfid=False, active=True)
        self.rstatus(0, 1)

        m = self.peer.mark()
        i, ans = self.dcall("/issue")
        self.assertEqual(ans, {"completed": True})
        j, _ = self.dstatus(m, cardInRfid=True, cartridgePercent=45)
        self.assertLess(i, j, "dispenser sensors follow its answer")
        i, ans = self.dcall("/issue")
        self.assertEqual(ans["error"]["code"], 14)

        m = self.peer.mark()
        i, ans = self.rcall("/enable", {"autoread": False})
        self.assertTrue(ans["completed"])
        j, _ = self.rstatus(m, 2)
        self.assertLess(j, i, "reader state precedes its answer")
        k, tag = self.peer.wait(self.rr + "/card/found", m)
        self.assertEqual(tag, {"uid": "5A000001", "type": 4})
        self.assertLess(k, self.rstatus(m, 3)[0])

        _, ans = self.rcall("/card/read", {"template": "auto", "usageLogs": 1})
        self.assertEqual(ans["error"]["what"], "Card is not formatted")
        _, ans = self.rcall("/card/create", {"template": "ZUKAv1"})
        self.assertEqual(ans["data"]["template"], "ZUKAv1")
        self.assertEqual(ans["data"]["data"]["info"]["status"], "available")
        entry = {"timestamp": "2026-12-06T09:05:07", "type": "entry", "usageCounter": 0,
                 "deviceId": "T1", "locationId": "L1"}
        card = {"uid": "5A000001", "type": 4, "template": "ZUKAv1",
                "data": {"info": {"version": 0, "customsId": 7, "status": "active"},
                         "usageCounter": 1, "usageLog": [entry]}}
        _, ans = self.rcall("/card/write", card)
        self.assertTrue(ans["completed"])
        self.assertEqual(ans["data"]["data"]["usageLog"], [entry])
        exit_entry = dict(entry, type="exit", usageCounter=1)
        card["data"].update(usageCounter=2, usageLog=[exit_entry])
        self.rcall("/card/write", card)
        _, ans = self.rcall("/card/read", {"template": "auto", "usageLogs": 1, "topupLogs": 0})
        self.assertEqual(ans["data"]["data"]["usageLog"], [exit_entry])
        self.assertEqual(ans["data"]["data"]["usageCounter"], 2)
        _, ans = self.rcall("/card/read", {"template": "ZUKAv1", "usageLogs": 5})
        self.assertEqual(ans["data"]["data"]["usageLog"], [entry, exit_entry])
        _, ans = self.rcall("/card/write", dict(card, uid="0BADCAFE"))
        self.assertFalse(ans["completed"])
        _, ans = self.rcall("/card/write", dict(card, data={"usageLog": "x"}))
        self.assertEqual(ans["error"]["what"], "Invalid data")

        m = self.peer.mark()
        self.rcall("/disable")
        self.rstatus(m, 1)
        m = self.peer.mark()
        i, ans = self.dcall("/eject")
        self.assertTrue(ans["completed"])
        self.assertLess(i, self.dstatus(m, cardInMouth=True, cardInRfid=False)[0])

        m = self.peer.mark()
        self.assertTrue(self.control(cmd="take")["ok"])
        self.peer.wait(self.dr + "/card/removed", m)
        self.dstatus(m, cardInMouth=False)
        c = self.saved()["cards"]["5A000001"]
        self.assertEqual(c["location"], "hand")
        self.assertEqual(c["data"]["info"], {"version": 0, "customsId": 7, "status": "active"})
        self.assertEqual(len(c["data"]["usageLog"]), 2)
        self.assertFalse(self.control(cmd="take")["ok"])

    def test_exit_lane_accept_read_dispose(self):
        self.start_sim("--model", "ELG0909", "--detect-ms", "50", "--move-ms", "50")
        content = {"info": {"version": 0, "customsId": 3, "status": "active"}, "usageCounter": 4,
                   "usageLog": [{"type": "entry", "n": k} for k in range(4)]}
        m = self.peer.mark()
        self.assertEqual(self.control(cmd="insert", uid="CAFE0001", template="ZUKAv1", data=content)["uid"],
                         "CAFE0001")
        self.dstatus(m, cardInMouth=True)
        self.assertTrue(self.peer.quiet(self.dr + "/card/inserted", m, 0.3), "taken in while not accepting")
        m = self.peer.mark()
        self.dcall("/accept/enable")
        i, _ = self.dstatus(m, cardInMouth=False, cardInRfid=True)
        self.assertLess(i, self.peer.wait(self.dr + "/card/inserted", m)[0])

        self.rcall("/enable", {"autoread": False})
        self.assertEqual(self.peer.wait(self.rr + "/card/found", m)[1]["uid"], "CAFE0001")
        _, ans = self.rcall("/card/read", {"template": "auto", "usageLogs": 1, "topupLogs": 0})
        self.assertEqual(ans["data"]["data"]["usageLog"], [{"type": "entry", "n": 3}])
        m = self.peer.mark()
        self.dcall("/dispose")
        self.peer.wait(self.dr + "/card/disposed", m)
        self.peer.wait(self.rr + "/card/removed", m)
        self.rstatus(m, 2)
        self.assertEqual(self.saved()["box"], ["CAFE0001"])
        self.assertEqual(self.saved()["cards"]["CAFE0001"]["location"], "box")

        m = self.peer.mark()
        self.control(cmd="insert", uid="0DD00001", template="OTHERv2", data={"x": 1})
        self.peer.wait(self.rr + "/card/found", m, pred=lambda t: t["uid"] == "0DD00001")
        _, ans = self.rcall("/card/read", {"template": "auto", "usageLogs": 1})
        self.assertEqual(ans["data"]["template"], "OTHERv2")

    def test_device_conditions(self):
        self.start_sim("--cards", "1")
        m = self.peer.mark()
        self.control(cmd="door", open=True)
        self.dstatus(m, isCartridgeDoorOpen=True)
        self.assertEqual(self.dcall("/issue")[1]["error"], {"code": 4, "description": "Cartridge door open"})
        self.control(cmd="door", open=False)
        self.control(cmd="jam", on=True)
        self.assertEqual(self.dcall("/eject")[1]["error"]["code"], 3)
        self.control(cmd="jam", on=False)
        self.dcall("/issue")
        m = self.peer.mark()
        self.dcall("/dispose")
        self.dstatus(m, cartridge="empty", cartridgePercent=0, cardInRfid=False)
        self.dcall("/accept")  # nothing in the mouth
        self.assertEqual(self.dcall("/issue")[1]["error"]["code"], 5)
        m = self.peer.mark()
        self.control(cmd="cartridge", count=100)
        self.dstatus(m, cartridge="ok", cartridgePercent=100)
        m = self.peer.mark()
        self.control(cmd="reader", state=5, error="Antenna fault")
        self.peer.wait(self.rr + "/status", m, pred=lambda s: s["device"] == {"state": 5, "error": "Antenna fault"})
        self.assertEqual(self.rcall("/enable", {"autoread": False})[1]["error"]["what"], "Antenna fault")

    def test_faults(self):
        self.start_sim("--cards", "5")
        self.control(cmd="fault", op="/issue", kind="error", code=12, text="Motor stalled")
        m = self.peer.mark()
        self.assertEqual(self.dcall("/issue")[1],
                         {"completed": False, "error": {"code": 12, "description": "Motor stalled"}})
        self.assertEqual(len(self.saved()["cartridge"]), 5, "a failed call moves nothing")
        self.control(cmd="fault", op="/issue", kind="error", effect=True)
        self.assertEqual(self.dcall("/issue")[1]["error"]["description"], "Simulated failure")
        self.dstatus(m, cardInRfid=True)

        # the sensor before the answer, then with the answer silent
        self.control(cmd="fault", op="eject", status="before")
        m = self.peer.mark()
        i, _ = self.dcall("/eject")
        self.assertLess(self.dstatus(m, cardInMouth=True)[0], i)
        self.control(cmd="fault", op="/accept", kind="silence")
        self.rid += 1
        m = self.peer.mark()
        self.peer.c.publish("%s/accept/request/%d" % (self.dr, self.rid), "{}", qos=1)
        self.dstatus(m, cardInMouth=False, cardInRfid=True)
        self.assertTrue(self.peer.quiet("%s/accept/response/%d" % (self.dr, self.rid), m, 0.3))

        for kind, check in (("array", lambda p: p == [{"completed": True}]),
                            ("garbage", lambda p: p == b"{not json"),
                            ("empty", lambda p: p == b"")):
            self.control(cmd="fault", op="/enable", kind=kind)
            self.assertTrue(check(self.rcall("/enable")[1]), kind)

        self.control(cmd="fault", op="/disable", kind="wrong_id", to_id="77")
        self.peer.sub(self.rr + "/disable/response/77")
        m = self.peer.mark()
        self.rid += 1
        self.peer.c.publish("%s/disable/request/%d" % (self.rr, self.rid), "{}", qos=1)
        self.assertEqual(self.peer.wait(self.rr + "/disable/response/77", m)[1], {"completed": True})
        self.assertTrue(self.peer.quiet("%s/disable/response/%d" % (self.rr, self.rid), m, 0.2))

        self.control(cmd="fault", op="/eject", count=2, kind="raw", payload='{"completed":false}')
        self.assertEqual(self.dcall("/eject")[1], {"completed": False})
        self.control(cmd="clear_faults")
        self.assertEqual(self.dcall("/accept")[1], {"completed": True})
        self.assertEqual(self.dcall("/eject")[1], {"completed": True}, "second fault cleared")
        self.assertFalse(self.control(cmd="fault", op="/nothing")["ok"])

    def test_offline_will_and_exit(self):
        self.start_sim()
        # both services' start-up status first, so that a late one is not taken for a change
        self.peer.wait(self.rr + "/status")
        self.peer.wait(self.dr + "/status")
        m = self.peer.mark()
        self.control(cmd="offline", service="rfid")
        self.peer.wait(self.rr + "/status", m, pred=lambda s: s == {"service": False})
        self.assertTrue(self.peer.quiet(self.dr + "/status", m, 0.2))
        m = self.peer.mark()
        self.control(cmd="online", service="rfid")
        self.peer.wait(self.rr + "/status", m, pred=lambda s: s["service"] is True)
        m = self.peer.mark()
        self.control(cmd="exit")
        self.assertEqual(self.sim.wait(15), 0)
        self.peer.wait(self.rr + "/status", m, pred=lambda s: s == {"service": False})
        self.peer.wait(self.dr + "/status", m, pred=lambda s: s == {"service": False})

        # a restart keeps the cards; SIGTERM announces the services offline and exits cleanly
        self.start_sim()
        self.assertEqual(self.saved()["nextSerial"], 51)
        m = self.peer.mark()
        self.sim.send_signal(signal.SIGTERM)
        self.assertEqual(self.sim.wait(15), 0)
        self.peer.wait(self.dr + "/status", m, pred=lambda s: s == {"service": False})
        self.peer.wait(self.rr + "/status", m, pred=lambda s: s == {"service": False})

    def test_model_change_is_another_machine(self):
        self.start_sim("--cards", "3")
        self.assertTrue(self.control(cmd="insert")["ok"])
        self.assertTrue(self.control(cmd="take")["ok"])
        self.assertTrue(self.dcall("/issue")[1]["completed"])  # the next card waits at the RFID station
        entry = self.saved()
        self.start_sim("--model", "ELG0909", "--cards", "3")
        s = self.saved()
        self.assertEqual((s["model"], s["rfid"], s["mouth"], s["box"]), ("ELG0909", None, None, []))
        self.assertEqual(s["hand"], entry["hand"])
        self.assertEqual(len(s["cartridge"]), 3)
        self.assertEqual(set(s["cards"]), set(s["hand"] + s["cartridge"]))
        self.assertTrue(set(s["cartridge"]).isdisjoint(entry["cards"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
