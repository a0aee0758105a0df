#!/usr/bin/python3
"""HTTPS and HTTP test server for the HTTP client (standard library only).

Usage: http_peer.py CERTDIR
Serves HTTPS (client certificate required, signed by CERTDIR/ca.pem) and plain
HTTP on two free loopback ports and prints "PORTS <https> <http>" once ready.

Routes, on both servers:
  /echo                 200, JSON: server, TLS version, method, path, query, body text,
                        request headers
  /status/<code>?body=  answers <code> with the given body text (none when absent)
  /slow?ms=N            waits N ms, then 200 {"slow": true}
  /redirect?to=URL[&code=302]
                        answers with a redirect to URL (may be relative)
  /loop                 redirects to itself
  /hops/<n>             redirects to /hops/<n-1>; /hops/0 answers 200 {"hops": 0}
  /big?size=N[&chunked=1[&pause=ms]]
                        about N bytes of a JSON array, with a Content-Length, or chunked
                        in 64 KiB pieces with a pause after each
  /auth[?digest=ALGS[&basic=1][&uses=N]]
                        200 with the credentials lane:secret, else 401 asking for them: basic
                        credentials, or with digest= Digest ones (qop "auth") of each of the
                        comma-separated algorithms (MD5, SHA-256), in that order, and basic=1
                        a Basic challenge after them; uses=N makes a nonce good for N requests,
                        then stale; a nonce count must grow with each use. The 200 names the
                        request's Content-Type ("type"); the 401's body is text, as servers send
  /seen                 JSON list of "METHOD path" received by this server so far
"""
import hashlib
import http.server
import json
import re
import socket
import ssl
import sys
import threading
import time
import urllib.parse

REALM = "lane@peer"
OPAQUE = "5ccc069c403ebaf9f0171e9517f40e41"
HASHES = {"MD5": hashlib.md5, "SHA-256": hashlib.sha256}
nonces = {}  # nonce -> [uses left or None, last nonce count]
nonces_lock = threading.Lock()


def digest_params(text):
    return {m.group(1).lower(): m.group(3) if m.group(3) is not None else m.group(2)
            for m in re.finditer(r'(\w+)=("((?:[^"\\]|\\.)*)"|[^,\s]*)', text)}


def digest_check(handler, algorithms):
    """(accepted algorithm or None, whether the nonce was stale)"""
    auth = handler.headers.get("Authorization", "")
    if not auth.startswith("Digest "):
        return None, False
    p = digest_params(auth[7:])
    algorithm = p.get("algorithm", "MD5")
    if algorithm not in algorithms or p.get("username") != "lane" or p.get("realm") != REALM \
            or p.get("uri") != handler.path or p.get("qop") != "auth" or p.get("opaque") != OPAQUE:
        return None, False
    h = lambda text: HASHES[algorithm](text.encode()).hexdigest()
    ha1 = h("lane:%s:secret" % REALM)
    ha2 = h("%s:%s" % (handler.command, p["uri"]))
    if p.get("response") != h(":".join([ha1, p.get("nonce", ""), p.get("nc", ""), p.get("cnonce", ""), "auth", ha2])):
        return None, False
    with nonces_lock:
        entry = nonces.get(p["nonce"])
        if entry is None or not re.fullmatch(r"[0-9a-f]{8}", p["nc"]) or int(p["nc"], 16) <= entry[1]:
            return None, False
        if entry[0] == 0:
            return None, True
        entry[1] = int(p["nc"], 16)
        if entry[0] is not None:
            entry[0] -= 1
    return algorithm, False


def digest_challenges(algorithms, uses, stale):
    nonce = hashlib.sha256(("%f" % time.time()).encode() + threading.current_thread().name.encode()).hexdigest()[:32]
    with nonces_lock:
        nonces[nonce] = [uses, 0]
    return [("WWW-Authenticate", 'Digest realm="%s", qop="auth", algorithm=%s, nonce="%s", opaque="%s"%s'
             % (REALM, a, nonce, OPAQUE, ", stale=true" if stale else "")) for a in algorithms]


