#!/usr/bin/env python3
"""A 500 KB logo uploaded as a multipart file and as a data URI, timed at the client against the
real program on loopback (median and best of the runs). Budget: under 20 ms each.

    python3 bench/logo_upload.py [build folder] [runs]"""
import base64
import json
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
from live_program import LiveProgram

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20

rng = random.Random(3)
logo = b"\x89PNG\r\n\x1a\n" + bytes(rng.getrandbits(8) for _ in range(500 * 1024 - 8))
boundary = "----TavolexBenchBoundary"
multipart = (("--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"logo.png\"\r\n"
              "Content-Type: image/png\r\n\r\n" % boundary).encode() + logo + ("\r\n--%s--\r\n" % boundary).encode())
data_uri = json.dumps({"data": "data:image/png;base64," + base64.b64encode(logo).decode()}).encode()


def timed(program, path, body, content_type):
    figures = []
    for _ in range(runs):
        # Stay below the ten logos an account may keep.
        for logo_id in [entry["id"] for entry in json.loads(program.request("GET", "/api/menu/logosfetch"))["rlogos"]]:
            program.request("POST", "/api/menu/logodelete", json.dumps({"logoId": logo_id}))
        start = time.perf_counter()
        status, answer = program.raw("POST", path, body, content_type)
        figures.append((time.perf_counter() - start) * 1000)
        if status != 200 or json.loads(answer).get("errorcode") != 200:
            raise RuntimeError("%s answered %s" % (path, answer[:200]))
    return statistics.median(figures), min(figures)


program = LiveProgram(build)
try:
    results = {
        "as a file (multipart)": timed(program, "/api/menu/logouploadfile", multipart, "multipart/form-data; boundary=" + boundary),
        "as a data URI (JSON)": timed(program, "/api/menu/logouploaddata", data_uri, "application/json"),
    }
finally:
    program.stop()
for label, (median, best) in results.items():
    print("a %d-byte logo %-22s median %6.2f ms   best %6.2f ms   %s" % (len(logo), label, median, best, "met" if median < 20 else "MISSED"))
