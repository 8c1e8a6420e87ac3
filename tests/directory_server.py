#!/usr/bin/env python3
"""A station directory for the tests: an HTTP/1.0 server on a loopback
address that records every request line (one a line, in the log file) and
answers the add, remove and categories requests.

Modes: answer (the default), silent (accepts and never answers), 401
(answers every request 401), close (closes every connection at once),
silent-remove (answers all but the remove, which it never answers),
silent-add (answers all but the add, which it never answers), and
for the categories: dribble (one byte a second), endless (a body without
end), big (20 MB on one line), long-lines (1 MB lines), many (100,000
categories). It prints "ready" once it listens."""

import argparse
import http.server
import socketserver
import sys
import threading
import time

CATEGORIES = (
    "1 Music\r\n"
    "11 Rock\r\n"
    "11 Jazz\r\n"
    "1 Talk\r\n"
    "end of list\r\n"
    "VMBversion:3.00:http://127.0.0.1/new\r\n"
    "end of all\r\n"
)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--mode", default="answer", choices=["answer", "silent", "401", "close", "silent-remove",
                                 "silent-add", "dribble", "endless", "big", "long-lines", "many"])
    args = parser.parse_args()
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def handle(self):
            if args.mode == "close":
                return  # the connection closes without a word
            super().handle()

        def do_GET(self):
            with lock, open(args.log, "a") as log:
                log.write(self.requestline + "\n")
                for name in ("Proxy-Authorization", "Host"):
                    if self.headers.get(name):
                        log.write("  %s: %s\n" % (name, self.headers.get(name)))
            if args.mode == "silent" or (args.mode == "silent-remove" and
                                         self.path.startswith("/cgi-local/del_vsl.prl")) or (
                                             args.mode == "silent-add" and
                                             self.path.startswith("/cgi-local/ul_vsl.prl")):
                time.sleep(3600)
                return
            if args.mode in ("dribble", "endless", "big", "long-lines", "many"):
                self.send_hostile_categories()
                return
            if args.mode == "401":
                self.send_response(401)
                self.end_headers()
                return
            if self.path.startswith("/cgi-local/vmb_list_categories.prl"):
                body = CATEGORIES.encode()
            elif self.path.startswith("/cgi-local/ul_vsl.prl") or self.path.startswith(
                    "/cgi-local/del_vsl.prl"):
                body = b"OK\r\n"
            else:
                self.send_response(404)
                self.end_headers()
                return
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.end_headers()
            self.wfile.write(body)

        def send_hostile_categories(self):
            self.send_response(200)
            self.end_headers()
            try:
                if args.mode == "dribble":
                    for byte in CATEGORIES.encode():
                        self.wfile.write(bytes([byte]))
                        self.wfile.flush()
                        time.sleep(1)
                elif args.mode == "endless":
                    while True:
                        self.wfile.write(b"1 Music\r\n" * 1000)
                elif args.mode == "big":
                    self.wfile.write(b"x" * (20 << 20))
                elif args.mode == "long-lines":
                    for _ in range(4):
                        self.wfile.write(b"1 " + b"a" * (1 << 20) + b"\r\n")
                else:
                    self.wfile.write(b"".join(b"1 Category%d\r\n" % i for i in range(100000)))
                    self.wfile.write(CATEGORIES.encode())
            except (BrokenPipeError, ConnectionResetError):
                pass  # the client gave up

        def log_message(self, *unused):
            pass

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server((args.address, args.port), Handler)
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