def make_handler(name, seen):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def send_body(self, code, body, ctype="application/json", headers=None):
            self.send_response(code)
            for k, v in (headers.items() if isinstance(headers, dict) else headers or []):
                self.send_header(k, v)
            if body is not None and code != 204:
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(body)))
            elif code != 204:
                self.send_header("Content-Length", "0")
            self.end_headers()
            if body and code != 204:
                self.wfile.write(body)

        def handle_any(self):
            url = urllib.parse.urlsplit(self.path)
            query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            parts = url.path.strip("/").split("/")
            if url.path != "/seen":
                seen.append("%s %s" % (self.command, url.path))

            if url.path == "/echo":
                tls = self.connection.version() if hasattr(self.connection, "version") else None
                out = {"server": name, "tls": tls, "method": self.command, "path": url.path, "query": url.query,
                       "body": body.decode("utf-8", "replace"), "headers": dict(self.headers.items())}
                self.send_body(200, json.dumps(out).encode())
            elif parts[0] == "status" and len(parts) == 2:
                text = query.get("body")
                self.send_body(int(parts[1]), text.encode() if text is not None else None, "text/plain")
            elif url.path == "/slow":
                time.sleep(int(query.get("ms", "1000")) / 1000.0)
                self.send_body(200, b'{"slow": true}')
            elif url.path == "/redirect":
                self.send_body(int(query.get("code", "302")), None, headers={"Location": query["to"]})
            elif url.path == "/loop":
                self.send_body(302, None, headers={"Location": "/loop"})
            elif parts[0] == "hops" and len(parts) == 2:
                n = int(parts[1])
                if n > 0:
                    self.send_body(307, None, headers={"Location": "/hops/%d" % (n - 1)})
                else:
                    self.send_body(200, b'{"hops": 0}')
            elif url.path == "/big":
                size = int(query.get("size", "100000"))
                data = b"[" + b"0," * max(0, (size - 3) // 2) + b"0]"
                if query.get("chunked"):
                    self.send_response(200)
                    self.send_header("Content-Type", "application/json")
                    self.send_header("Transfer-Encoding", "chunked")
                    self.end_headers()
                    pause = int(query.get("pause", "0")) / 1000.0
                    for i in range(0, len(data), 65536):
                        piece = data[i:i + 65536]
                        self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                        self.wfile.flush()
                        time.sleep(pause)
                    self.wfile.write(b"0\r\n\r\n")
                else:
                    self.send_body(200, data)
            elif url.path == "/auth" and "digest" in query:
                algorithms = query["digest"].split(",")
                accepted, stale = digest_check(self, algorithms)
                if accepted:
                    self.send_body(200, json.dumps({"auth": True, "algorithm": accepted,
                                                    "type": self.headers.get("Content-Type")}).encode())
                else:
                    uses = int(query["uses"]) if "uses" in query else None
                    challenges = digest_challenges(algorithms, uses, stale)
                    if query.get("basic"):
                        challenges.append(("WWW-Authenticate", 'Basic realm="lane"'))
                    self.send_body(401, b"Unauthorized", "text/plain", headers=challenges)
            elif url.path == "/auth":
                if self.headers.get("Authorization") == "Basic bGFuZTpzZWNyZXQ=":  # lane:secret
                    self.send_body(200, json.dumps({"auth": True, "type": self.headers.get("Content-Type")}).encode())
                else:
                    self.send_body(401, b"Unauthorized", "text/plain", headers={"WWW-Authenticate": 'Basic realm="lane"'})
            elif url.path == "/seen":
                self.send_body(200, json.dumps(list(seen)).encode())
            else:
                self.send_body(404, b'{"error": "not found"}')

        do_GET = do_POST = do_PUT = do_DELETE = handle_any

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # clients that gave up (time-outs, refused handshakes) are expected


class TlsServer(Server):
    def __init__(self, addr, handler, context):
        self.context = context
        super().__init__(addr, handler)

    def finish_request(self, request, client_address):
        # The handshake runs in the request's own thread, so a slow client blocks nobody.
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        self.RequestHandlerClass(tls, client_address, self)


def main():
    certdir = sys.argv[1]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certdir + "/server.pem", certdir + "/server.key")
    context.load_verify_locations(certdir + "/ca.pem")
    context.verify_mode = ssl.CERT_REQUIRED

    tls = TlsServer(("127.0.0.1", 0), make_handler("https", []), context)
    plain = Server(("127.0.0.1", 0), make_handler("http", []))
    for s in (tls, plain):
        threading.Thread(target=s.serve_forever, daemon=True).start()
    print("PORTS %d %d" % (tls.server_address[1], plain.server_address[1]), flush=True)
    try:
        sys.stdin.read()  # runs until the test closes our input or ends us
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
