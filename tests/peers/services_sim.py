#!/usr/bin/python3
"""Simulated local services on one MQTT connection: network (with its wired interface),
system inspector, software update and GPS, each under its root (--<service>-root).
Prints "READY" once subscribed and "RECV <topic> <payload>" for every request received.

Network   "/info", "/status" retained; ethernet "/state/get", "/config/get" answered;
          "/config/set" applies the method ("manual": the given addresses, else the lease).
Inspector "/info", "/status" retained; "/audio/get", "/audio/set", "/stats/<x>/get" answered.
Update    "/status/get", "/check" answered with the status; "/trigger" plays the download
          (progress 101) and makes the version pending; "/install" plays the installation:
          progress 201, then 204, or 104 when the trigger's "md5" was "bad".
GPS       "/enable" and "/disable" answered with a status with and without a fix.
"""
import argparse
import json
import signal
import sys

import paho.mqtt.client as mqtt

LEASE = {"address": "192.168.10.50", "netmask": "255.255.255.0", "gateway": "192.168.10.1",
         "dns0": "192.168.10.1", "dns1": ""}


class Services:
    def __init__(self, args):
        self.net, self.eth = args.network_root, args.network_root + "/ethernet"
        self.insp, self.upd, self.gps = args.inspector_root, args.update_root, args.gps_root
        self.method, self.config = "auto", dict(LEASE)
        self.volume = 60
        self.version, self.pending, self.md5 = "1.0.0", "", ""
        self.client = mqtt.Client()
        self.client.on_connect = self.on_connect
        self.client.on_subscribe = lambda *a: print("READY", flush=True)
        self.client.on_message = self.on_message

    def pub(self, topic, doc, retain=False):
        self.client.publish(topic, json.dumps(doc), 0, retain)

    def on_connect(self, client, userdata, flags, rc):
        roots = [self.eth + "/state/get", self.eth + "/config/get", self.eth + "/config/set",
                 self.insp + "/audio/#", self.insp + "/stats/+/get", self.insp + "/power/#",
                 self.upd + "/status/get", self.upd + "/check", self.upd + "/trigger",
                 self.upd + "/install", self.gps + "/enable", self.gps + "/disable"]
        client.subscribe([(t, 0) for t in roots])
        self.pub(self.net + "/info", {"service": {"version": "2.1.0"}}, True)
        self.publish_network()
        self.pub(self.insp + "/info", {"service": {"version": "1.4.2"}}, True)
        self.pub(self.insp + "/status", {"service": True}, True)

    def live(self):
        return dict(self.config) if self.method == "manual" else dict(LEASE)

    def state(self):
        return {"interface": "eth0", "typeStr": "ethernet", "stateStr": "connected",
                "reasonStr": "none", "mac": "00:11:22:33:44:55", "ipv4": self.live()}

    def publish_network(self):
        self.pub(self.net + "/status", {
            "stateStr": "connected", "connectivityStr": "full", "hostname": "lane-terminal",
            "primaryConnection": {"interface": "eth0", "stateStr": "activated",
                                  "typeStr": "802-3-ethernet", "ipv4": self.live()}}, True)

    def ethernet(self, topic, doc):
        if topic.endswith("/config/set"):
            self.method = doc.get("method", "auto")
            if self.method == "manual":
                self.config = {k: doc.get(k, "") for k in LEASE}
            self.publish_network()
        if not topic.endswith("/state/get"):
            self.pub(self.eth + "/config", dict(self.config, interface="eth0", method=self.method))
        if not topic.endswith("/config/get"):
            self.pub(self.eth + "/state", self.state())

    def inspector(self, topic, doc):
        if topic == self.insp + "/audio/set":
            self.volume = doc["internal"]["volume"]
        if topic in (self.insp + "/audio/get", self.insp + "/audio/set"):
            self.pub(self.insp + "/audio", {"internal": {"volume": self.volume}})
        elif topic.startswith(self.insp + "/stats/"):
            self.pub(topic[:-len("/get")], {})

    def update_status(self, state="Idle"):
        self.pub(self.upd + "/status", {"updateman": True, "service": True, "version": self.version,
                                        "pending": self.pending, "state": state})

    def progress(self, description, percent, code):
        self.pub(self.upd + "/progress", {"description": description, "percent": percent, "progress": code})

    def update(self, topic, doc):
        if topic == self.upd + "/trigger":
            self.update_status("Downloading")
            for percent in (0, 50, 100):
                self.progress("Downloading", percent, 101)
            self.pending, self.md5 = doc.get("v", ""), doc.get("md5", "")
            self.update_status()
        elif topic == self.upd + "/install" and self.pending:
            self.update_status("Installing")
            self.progress("Installing", 50, 201)
            if self.md5 == "bad":
                self.progress("Checksum mismatch", 0, 104)
            else:
                self.version = self.pending
                self.progress("Installed", 100, 204)
            self.pending = ""
        else:
            self.update_status()

    def gps_request(self, topic, doc):
        fix = 3 if topic.endswith("/enable") else 0
        self.pub(self.gps + "/status", {"service": True, "simulation": True,
                                        "device": {"fix": fix, "state": 1 if fix else 0, "error": None}})

    def on_message(self, client, userdata, msg):
        payload = msg.payload.decode("utf-8", "replace")
        print("RECV", msg.topic, payload.replace("\n", " "), flush=True)
        try:
            doc = json.loads(payload) if payload else {}
        except ValueError:
            return
        if not isinstance(doc, dict):
            doc = {}
        for root, handler in ((self.eth, self.ethernet), (self.insp, self.inspector),
                              (self.upd, self.update), (self.gps, self.gps_request)):
            if msg.topic.startswith(root + "/"):
                handler(msg.topic, doc)
                return


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1883)
    for service in ("network", "inspector", "update", "gps"):
        parser.add_argument("--%s-root" % service, default="vexo/" + service)
    parser.add_argument("--address", default=LEASE["address"],
                        help="the wired interface's address while it is configured automatically")
    args = parser.parse_args()
    LEASE["address"] = args.address
    services = Services(args)
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    services.client.reconnect_delay_set(1, 2)
    services.client.connect(args.host, args.port)
    try:
        services.client.loop_forever(retry_first_connection=True)
    except SystemExit:
        services.client.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
