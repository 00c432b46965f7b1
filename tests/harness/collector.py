#!/usr/bin/env python3
"""A telemetry collector for tests: HTTPS on loopback, every request recorded.

  collector.py --port 443 --cert CERT --key KEY --records FILE [--mode MODE]
               [--port-file FILE]

Modes:
  ok        answer 200 with a short body
  error500  answer 500 with a short body
  silent    take the request, record it and never answer
  mute      accept the connection and never say a word, not even the TLS
            hello (Wine's WinInet has no time-out during the handshake, so
            a client under Wine waits for it forever)

Each request becomes one JSON line in --records: port, method, path, version,
headers (a list of [name, value] in arrival order), header_text (the header
lines as received, each ending in "\n"), body_length, body_md5 and, up to 64 KiB, body_hex. With
--port 0 the system picks the port; --port-file receives the bound port.
Only loopback addresses are ever bound.
"""
import argparse
import hashlib
import http.server
import json
import os
import socket
import socketserver
import ssl
import sys
import threading
import time

RECORD_LOCK = threading.Lock()
BODY_HEX_LIMIT = 64 * 1024


def record(path, entry):
    line = json.dumps(entry, sort_keys=True) + "\n"
    with RECORD_LOCK:
        with open(path, "a", encoding="utf-8") as out:
            out.write(line)
            out.flush()


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "collector/1"
    sys_version = ""

    def log_message(self, fmt, *args):
        sys.stderr.write("collector %d: %s\n" % (self.server.server_address[1], fmt % args))

    def handle_one(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = b""
        while len(body) < length:
            chunk = self.rfile.read(length - len(body))
            if not chunk:
                break
            body += chunk
        entry = {
            "port": self.server.server_address[1],
            "method": self.command,
            "path": self.path,
            "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            "header_text": "".join(self.headers.as_string().splitlines(keepends=True)),
            "body_length": len(body),
            "body_md5": hashlib.md5(body).hexdigest(),
            "time": time.time(),
        }
        entry["body_hex"] = body[:BODY_HEX_LIMIT].hex()
        record(self.server.records, entry)
        if self.server.mode == "silent":
            # Hold the connection until the client gives up.
            try:
                while self.connection.recv(1024):
                    pass
            except OSError:
                pass
            self.close_connection = True
            return
        if self.server.mode == "error500":
            status, text = 500, b"collector failure: event not stored"
        else:
            status, text = 200, b"ok"
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)

    do_POST = do_GET = do_PUT = do_HEAD = handle_one


class TlsServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, family, context, mode, records):
        self.address_family = family
        self.context, self.mode, self.records = context, mode, records
        super().__init__(address, Handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        if self.mode == "mute":
            # Hold the connection open and never say a word.
            self.held = getattr(self, "held", []) + [sock]
            raise OSError("held silently")
        # The handshake runs in the request's thread, not in the accept loop.
        return self.context.wrap_socket(sock, server_side=True,
                                        do_handshake_on_connect=False), addr

    def handle_error(self, request, client_address):
        sys.stderr.write("collector: connection from %s failed: %s\n"
                         % (client_address, sys.exc_info()[1]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--records", required=True)
    parser.add_argument("--mode", choices=["ok", "error500", "silent", "mute"], default="ok")
    parser.add_argument("--port-file")
    args = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)

    servers = [TlsServer(("127.0.0.1", args.port), socket.AF_INET, context, args.mode,
                         args.records)]
    port = servers[0].server_address[1]
    # localhost may resolve to ::1 first; answer there on the same port.
    if socket.has_ipv6:
        try:
            servers.append(TlsServer(("::1", port), socket.AF_INET6, context, args.mode,
                                     args.records))
        except OSError:
            pass
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as out:
            out.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    sys.stderr.write("collector: %s on port %d\n" % (args.mode, port))
    threading.Event().wait()


if __name__ == "__main__":
    main()
