#!/usr/bin/env python3
"""Serves a directory over HTTP on 127.0.0.1, optionally at a limited rate.

    serve-repo.py DIR PORT [KIB_PER_SECOND]

The demo uses it so that the progress page of a download can be watched;
without a rate it is Python's plain http.server.
"""
import functools
import http.server
import sys
import time


class Throttled(http.server.SimpleHTTPRequestHandler):
    rate = 0  # bytes per second; 0: no limit

    def copyfile(self, source, outputfile):
        if not self.rate:
            return super().copyfile(source, outputfile)
        chunk = max(1024, self.rate // 20)
        while True:
            data = source.read(chunk)
            if not data:
                return
            outputfile.write(data)
            time.sleep(len(data) / self.rate)

    def log_message(self, fmt, *args):
        sys.stderr.write("serve-repo: " + (fmt % args) + "\n")


def main():
    root, port = sys.argv[1], int(sys.argv[2])
    Throttled.rate = int(sys.argv[3]) * 1024 if len(sys.argv) > 3 else 0
    handler = functools.partial(Throttled, directory=root)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    print("serve-repo: http://127.0.0.1:%d/ from %s" % (port, root), flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
