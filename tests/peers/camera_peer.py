#!/usr/bin/python3
"""A recognition camera (plate or container reader) on its own address, for tests and scripts/run.

Prints "READY http://ADDRESS:PORT". Serves the device information, the XML configuration
(GET; POST replaces it and prints "UPLOAD <xml as a JSON string>") and the trigger under
/local/Vaxreader/ (alprN) or /local/Vaxcontainer/ (ccrN): "TRIGGER ID", answer 200, then a
reading with "id" ID is posted from ADDRESS to the configured <http_post url>:
"POSTED ID CODE <status>". CODE is what it read: a plate such as "KHN-4721" (alprN) or a
container code with its check digit such as "XJQU6639878" (ccrN), another one each time.
Faults: --fail N triggers, --late-ms (answer late), --early (post before answering),
--malformed (body not JSON), --auth USER:PASS (basic), --batch N (hold posts until N are due,
then send them together), --heartbeat-ms (heartbeats to <heartbeat url>: "HEARTBEAT <status>").
Control: GET /control/image?bytes=N makes the next reading carry an image of N bytes of base64.
"""
import argparse
import base64
import datetime
import http.client
import http.server
import json
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET
import zlib

CONFIG = """<?xml version="1.0"?>
<vaxreader>
 <zuruv camera_id="ZRV-{role}" site="lane"/>
 <trigger mode="http" enabled="true"/>
 <http_post enabled="false" url="" images="false"/>
 <heartbeat enabled="false" url="" interval="60"/>
</vaxreader>
"""

args = None
lock = threading.Lock()
config = ""
triggers = 0
readings = 0
batch = []
image_bytes = 0  # of the next reading's image, when set


def say(line):
    with lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def target(tag):
    with lock:
        root = ET.fromstring(config)
    el = root.find(tag)
    if el is None or el.get("enabled") != "true" or not el.get("url"):
        return None
    return urllib.parse.urlsplit(el.get("url"))


def post(tag, body):
    url = target(tag)
    if url is None:
        return None
    conn = http.client.HTTPConnection(url.hostname, url.port, timeout=10, source_address=(args.address, 0))
    try:
        conn.request("POST", url.path, body, {"Content-Type": "application/json"})
        return conn.getresponse().status
    except OSError as e:
        return "ERR:%s" % e
    finally:
        conn.close()


PLATE_LETTERS = "ABEHIKMNOPTXYZ"  # the letters Greek plates share with the Latin alphabet
OWNERS = ("QZXU", "XJQU", "JQZU", "ZXJU", "QJXU", "XZQU")  # invented owner codes


