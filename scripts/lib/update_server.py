#!/usr/bin/env python3
"""Serves a folder over HTTP the way the product's update server answers the wizard.

Python's http.server as it is, with three differences that the wizard needs:
- "Connection: close" follows "Content-Length" directly: the wizard reads a file's size
  from the text between those two header lines and takes any other layout as size 0.
- Backslashes in the request path, raw or as %5C, are folder separators: the wizard names
  component files with backslashes (Bin\\Customs.dll) and the update server is a Windows
  server.
- Files named with --slow are sent at SLOW_RATE, so an upgrade can be interrupted in the
  middle of a download.

Prints "serving" on stdout once it listens; exits with 3 when the port is taken. Every
request is logged on stderr as its request line in double quotes and the status, with
nothing escaped: "GET /Update/Bin\\Customs.dll HTTP/1.0" 200
"""
import argparse
import errno
import functools
import http.server
import re
import shutil
import sys
import time

SLOW_RATE = 64 * 1024  # bytes per second
SLOW_CHUNK = 4 * 1024


def windows_path(path):
    return re.sub(r"\\|%5[cC]", "/", path)


class UpdateRequestHandler(http.server.SimpleHTTPRequestHandler):
    slow_paths = frozenset()

    def translate_path(self, path):
        return super().translate_path(windows_path(path))

    def send_header(self, keyword, value):
        if keyword.lower() == "connection":
            return
        super().send_header(keyword, value)
        if keyword.lower() == "content-length":
            super().send_header("Connection", "close")

    def copyfile(self, source, outputfile):
        try:
            if windows_path(self.path).lstrip("/") in self.slow_paths:
                while chunk := source.read(SLOW_CHUNK):
                    outputfile.write(chunk)
                    outputfile.flush()
                    time.sleep(SLOW_CHUNK / SLOW_RATE)
            else:
                shutil.copyfileobj(source, outputfile)
        except ConnectionError:
            pass  # the client went away, as an interrupted upgrade does

    def log_request(self, code="-", size="-"):
        code = getattr(code, "value", code)  # HTTPStatus
        sys.stderr.write('"%s" %s\n' % (self.requestline, code))
        sys.stderr.flush()

    def log_message(self, format, *args):
        pass  # only the request lines above


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--slow", action="append", default=[], metavar="PATH",
                        help="a served path (Update/Big.dat) to send slowly; may repeat")
    parser.add_argument("directory")
    args = parser.parse_args()

    handler = functools.partial(UpdateRequestHandler, directory=args.directory)
    UpdateRequestHandler.slow_paths = frozenset(args.slow)
    try:
        server = http.server.ThreadingHTTPServer((args.bind, args.port), handler)
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            print(f"port {args.port} on {args.bind} is in use", file=sys.stderr)
            sys.exit(3)
        raise
    print(f"serving {args.directory} on http://{args.bind}:{args.port}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
