#!/usr/bin/env python3
"""A small HTTP server on 127.0.0.1 for the HTTP cases: prints its port on
the first line of its output, then serves until it is killed."""
import http.server
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    count = 0  # requests of /count so far

    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        sent = self.rfile.read(length) if length else b""
        path = self.path
        if path == "/text":
            self.reply(200, b"hello\r\nworld\rend", [("Content-Type", "text/plain")])
        elif path == "/utf8":
            self.reply(200, "d\u00e9j\u00e0 \u20ac".encode() + b"\xff")
        elif path == "/binary":
            self.reply(200, bytes([0, 255, 13, 10]))
        elif path == "/lines":
            self.reply(200, b"a\r\n\r\nb\n")
        elif path == "/echo":
            names = ["X-Test", "Content-Type", "Accept-Charset", "User-Agent"]
            seen = "|".join(self.headers.get(n) or "-" for n in names)
            self.reply(200, (self.command + "|" + seen + "|").encode() + sent)
        elif path.startswith("/status/"):
            self.reply(int(path[8:]), b"status body")
        elif path == "/redirect":
            self.reply(302, b"", [("Location", "/text")])
        elif path == "/loop":
            self.reply(302, b"", [("Location", "/loop")])
        elif path == "/dup":
            self.reply(200, b"dup", [("X-Twice", "one"), ("X-Twice", "two"), ("X-Tight", "v")])
        elif path == "/script":
            self.reply(200, b'Kiv [Title: "remote"]\n1 + 2\n', [("Content-Type", "text/plain")])
        elif path == "/count":
            Handler.count += 1
            self.reply(200, str(Handler.count).encode())
        elif path == "/big":
            self.reply(200, b"0123456789" * 500000)
        else:
            self.reply(404, b"no such page")

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = serve


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
