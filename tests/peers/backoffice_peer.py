#!/usr/bin/python3
"""The back-office servers (card back office, service bus, weighbridge) for tests.

HTTPS (CERTDIR from make_test_ca.sh; --client-cert requires a client certificate of
CERTDIR/ca.pem) and plain HTTP on free loopback ports; prints "READY <https> <http>".
Runs until its standard input ends.
SCRIPT (JSON, read at every request) maps "METHOD /path" or "/path" to an answer, or
to a list of answers given in turn (the last repeats; turns restart when the file
changes). Answer members: "status" (200), "json" (body as JSON) or "body" (text),
"delayMs" (wait first), "reset" (drop the connection with a TCP reset), "auth"
("user:password": 401 asking for basic credentials unless they are these). Hostile
answers, off unless scripted: "bodyBytes" (that many bytes, sent in pieces, length
announced unless "unannounced"), "padBytes" (a member "pad" of that many characters
added to "json"), "elsewhere" (a redirect to the same server and path under that host
name: another origin for the client; whatever follows it is logged with that "Host"),
"twice" (the answer is followed, once the next request on the connection has come, by
a second whole answer to the same request, the card back office's own; the next request
is then taken after "delayMs" again).
Unscripted requests under /api/v1/device/ reach the card back office below; other
unscripted requests get 404. LOG gets one JSON line per request.

Card back office: POST register issues an id and an API key (kept, with the commands whose
status was posted, in the file of --state FILE when given); every other request needs a
known "X-API-Key" (else 401).
Script member "cardbo" holds its data: "customs", "locations" (updateData), "heartbeat"
(members added to every heartbeat answer: configUpdatedAt, config, blacklistVersion,
softwareVersion...), "blacklist" (the blacklist answer), "blacklistFile" (a file whose
bytes are the blacklist answer instead: a large list), "commands" (sent in every heartbeat
answer until their status is posted). A transaction is counted once per
uuid: 201 the first time, 200 again; its log line carries "counted".
"""
import argparse
import base64
import http.server
import json
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

lock = threading.Lock()
state = {"script": None, "turns": {}, "keys": {}, "uuids": set(), "acked": set(), "state_file": None, "ports": {}}
DEVICE = "/api/v1/device/"


def answer_for(script_file, key, path):
    with lock:
        with open(script_file) as f:
            text = f.read()
        if text != state["script"]:
            state["script"], state["turns"] = text, {}
        script = json.loads(text)
        name = key if key in script else path
        entry = script.get(name)
        if isinstance(entry, list):
            turn = state["turns"][name] = state["turns"].get(name, -1) + 1
            entry = entry[min(turn, len(entry) - 1)]
        return entry


def save_state():
    """The issued keys and the acknowledged commands outlive the peer, as a server's would."""
    if state["state_file"]:
        with open(state["state_file"], "w") as f:
            json.dump({"keys": state["keys"], "acked": list(state["acked"])}, f)


def load_state():
    try:
        with open(state["state_file"]) as f:
            saved = json.load(f)
    except (OSError, ValueError):
        return
    if isinstance(saved.get("keys"), dict) and isinstance(saved.get("acked"), list):
        state["keys"], state["acked"] = saved["keys"], set(saved["acked"])
    else:  # a file of an earlier run: the keys alone
        state["keys"] = saved


def card_bo(handler, method, path, body):
    """The card back office's own answers: (status, JSON body, extra log members)."""
    with lock:
        data = json.loads(state["script"] or "{}").get("cardbo", {})
        try:
            req = json.loads(body) if body.strip().startswith((b"{", b"[")) else None
        except ValueError:
            req = None
        if path == DEVICE + "register" and method == "POST":
            key = "key-%d-%d" % (len(state["keys"]) + 1, int(time.time() * 1000))
            state["keys"][key] = req or {}
            save_state()
            return 200, {"id": str(len(state["keys"])), "apiKey": key}, {}
        if handler.headers.get("X-API-Key") not in state["keys"]:
            return 401, {"errorCode": "UNAUTHORIZED", "message": "Unknown API key"}, {}
        if path == DEVICE + "updateData":
            return 200, {"customs": data.get("customs", []), "locations": data.get("locations", [])}, {}
        if path == DEVICE + "heartbeat":
            answer = dict(data.get("heartbeat", {}))
            answer["commands"] = [c for c in data.get("commands", []) if c["id"] not in state["acked"]]
            return 200, answer, {}
        if path == DEVICE + "blacklist":
            if data.get("blacklistFile"):
                with open(data["blacklistFile"], "rb") as f:
                    return 200, f.read(), {}
            return 200, data.get("blacklist", {"added": [], "removed": []}), {}
        if path == DEVICE + "command/status":
            state["acked"].add((req or {}).get("id"))
            save_state()
            return 200, {}, {}
        if path == DEVICE + "transaction" and method == "POST":
            uuid = (req or {}).get("transactionUid") if isinstance(req, dict) else None
            if not uuid:
                return 400, {"errorCode": "BAD_REQUEST", "message": "No transactionUid"}, {}
            counted = uuid not in state["uuids"]
            state["uuids"].add(uuid)
            return (201 if counted else 200), {"transactionUid": uuid}, {"counted": counted}
        if path == DEVICE + "operation/status":
            return 200, {}, {}
        return 404, {"error": "unknown"}, {}


