#!/usr/bin/env python3
"""A sequence and time server built on Python's own HTTP server, not on ours.

It answers the time request with a Content-Length and the sequence request in chunked
transfer coding with CR LF line ends, checks the LOG= signature with Python's MD5, and
records every request target in the file named by its only argument. The first line on
stdout is "listening on http://127.0.0.1:PORT".
"""
import hashlib
import http.server
import sys
import time
import urllib.parse

SECRET = "Harbor Lantern Quill Meadow Signal"
TRACKS = [
    "OVDK::trackid=7001::track=Caf%C3%A9+Noir::artist=The+Foreign+Band::album=Elsewhere"
    "::songurl=http://127.0.0.1:9/a/7001.mp3?X=1::songbr=96::songsize=123456::skip=0"
    "::nextdisplay=Next%3A+Harbour::numchans=1::samplerate=22050::songenc=mp3::retry=20::",
    "OVDK::trackid=7002::track=Harbour::artist=Someone+Else::album=Elsewhere"
    "::songurl=http://127.0.0.1:9/a/7002.mp3?X=2::songbr=128::songsize=234567::skip=1"
    "::nextdisplay=Then+Silence::numchans=2::samplerate=44100::songenc=mp3::",
]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        with open(self.server.record_path, "a", encoding="utf-8") as out:
            out.write(self.command + " " + self.path + "\n")

    def do_GET(self):
        self.record()
        if not self.path.startswith("/ovdk/radiotime?"):
            self.send_error(404)
            return
        body = ('<?xml version="1.0"?><SESSIONPARMS><INFO strTimeStamp="%d"/></SESSIONPARMS>'
                % int(time.time())).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        self.record()
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query,
                                      keep_blank_values=True)
        uid = query.get("OVUID", [""])[0].rsplit(":", 1)[-1]
        hours = int(time.time()) // 3600
        signatures = [hashlib.md5((uid + str(h) + SECRET).encode()).hexdigest().upper()
                      for h in (hours, hours - 1)]
        signed = query.get("LOG", [""])[0] in signatures
        lines = ["status_code=%d" % (200 if signed else 500), "session_id=9100",
                 "cachelow=4", "cachehigh=12", "numcaches=2", "minbr=32",
                 "startthresh=2", "ccdwindow=5", "ccdthresh=20"]
        if signed:
            lines += TRACKS
        body = "".join(line + "\r\n" for line in lines).encode()
        self.send_response(200)
        self.send_header("Content-Type", "audio/x-mpegurl")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        for start in range(0, len(body), 100):
            chunk = body[start:start + 100]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        self.wfile.write(b"0\r\n\r\n")


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.record_path = sys.argv[1]
    print("listening on http://127.0.0.1:%d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
