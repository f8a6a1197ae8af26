#!/usr/bin/env python3
"""The development server for the demo and the tests: serves a folder on
127.0.0.1 (port 5173 unless told otherwise) with caching switched off, so a
page edited between runs is always loaded fresh.

    dev_server.py FOLDER [PORT] [--cookie-log FILE]

With --cookie-log, the path and Cookie header of every request are appended
to FILE (the tests look there for the session cookie).
"""
import functools
import http.server
import sys


class NoCacheHandler(http.server.SimpleHTTPRequestHandler):
    cookie_log = None

    def do_GET(self):
        if self.cookie_log:
            with open(self.cookie_log, "a") as log:
                log.write(f"{self.path} {self.headers.get('Cookie', '')}\n")
        super().do_GET()

    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, format, *args):  # quiet: the demo prints its own progress
        pass


def main():
    args = sys.argv[1:]
    if "--cookie-log" in args:
        at = args.index("--cookie-log")
        NoCacheHandler.cookie_log = args[at + 1]
        del args[at:at + 2]
    folder = args[0]
    port = int(args[1]) if len(args) > 1 else 5173
    handler = functools.partial(NoCacheHandler, directory=folder)
    http.server.ThreadingHTTPServer.allow_reuse_address = True
    with http.server.ThreadingHTTPServer(("127.0.0.1", port), handler) as server:
        server.serve_forever()


if __name__ == "__main__":
    main()