def make_handler(server_name, script_file, log_file):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True  # headers and body go out in two writes
        second = None  # a second answer to the last request and a pause, before the next is read

        def handle_one_request(self):
            if self.second is not None:
                (second, pause), self.second = self.second, None
                try:
                    if self.rfile.peek(1):  # the next request has come
                        self.wfile.write(second)
                        time.sleep(pause)
                except OSError:
                    pass
            super().handle_one_request()

        def log_message(self, fmt, *args):
            pass

        def send(self, code, body, headers={}):
            self.send_response(code)
            for k, v in headers.items():
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(body)))
            if body:
                self.send_header("Content-Type", "application/json")
            self.end_headers()
            self.wfile.write(body)

        def send_bulk(self, code, size, announced):
            self.send_response(code)
            self.send_header("Content-Type", "application/json")
            if announced:
                self.send_header("Content-Length", str(size))
            else:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            piece = b"x" * 65536
            try:
                while size > 0:
                    self.wfile.write(piece[:size])
                    size -= len(piece)
            except OSError:  # the client stopped reading
                self.close_connection = True

        def handle_any(self):
            url = urllib.parse.urlsplit(self.path)
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            if len(body) < length:  # the client went away in the middle of its request
                self.close_connection = True
                return
            record = {"server": server_name, "method": self.command, "path": url.path, "query": url.query,
                      "headers": dict(self.headers.items()), "body": body.decode("utf-8", "replace")}

            a = answer_for(script_file, "%s %s" % (self.command, url.path), url.path)
            if a is None and url.path.startswith(DEVICE):
                status, answer, extra = card_bo(self, self.command, url.path, body)
                record.update(extra)
                a = {"status": status, "body" if isinstance(answer, bytes) else "json": answer}
            with lock, open(log_file, "a") as f:
                f.write(json.dumps(record) + "\n")
            if a is None:
                return self.send(404, b'{"error": "not scripted"}')
            if "auth" in a and self.headers.get("Authorization") != "Basic " + base64.b64encode(
                    a["auth"].encode()).decode():
                return self.send(401, b"", {"WWW-Authenticate": 'Basic realm="backoffice"'})
            time.sleep(a.get("delayMs", 0) / 1000.0)
            if a.get("elsewhere"):
                where = "%s://%s:%d%s" % (server_name, a["elsewhere"], state["ports"][server_name], url.path)
                return self.send(a.get("status", 307), b"", {"Location": where})
            if "bodyBytes" in a:
                return self.send_bulk(a.get("status", 200), a["bodyBytes"], not a.get("unannounced"))
            if a.get("reset"):
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.close_connection = True
                return self.connection.close()
            if "padBytes" in a:
                a["json"] = dict(a.get("json", {}), pad="x" * a["padBytes"])
            data = json.dumps(a["json"]).encode() if "json" in a else a.get("body", "")
            data = data if isinstance(data, bytes) else data.encode()
            self.send(a.get("status", 200), data)
            if a.get("twice"):
                status, answer, _ = card_bo(self, self.command, url.path, body)
                data = json.dumps(answer).encode()
                self.second = (b"HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s" % (
                    status, self.responses[status][0].encode(), len(data), data), a.get("delayMs", 0) / 1000.0)

        def finish(self):
            try:
                super().finish()
            except (OSError, ValueError):
                pass

        do_GET = do_POST = do_PUT = do_DELETE = handle_any

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    context = None

    def handle_error(self, request, client_address):
        pass  # resets, time-outs and refused handshakes are part of the tests

    def finish_request(self, request, client_address):
        if self.context:  # the handshake runs in the request's own thread
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        self.RequestHandlerClass(request, client_address, self)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("certdir", metavar="CERTDIR", help="the certificates of make_test_ca.sh")
    p.add_argument("script_file", metavar="SCRIPT", help="the answers (JSON), read at every request")
    p.add_argument("log_file", metavar="LOG", help="one JSON line per request is appended here")
    p.add_argument("--client-cert", action="store_true", help="HTTPS requires a client certificate of CERTDIR/ca.pem")
    p.add_argument("--state", metavar="FILE", help="keeps the issued keys and the acknowledged commands")
    a = p.parse_args()
    certdir, script_file, log_file = a.certdir, a.script_file, a.log_file
    open(log_file, "a").close()
    if a.state:
        state["state_file"] = a.state
        load_state()
    servers = [Server(("127.0.0.1", 0), make_handler(name, script_file, log_file)) for name in ("https", "http")]
    servers[0].context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    servers[0].context.load_cert_chain(certdir + "/server.pem", certdir + "/server.key")
    if a.client_cert:
        servers[0].context.load_verify_locations(certdir + "/ca.pem")
        servers[0].context.verify_mode = ssl.CERT_REQUIRED
    state["ports"] = {"https": servers[0].server_address[1], "http": servers[1].server_address[1]}
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    print("READY %d %d" % (servers[0].server_address[1], servers[1].server_address[1]), flush=True)
    try:
        sys.stdin.read()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
