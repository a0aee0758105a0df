#!/usr/bin/python3
"""The back-office servers (card back office, service bus, weighbridge) for tests.

Usage: backoffice_peer.py CERTDIR SCRIPT LOG [--client-cert]
Serves HTTPS (server certificate CERTDIR/server.pem, made by make_test_ca.sh; with
--client-cert a client certificate signed by CERTDIR/ca.pem is required) and plain
HTTP on two free loopback ports, and prints "READY <https> <http>".

SCRIPT is a JSON file, read again at every request, mapping "METHOD /path" (or just
"/path") to an answer or to a list of answers given in turn (the last one repeats;
the turns start again when the file changes). An answer is an object:
  "status"   HTTP status (default 200)
  "json"     body sent as JSON        "body"  body sent as it is (text)
  "delayMs"  wait that long before answering
  "reset"    true: drop the connection (TCP reset) without an answer
  "auth"     "user:password": without these basic credentials answer 401 asking for them
Unscripted requests are answered 404 {"error": "not scripted"}.

LOG gets one JSON line per request: server, method, path, query, headers, body.
"""
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
state = {"script": None, "turns": {}}


def answer_for(script_file, key, path):
    with lock:
        try:
            with open(script_file) as f:
                text = f.read()
        except OSError:
            text = "{}"
        if text != state["script"]:
            state["script"], state["turns"] = text, {}
        script = json.loads(text or "{}")
        name = key if key in script else path
        entry = script.get(name)
        if entry is None:
            return None
        if isinstance(entry, list):
            turn = state["turns"].get(name, 0)
            state["turns"][name] = turn + 1
            entry = entry[min(turn, len(entry) - 1)]
        return entry


def make_handler(server_name, script_file, log_file):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def send(self, code, body, headers=None):
            self.send_response(code)
            for k, v in (headers or {}).items():
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(body)))
            if body:
                self.send_header("Content-Type", "application/json")
            self.end_headers()
            self.wfile.write(body)

        def handle_any(self):
            url = urllib.parse.urlsplit(self.path)
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            record = {"server": server_name, "method": self.command, "path": url.path, "query": url.query,
                      "headers": dict(self.headers.items()), "body": body.decode("utf-8", "replace")}
            with lock, open(log_file, "a") as f:
                f.write(json.dumps(record) + "\n")

            a = answer_for(script_file, "%s %s" % (self.command, url.path), url.path)
            if a is None:
                return self.send(404, b'{"error": "not scripted"}')
            if "auth" in a:
                expected = "Basic " + base64.b64encode(a["auth"].encode()).decode()
                if self.headers.get("Authorization") != expected:
                    return self.send(401, b"", {"WWW-Authenticate": 'Basic realm="backoffice"'})
            if a.get("delayMs"):
                time.sleep(a["delayMs"] / 1000.0)
            if a.get("reset"):
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.close_connection = True
                self.connection.close()
                return
            if "json" in a:
                data = json.dumps(a["json"]).encode()
            else:
                data = a.get("body", "").encode()
            self.send(a.get("status", 200), data)

        def finish(self):
            try:
                super().finish()
            except (OSError, ValueError):
                pass

        do_GET = do_POST = do_PUT = do_DELETE = handle_any

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # resets, time-outs and refused handshakes are part of the tests


class TlsServer(Server):
    def __init__(self, addr, handler, context):
        self.context = context
        super().__init__(addr, handler)

    def finish_request(self, request, client_address):
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        self.RequestHandlerClass(tls, client_address, self)


def main():
    certdir, script_file, log_file = sys.argv[1:4]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certdir + "/server.pem", certdir + "/server.key")
    if "--client-cert" in sys.argv:
        context.load_verify_locations(certdir + "/ca.pem")
        context.verify_mode = ssl.CERT_REQUIRED
    open(log_file, "a").close()

    servers = [TlsServer(("127.0.0.1", 0), make_handler("https", script_file, log_file), context),
               Server(("127.0.0.1", 0), make_handler("http", script_file, log_file))]
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    print("READY %d %d" % (servers[0].server_address[1], servers[1].server_address[1]), flush=True)
    try:
        sys.stdin.read()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