def check_digit(code):
    """ISO 6346: a letter counts from 10 upwards, skipping the multiples of 11; a digit its value."""
    values = [int(c) if c.isdigit() else ord(c) - 55 + (ord(c) - 56) // 10 for c in code]
    return sum(v << i for i, v in enumerate(values)) % 11 % 10


def code(tid):
    global readings
    with lock:
        readings += 1
        n = zlib.crc32(("%s/%s/%d" % (args.role, tid, readings)).encode())
    if args.role.startswith("alpr"):
        letters = "".join(PLATE_LETTERS[(n >> (5 * i)) % len(PLATE_LETTERS)] for i in range(3))
        return "%s-%04d" % (letters, n % 10000)
    base = "%s%06d" % (OWNERS[n % len(OWNERS)], (n >> 3) % 1000000)
    return base + str(check_digit(base))


def reading(tid, read):
    global image_bytes
    now = datetime.datetime.now()
    if args.malformed:
        return b'{"plate": "broken'
    with lock:
        image = "A" * image_bytes if image_bytes else "aW1hZ2U="
        image_bytes = 0
    if args.role.startswith("alpr"):
        body = {"plate": read, "id": tid, "confidence": 87.5, "country": "Greece",
                "countrycode": "GR", "class": "TRUCK", "color": "white", "make": "Tarvos", "model": "T460",
                "direction": 1, "directionstr": "approach", "speed": 7, "imageid": "img-" + tid,
                "image": image, "plateImage": "cGxhdGU=", "ip": args.address,
                "timestamp": now.isoformat(timespec="seconds"), "localtime": now.strftime("%H:%M:%S")}
    else:
        body = {"containercode": read, "id": tid, "sizecode": "45G1", "confidence": "91",
                "ownercode": read[:3], "ip": args.address, "image": image, "patch": "cGF0Y2g=",
                "timestamp": now.isoformat(timespec="seconds")}
    return json.dumps(body).encode()


def send_reading(tid):
    read = code(tid)
    say("POSTED %s %s %s" % (tid, read, post("http_post", reading(tid, read))))


def queue_reading(tid):
    if args.batch <= 1:
        threading.Thread(target=send_reading, args=(tid,), daemon=True).start()
        return
    with lock:
        batch.append(tid)
        due = list(batch) if len(batch) >= args.batch else []
        if due:
            batch.clear()
    if due:
        gate = threading.Barrier(len(due))

        def together(tid):
            gate.wait()
            send_reading(tid)
        for t in due:
            threading.Thread(target=together, args=(t,), daemon=True).start()


def heartbeats():
    while True:
        time.sleep(args.heartbeat_ms / 1000.0)
        body = {"SerialNumber": args.serial + "-HB", "FirmwareVersion": "9.80.1",
                "Date": datetime.datetime.now().isoformat(timespec="seconds")}
        status = post("heartbeat", json.dumps(body).encode())
        if status is not None:
            say("HEARTBEAT %s" % status)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # header and body are written apart

    def log_message(self, fmt, *a):
        pass

    def answer(self, code, body=b"", ctype="application/json", headers=()):
        self.send_response(code)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def authorised(self):
        if not args.auth:
            return True
        expected = "Basic " + base64.b64encode(args.auth.encode()).decode()
        if self.headers.get("Authorization") == expected:
            return True
        self.answer(401, b"unauthorised", "text/plain", [("WWW-Authenticate", 'Basic realm="camera"')])
        return False

    def handle_any(self):
        global config, triggers, image_bytes
        url = urllib.parse.urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        if url.path == "/control/image":
            with lock:
                image_bytes = int(urllib.parse.parse_qs(url.query)["bytes"][0])
            self.answer(200, b"OK", "text/plain")
            return
        if not self.authorised():
            return
        app = "/local/Vaxreader/" if args.role.startswith("alpr") else "/local/Vaxcontainer/"
        if url.path == "/axis-cgi/basicdeviceinfo.cgi":
            info = {"ProdFullName": "Peer %s camera" % args.role, "Version": "9.80.1", "SerialNumber": args.serial}
            self.answer(200, json.dumps({"apiVersion": "1.3", "data": {"propertyList": info}}).encode())
        elif url.path == app + "alpr.cgi" and self.command == "GET":
            with lock:
                current = config
            self.answer(200, current.encode(), "application/xml")
        elif url.path == app + "alpr.cgi" and self.command == "POST":
            text = body.decode("utf-8", "replace")
            try:
                ET.fromstring(text)
            except ET.ParseError:
                self.answer(400, b"bad xml", "text/plain")
                return
            with lock:
                config = text
            say("UPLOAD " + json.dumps(text))
            self.answer(200, b"OK", "text/plain")
        elif url.path == app + "trigger.cgi":
            tid = urllib.parse.parse_qs(url.query).get("id", [""])[0]
            with lock:
                triggers += 1
                failing = triggers <= args.fail
            say("TRIGGER " + tid)
            if failing:
                self.answer(500, b"trigger failed", "text/plain")
                return
            if args.early:
                send_reading(tid)
            if args.late_ms:
                time.sleep(args.late_ms / 1000.0)
            try:
                self.answer(200, b"OK", "text/plain")
            except OSError:
                pass
            if not args.early:
                queue_reading(tid)
        else:
            self.answer(404, b"not found", "text/plain")

    do_GET = handle_any
    do_POST = handle_any


def main():
    global args, config
    p = argparse.ArgumentParser()
    p.add_argument("--address", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--role", required=True)
    p.add_argument("--serial", default="SN-PEER")
    p.add_argument("--auth", default="")
    p.add_argument("--fail", type=int, default=0)
    p.add_argument("--late-ms", type=int, default=0)
    p.add_argument("--early", action="store_true")
    p.add_argument("--malformed", action="store_true")
    p.add_argument("--batch", type=int, default=1)
    p.add_argument("--heartbeat-ms", type=int, default=0)
    args = p.parse_args()
    config = CONFIG.format(role=args.role.upper())
    server = http.server.ThreadingHTTPServer((args.address, args.port), Handler)
    server.daemon_threads = True
    if args.heartbeat_ms > 0:
        threading.Thread(target=heartbeats, daemon=True).start()
    say("READY http://%s:%d" % (args.address, server.server_address[1]))
    server.serve_forever()


if __name__ == "__main__":
    main()
