#!/usr/bin/env python3
"""A webhook receiver for the tests, on 127.0.0.1: keeps every POST (its Content-Type line, then
its body) in DIR/post-N, answers with the status DIR/status holds (200 without it) and prints its
port. Usage: webhook_receiver.py DIR [PORT]"""
import http.server
import os
import pathlib
import sys

directory = pathlib.Path(sys.argv[1])
port = int(sys.argv[2]) if len(sys.argv) > 2 else 0


class Receiver(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        count = len(list(directory.glob("post-*")))
        part = directory / f"part-{count}"
        part.write_bytes(self.headers.get("Content-Type", "").encode() + b"\n" + body)
        os.rename(part, directory / f"post-{count}")
        status_file = directory / "status"
        status = int(status_file.read_text()) if status_file.exists() else 200
        self.send_response(status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", port), Receiver)
print(server.server_address[1], flush=True)
server.serve_forever()
