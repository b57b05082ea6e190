#!/usr/bin/env python3
"""An HTTP proxy for the S3 tests that stands between the data mover and the gateway
and fails some requests on purpose: answers 503 or 429 without passing them on, or
resets the connection, in a fixed rotation (every EVERY-th request is faulted).
Headers (Host included, which the signature covers) go upstream unchanged.
Usage: fault_proxy.py UPSTREAM_HOST:PORT PORT_FILE [EVERY]
Listens on a free loopback port, writes it to PORT_FILE once listening (the state a
test waits on), and counts the faults it injected in PORT_FILE.faults."""
import http.client
import http.server
import socket
import struct
import sys
import threading

upstream_host, upstream_port = sys.argv[1].rsplit(":", 1)
port_file = sys.argv[2]
every = int(sys.argv[3]) if len(sys.argv) > 3 else 4
lock = threading.Lock()
count = [0, 0]  # requests, faults
FAULTS = ["503", "429", "reset"]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def handle_any(self):
        length = int(self.headers.get("Content-Length", 0) or 0)
        body = self.rfile.read(length) if length else None
        with lock:
            count[0] += 1
            n = count[0]
            fault = FAULTS[(n // every) % len(FAULTS)] if n % every == 0 else None
            if fault:
                count[1] += 1
                with open(port_file + ".faults", "w") as f:
                    f.write(str(count[1]))
        if fault == "reset":
            # RST instead of FIN: linger 0, then close.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        if fault:
            code = int(fault)
            text = b"<Error><Code>SlowDown</Code></Error>" if code == 503 else b"<Error><Code>TooManyRequests</Code></Error>"
            self.send_response(code)
            self.send_header("Content-Length", str(len(text)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(text)
            return
        conn = http.client.HTTPConnection(upstream_host, int(upstream_port), timeout=60)
        conn.putrequest(self.command, self.path, skip_host=True, skip_accept_encoding=True)
        for k, v in self.headers.items():
            conn.putheader(k, v)
        conn.endheaders(body)
        resp = conn.getresponse()
        data = resp.read()
        self.send_response(resp.status)
        for k, v in resp.getheaders():
            if k.lower() not in ("transfer-encoding", "connection", "content-length"):
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(data)) if self.command != "HEAD" else
                         resp.getheader("Content-Length", "0"))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        conn.close()

    do_GET = do_PUT = do_HEAD = do_DELETE = do_POST = handle_any


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
import os
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
