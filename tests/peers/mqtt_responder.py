#!/usr/bin/python3
"""A device service answering MQTT request/response calls, for tests.

Listens on ROOT/+/request/+ and answers on ROOT/<op>/response/<id>, by operation:
  echo     {"echo": <request object>, "raw": <payload text>, "qos": n, "retain": bool}
  array    a JSON array
  garbage  text that is not JSON
  empty    an empty payload
  twice    {"n": 1} then {"n": 2}
  silent   no answer at all
Prints READY once its subscription is in place, and every request as "REQ <topic> <payload>".
"""
import argparse
import json
import sys

import paho.mqtt.client as mqtt


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--root", required=True)
    args = ap.parse_args()

    client = mqtt.Client(protocol=mqtt.MQTTv311)

    def on_connect(c, userdata, flags, rc):
        c.subscribe(args.root + "/+/request/+", qos=1)

    def on_subscribe(c, userdata, mid, granted):
        print("READY", flush=True)

    def on_message(c, userdata, msg):
        raw = msg.payload.decode("utf-8", "replace")
        print("REQ %s %s" % (msg.topic, raw), flush=True)
        parts = msg.topic[len(args.root) + 1:].split("/")
        if len(parts) != 3:
            return
        op, _, call_id = parts
        reply = "%s/%s/response/%s" % (args.root, op, call_id)
        if op == "echo":
            try:
                req = json.loads(raw)
            except ValueError:
                req = None
            body = {"echo": req, "raw": raw, "qos": msg.qos, "retain": bool(msg.retain)}
            c.publish(reply, json.dumps(body), qos=1)
        elif op == "array":
            c.publish(reply, "[1, 2, 3]", qos=1)
        elif op == "garbage":
            c.publish(reply, "this is {not json", qos=1)
        elif op == "empty":
            c.publish(reply, b"", qos=1)
        elif op == "twice":
            c.publish(reply, json.dumps({"n": 1}), qos=1)
            c.publish(reply, json.dumps({"n": 2}), qos=1)

    client.on_connect = on_connect
    client.on_subscribe = on_subscribe
    client.on_message = on_message
    client.connect("127.0.0.1", args.port, keepalive=30)
    try:
        client.loop_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
