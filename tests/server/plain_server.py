#!/usr/bin/env python3
"""An ordinary static file server, as a vendor might run one: Python's own
http.server, which sends headers and body at once and as fast as it can, with
a strong ETag (from the file's mtime and size, as common servers derive it)
and nothing more: no If-None-Match, no Range.

    plain_server.py DIR [--stats FILE]

Serves the files in DIR on 127.0.0.1 with a port the system picks, printed as
"PORT <n>" on stdout once it listens. With --stats it keeps a JSON file with
"requests" and "body_bytes_sent" (bytes handed to the kernel). Stop it with
SIGTERM. Only the Python standard library is used.
"""

import argparse
import functools
import http.server
import json
import os
import signal
import sys
import threading


class Counters:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.values = {"requests": 0, "body_bytes_sent": 0}
        self.save()

    def add(self, key, amount):
        with self.lock:
            self.values[key] += amount
            self.save()

    def save(self):
        if not self.path:
            return
        temporary = self.path + ".tmp"
        with open(temporary, "w", encoding="ascii") as out:
            json.dump(self.values, out)
        os.replace(temporary, self.path)


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    counters = None

    def log_message(self, *args):
        pass

    def send_head(self):
        self.counters.add("requests", 1)
        return super().send_head()

    def end_headers(self):
        path = self.translate_path(self.path)
        if os.path.isfile(path):
            st = os.stat(path)
            self.send_header("ETag", '"%x-%x"' % (st.st_mtime_ns, st.st_size))
        super().end_headers()

    def copyfile(self, source, outputfile):
        while True:
            piece = source.read(1 << 20)
            if not piece:
                return
            try:
                outputfile.write(piece)
            except OSError:
                return
            self.counters.add("body_bytes_sent", len(piece))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--stats")
    args = parser.parse_args()
    Handler.counters = Counters(args.stats)
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Handler, directory=args.dir))
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    sys.stdout.write("PORT %d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
