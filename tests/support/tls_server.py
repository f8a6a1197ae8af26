#!/usr/bin/env python3
"""An HTTPS server for tests: serves FOLDER on 127.0.0.1:PORT with the
certificate and key given, and appends the path of every request it answers
to LOG (a request only arrives once a client has accepted the certificate).

    tls_server.py FOLDER PORT CERT KEY LOG
"""
import functools
import http.server
import ssl
import sys


class LoggingHandler(http.server.SimpleHTTPRequestHandler):
    log_file = None

    def do_GET(self):
        with open(self.log_file, "a") as log:
            log.write(self.path + "\n")
        super().do_GET()

    def log_message(self, format, *args):
        pass


def main():
    folder, port, cert, key, log = sys.argv[1:6]
    LoggingHandler.log_file = log
    open(log, "a").close()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    handler = functools.partial(LoggingHandler, directory=folder)
    http.server.ThreadingHTTPServer.allow_reuse_address = True
    with http.server.ThreadingHTTPServer(("127.0.0.1", int(port)), handler) as server:
        server.socket = context.wrap_socket(server.socket, server_side=True)
        server.serve_forever()


if __name__ == "__main__":
    main()
