#!/usr/bin/env python3
"""The services of one test session, on loopback and inside the prefix only.

  services.py PREFIX CERTS RECORDS PORTS_FILE

Telemetry collectors over HTTPS, every request recorded as one JSON line in
RECORDS (method, path, version, header_text, body_length and body_hex, the
body's first 64 KiB in hexadecimal):
  COLLECTOR_PORT             answers 200 "ok" (on 443 when it is free)
  COLLECTOR_ERROR_PORT       answers 500 with a body
  COLLECTOR_SILENT_PORT      takes the request and never answers; once the client
                             lets go, records it again with "released": true
  COLLECTOR_WRONG_HOST_PORT  answers 200, with a certificate for another name
  COLLECTOR_CLOSED_PORT      nothing listens
  COLLECTOR_TRICKLE_PORT     plain TCP: starts a TLS handshake record and sends
                             one byte of it every 3 s, for at most 60 s
  COLLECTOR_STALL_PORT       as COLLECTOR_PORT, but the first connection after a
                             "stall" request never gets its TLS handshake (held
                             60 s): a captive portal or a proxy that swallows
                             one connection
  COLLECTOR_SLOW_PORT        as COLLECTOR_PORT, each connection held 8 s before
                             its TLS handshake: every exchange takes 8 s, and a
                             client gone by then leaves no record
PORTS_FILE receives them as shell exports once all listen.
  services.py --collector CERTS CERT RECORDS ADDRESS
starts only an answering collector, on ADDRESS:443 with certificate CERT,
for a program that reports to its production host.

Requests of the tests, as files in PREFIX/drive_c/work/.requests: <id>.req
holds a verb and its Unix paths, one per line; the answer, "ok" or "error:
...", goes to <id>.done. Every path must lie inside the prefix.
  link LINK TARGET     a symlink; Wine shows one to a folder as a reparse point
  swap FOLDER TARGET   FOLDER renamed to FOLDER.moved, a link to TARGET in its place
  drive LETTER TARGET  drive LETTER: mapped to TARGET; without TARGET to an
                       empty folder of its own that no other drive reaches
  rmtree PATH          PATH removed, links unlinked and never followed
  stall                COLLECTOR_STALL_PORT's next connection stalls
"""
import http.server
import json
import os
import shutil
import socket
import socketserver
import ssl
import sys
import threading
import time

LOCK = threading.Lock()
STALL_NEXT = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def setup(self):
        if self.server.mode == "slow":
            time.sleep(8)
        super().setup()

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        entry = {"method": self.command, "path": self.path, "version": self.request_version,
                 "header_text": str(self.headers), "body_length": len(body), "body_hex": body[:65536].hex()}
        with LOCK, open(self.server.records, "a") as records:
            records.write(json.dumps(entry) + "\n")
        if self.server.mode == "silent":
            try:
                while self.connection.recv(1024):  # until the client gives up
                    pass
            except OSError:
                pass
            entry["released"] = True  # the client let go of it unanswered
            with LOCK, open(self.server.records, "a") as records:
                records.write(json.dumps(entry) + "\n")
            return
        status, text = (500, b"collector failure: event not stored") if self.server.mode == "error" else (200, b"ok")
        self.send_response(status)
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = allow_reuse_address = True

    def get_request(self):  # the handshake runs in the request's thread
        while True:
            sock, address = self.socket.accept()
            with LOCK:  # one connection stalls per request
                stall = self.mode == "stall" and STALL_NEXT.is_set()
                if stall:
                    STALL_NEXT.clear()
            if not stall:
                return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address
            threading.Timer(60, sock.close).start()  # accepted, never answered

    def handle_error(self, request, address):
        pass


class Server6(Server):
    address_family = socket.AF_INET6


def collector(certs, records, mode, cert, wanted, address="127.0.0.1"):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(certs, cert + ".pem"), os.path.join(certs, cert + ".key"))
    try:
        servers = [Server((address, wanted), Handler)]
    except OSError:  # a parallel run holds 443
        servers = [Server(("127.0.0.1", 0), Handler)]
    port = servers[0].server_address[1]
    try:  # localhost may be ::1 first
        servers.append(Server6(("::1", port), Handler))
    except OSError:
        pass
    for server in servers:
        server.context, server.mode, server.records = context, mode, records
        threading.Thread(target=server.serve_forever, daemon=True).start()
    return port


