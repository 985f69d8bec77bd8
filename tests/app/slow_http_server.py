"""Python's http.server on 127.0.0.1:PORT serving DIR, but the files named by the request paths
after DIR trickle at 64 KiB/s, so that a test can act while they download; and a request for
any path waits, before it is answered, while DIR holds a file of that path followed by ".hold".
Usage: slow_http_server.py PORT DIR [SLOW_PATH...]   (prints "Serving HTTP" once it listens)"""
import functools
import http.server
import os
import sys
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    slow_paths = frozenset(sys.argv[3:])

    def send_head(self):
        hold = self.translate_path(self.path) + ".hold"
        while os.path.exists(hold):
            time.sleep(0.1)
        return super().send_head()

    def copyfile(self, source, outputfile):
        if self.path not in self.slow_paths:
            return super().copyfile(source, outputfile)
        try:
            while chunk := source.read(4096):
                outputfile.write(chunk)
                outputfile.flush()
                time.sleep(1 / 16)
        except ConnectionError:
            pass  # the program was killed or gave up


http.server.test(HandlerClass=functools.partial(Handler, directory=sys.argv[2]),
                 ServerClass=http.server.ThreadingHTTPServer, port=int(sys.argv[1]),
                 bind="127.0.0.1")
