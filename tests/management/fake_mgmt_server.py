#!/usr/bin/env python3
"""A scriptable HTTPS stand-in for the storage management service, for tests.

Listens on 127.0.0.1 (an ephemeral port unless --port is given), prints
"PORT <n>" on standard output once it accepts connections, and answers each
request from a JSON scenario file that is read again at every request:

{
  "routes": [
    {
      "method": "POST",                      # matched exactly
      "path": "/api/v2/aa/sessions",         # matched exactly (query ignored)
      "body_has": {"subOp": "queryControlCluster"},   # optional: members the
                                             # request's JSON body must hold
      "responses": [                         # used in turn, the last repeats
        {"status": 200,                      # default 200
         "json": {...},                      # body sent as JSON, or
         "raw": "text",                      # body sent as is
         "require_token": "t2",              # reply 401 (not consuming this
                                             # response) unless X-Auth-Token is t2
         "gzip": true,                       # compress when the client accepts it
         "drop": true}                       # close without answering
      ]
    }
  ]
}

A request no route matches gets 404. Every request is appended to the --log
file as one JSON line: method, path, headers, body, peer port, and the
1-based number of the request on its connection.
"""

import argparse
import gzip
import json
import socket
import ssl
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class State:
    def __init__(self, scenario_path, log_path):
        self.scenario_path = scenario_path
        self.log_path = log_path
        self.lock = threading.Lock()
        self.used = {}  # route index -> responses consumed

    def scenario(self):
        with open(self.scenario_path, "r", encoding="utf-8") as f:
            return json.load(f)

    def log(self, record):
        if not self.log_path:
            return
        with self.lock:
            with open(self.log_path, "a", encoding="utf-8") as f:
                f.write(json.dumps(record, sort_keys=True) + "\n")
                f.flush()


def body_matches(wanted, text):
    if not wanted:
        return True
    try:
        doc = json.loads(text)
    except ValueError:
        return False
    if not isinstance(doc, dict):
        return False
    return all(doc.get(k) == v for k, v in wanted.items())


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeMgmt/1.0"

    def log_message(self, fmt, *args):  # quiet: tests read the JSON log instead
        pass

    def setup(self):
        super().setup()
        self.requests_on_connection = 0

    def handle_any(self):
        state = self.server.state
        self.requests_on_connection += 1
        length = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(length).decode("utf-8", "replace") if length > 0 else ""
        path = self.path.split("?", 1)[0]
        state.log({
            "method": self.command,
            "path": path,
            "headers": {k: v for k, v in self.headers.items()},
            "body": body,
            "peer_port": self.client_address[1],
            "nth_on_connection": self.requests_on_connection,
        })

        routes = state.scenario().get("routes", [])
        for index, route in enumerate(routes):
            if route.get("method") != self.command or route.get("path") != path:
                continue
            if not body_matches(route.get("body_has"), body):
                continue
            responses = route.get("responses") or [{"status": 200, "raw": ""}]
            with state.lock:
                used = state.used.get(index, 0)
                rsp = responses[min(used, len(responses) - 1)]
                want = rsp.get("require_token")
                if want is not None and self.headers.get("X-Auth-Token", "") != want:
                    rsp = {"status": 401, "json": {"error": "token expired"}}
                else:
                    state.used[index] = used + 1
            self.reply(rsp)
            return
        self.reply({"status": 404, "json": {"error": "no route for " + self.command + " " + path}})

    def reply(self, rsp):
        if rsp.get("drop"):
            self.close_connection = True
            try:
                self.connection.shutdown(2)
            except OSError:
                pass
            return
        if "json" in rsp:
            payload = json.dumps(rsp["json"]).encode("utf-8")
        else:
            payload = str(rsp.get("raw", "")).encode("utf-8")
        headers = [("Content-Type", "application/json")]
        if rsp.get("gzip") and "gzip" in self.headers.get("Accept-Encoding", ""):
            payload = gzip.compress(payload)
            headers.append(("Content-Encoding", "gzip"))
        self.send_response(int(rsp.get("status", 200)))
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)
        self.wfile.flush()

    do_GET = handle_any
    do_POST = handle_any
    do_PUT = handle_any
    do_DELETE = handle_any


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, context, state):
        super().__init__(address, Handler)
        self.context = context
        self.state = state

    def get_request(self):
        sock, addr = self.socket.accept()
        # Headers and body go out in separate writes; without this, Nagle and
        # delayed acknowledgements cost 40 ms per reply.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # The handshake runs in the connection's own thread, so a client that
        # refuses the certificate never stalls the accept loop.
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def handle_error(self, request, client_address):
        pass  # refused handshakes and dropped connections are what tests provoke


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cert", required=True, help="server certificate chain (PEM)")
    parser.add_argument("--key", required=True, help="server private key (PEM)")
    parser.add_argument("--scenario", required=True, help="JSON scenario file")
    parser.add_argument("--log", default="", help="file receiving one JSON line per request")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server = Server(("127.0.0.1", args.port), context, State(args.scenario, args.log))
    sys.stdout.write("PORT %d\n" % server.server_address[1])
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.05)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