def trickle(connection):
    """Holds a client in its TLS handshake: the header of a 16 KiB handshake
    record, then its bytes one by one, never completing it."""
    with connection:
        try:
            for byte in b"\x16\x03\x03\x40\x00" + bytes(15):
                connection.sendall(bytes([byte]))
                time.sleep(3)
        except OSError:
            pass


def trickler():
    listeners = [socket.create_server(("127.0.0.1", 0))]
    port = listeners[0].getsockname()[1]
    try:  # localhost may be ::1 first
        listeners.append(socket.create_server(("::1", port), family=socket.AF_INET6))
    except OSError:
        pass

    def accept(listener):
        while True:
            threading.Thread(target=trickle, args=(listener.accept()[0],), daemon=True).start()
    for listener in listeners:
        threading.Thread(target=accept, args=(listener,), daemon=True).start()
    return port


def handle(prefix, verb, first, second):
    def inside(path):
        return (os.path.realpath(path) + "/").startswith(prefix + "/")
    if verb == "stall":
        STALL_NEXT.set()
    elif verb == "drive":
        if not second:  # a folder of its own, empty, that no other drive reaches
            second = os.path.join(prefix, "drive_" + first.lower())
            if os.path.isdir(second) and not os.path.islink(second):
                shutil.rmtree(second)
            os.makedirs(second)
        if len(first) != 1 or first.lower() in "cz" or not inside(second):
            return "error: refused"
        link = os.path.join(prefix, "dosdevices", first.lower() + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(second, link)
    elif not inside(os.path.dirname(first)) or (verb != "rmtree" and not inside(second)):
        return "error: outside the prefix"
    elif verb == "link":
        os.symlink(second, first)
    elif verb == "swap":
        os.rename(first, first + ".moved")
        os.symlink(second, first)
    elif verb == "rmtree":
        os.remove(first) if os.path.islink(first) else shutil.rmtree(first)
    else:
        return "error: unknown request"
    return "ok"


def main(prefix, certs, records, ports_file):
    prefix = os.path.realpath(prefix)
    ports = {name: collector(certs, records, mode, cert, wanted) for name, mode, cert, wanted in [
        ("COLLECTOR_PORT", "ok", "localhost", 443), ("COLLECTOR_ERROR_PORT", "error", "localhost", 0),
        ("COLLECTOR_SILENT_PORT", "silent", "localhost", 0), ("COLLECTOR_WRONG_HOST_PORT", "ok", "otherhost", 0),
        ("COLLECTOR_STALL_PORT", "stall", "localhost", 0), ("COLLECTOR_SLOW_PORT", "slow", "localhost", 0)]}
    ports["COLLECTOR_TRICKLE_PORT"] = trickler()
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        ports["COLLECTOR_CLOSED_PORT"] = free.getsockname()[1]
    with open(ports_file + ".tmp", "w") as out:
        out.writelines("export %s=%d\n" % item for item in ports.items())
    os.replace(ports_file + ".tmp", ports_file)
    folder = os.path.join(prefix, "drive_c", "work", ".requests")
    os.makedirs(folder, exist_ok=True)
    while True:
        for name in [name for name in os.listdir(folder) if name.endswith(".req")]:
            path = os.path.join(folder, name)
            with open(path) as request:
                verb, first, second = (request.read().split("\n") + ["", ""])[:3]
            try:
                answer = handle(prefix, verb, first, second)
            except Exception as error:  # every request is answered
                answer = "error: %s" % error
            os.remove(path)
            with open(path[:-4] + ".tmp", "w") as out:
                out.write(answer)
            os.replace(path[:-4] + ".tmp", path[:-4] + ".done")
        time.sleep(0.01)


if __name__ == "__main__":
    if sys.argv[1] == "--collector":  # services.py --collector CERTS CERT RECORDS ADDRESS
        collector(sys.argv[2], sys.argv[4], "ok", sys.argv[3], 443, sys.argv[5])
        threading.Event().wait()
    main(*sys.argv[1:5])
