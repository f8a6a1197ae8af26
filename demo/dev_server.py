#!/usr/bin/env python3
"""The development server for the demo and the tests: serves a folder on
127.0.0.1 (port 5173 unless told otherwise) with caching switched off, so a
page edited between runs is always loaded fresh.

    dev_server.py FOLDER [PORT]
"""
import functools
import http.server
import sys


class NoCacheHandler(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, format, *args):  # quiet: the demo prints its own progress
        pass


def main():
    folder = sys.argv[1]
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 5173
    handler = functools.partial(NoCacheHandler, directory=folder)
    http.server.ThreadingHTTPServer.allow_reuse_address = True
    with http.server.ThreadingHTTPServer(("127.0.0.1", port), handler) as server:
        server.serve_forever()


if __name__ == "__main__":
    main()
