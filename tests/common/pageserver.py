#!/usr/bin/python3
"""A web server on 127.0.0.1 where visitors open the published page.

    GET /<path>                 the file <path> under --root; 404 when there is none
    GET /odd/loop               302 to itself, for ever
    GET /odd/endless            200, a body that never ends
    GET /odd/drip               200, one byte of the body every half second, never whole
    GET /odd/login/<path>       302 to /odd/signin?next=/<path>, which shows a login form
    GET /odd/cookie/<path>      302 to /<path>, setting a cookie on the way

--stale SECONDS: a file that changed is served as it was before for SECONDS more, with an Age
header, as a cache in front of a site does until it lets go of its copy. --https CERT KEY: HTTPS
with that certificate instead of plain HTTP. --log FILE: every request is added to FILE before
it is answered, one a line: "<path> cache-control=<value> cookie=<value>".
Standard output says "PORT <port>", then "READY". The server ends when its standard input closes.
"""

import argparse
import os
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ARGS = None
CACHE = {}  # path: [bytes served, when the file was first seen changed]
CACHE_LOCK = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send(self, status, body, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def forever(self, chunk, pause):
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", "100000000")
        self.end_headers()
        try:
            while True:
                self.wfile.write(chunk)
                self.wfile.flush()
                time.sleep(pause)
        except OSError:
            pass

    def file(self, path):
        """The file as the site shows it, or as a cache in front of it still holds it."""
        name = os.path.join(ARGS.root, urllib.parse.unquote(path.lstrip("/")))
        try:
            with open(name, "rb") as f:
                data = f.read()
        except OSError:
            return self.send(404, b"<h1>Not Found</h1>")
        now = time.monotonic()
        with CACHE_LOCK:
            held = CACHE.setdefault(path, [data, None])
            if held[0] != data:
                held[1] = held[1] or now
                if now - held[1] < ARGS.stale:
                    age = int(now - held[1]) + 1
                    return self.send(200, held[0], [("Age", str(age))])
                CACHE[path] = [data, None]
        self.send(200, data)

    def do_GET(self):
        if ARGS.log:
            with open(ARGS.log, "a") as log:
                log.write("%s cache-control=%s cookie=%s\n" % (
                    self.path, self.headers.get("Cache-Control", ""),
                    self.headers.get("Cookie", "")))
        path = self.path
        if path == "/odd/loop":
            self.send(302, b"", [("Location", "/odd/loop")])
        elif path == "/odd/endless":
            self.forever(b"<p>" * 20000, 0)
        elif path == "/odd/drip":
            self.forever(b"<", 0.5)
        elif path.startswith("/odd/login/"):
            target = "/odd/signin?next=" + urllib.parse.quote(path[len("/odd/login"):])
            self.send(302, b"", [("Location", target)])
        elif path.startswith("/odd/signin"):
            self.send(200, b'<form method="post"><input name="user">'
                           b'<input type="password" name="pw"></form>')
        elif path.startswith("/odd/cookie/"):
            self.send(302, b"", [("Location", path[len("/odd/cookie"):]),
                                 ("Set-Cookie", "visitor=1; Path=/")])
        else:
            self.file(path)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--stale", type=float, default=0)
    parser.add_argument("--https", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--log")
    ARGS = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if ARGS.https:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*ARGS.https)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdout.write("PORT %d\nREADY\n" % server.server_address[1])
    sys.stdout.flush()
    try:
        while sys.stdin.buffer.read(4096):
            pass
    finally:
        os._exit(0)


if __name__ == "__main__":
    main()
