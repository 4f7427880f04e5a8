#!/usr/bin/python3
"""The TLS clients' counterpart: one HTTPS port that sends the leaf and its
intermediate, one plain-HTTP port for the control pages, and a log of every
request that arrived ("tls /path" or "plain /path") and of every handshake a
client ended with an alert ("alert"), written as it happens. A client refused
the chain when it sent an alert and no request.

  tls-server.py <log> <tls port> <plain port> <chain.pem> <key.pem>
"""
import http.server
import ssl
import sys
import threading

log_path, tls_port, plain_port, chain, key = sys.argv[1:6]
log = open(log_path, "a", buffering=1)


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        log.write(f"{self.server.kind} {self.path}\n")
        body = b"<!DOCTYPE html><html><body>reached</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *arguments):
        pass


class Server(http.server.ThreadingHTTPServer):
    # A refused handshake is what half the tests expect: a line, no trace.
    def handle_error(self, request, client_address):
        if isinstance(sys.exc_info()[1], ssl.SSLError):
            log.write("alert\n")


def serve(port, kind, context=None):
    server = Server(("127.0.0.1", int(port)), Handler)
    server.kind = kind
    if context:
        # The handshake happens in the request's thread, so a client that
        # stalls or gives up never holds up the others.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    threading.Thread(target=server.serve_forever, daemon=True).start()


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(chain, key)
serve(tls_port, "tls", context)
serve(plain_port, "plain")
log.write("ready\n")
threading.Event().wait()
