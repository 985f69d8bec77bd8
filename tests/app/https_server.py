"""Python's http.server on 127.0.0.1:PORT serving DIR over TLS with the certificate CERT and
its key KEY. Logs each request to stderr as http.server does.
Usage: https_server.py PORT DIR CERT KEY   (prints "Serving HTTP" once it listens)"""
import functools
import http.server
import ssl
import sys

port, folder, certificate, key = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(certificate, key)
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=folder)
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(f"Serving HTTP on 127.0.0.1 port {port} (https://127.0.0.1:{port}/) ...", flush=True)
server.serve_forever()
