#!/usr/bin/env python3
"""The export route end to end against tavolex-svg2pdf on the same pages, in one run.

    python3 bench/export_route.py [build folder] [runs]

A 4-page A4 text menu, 40 dishes a page, with a logo on every page as a data URI. The route is
timed at the client (form-encoded request to the last byte of the PDF), the converter as a whole
process; they take turns and each keeps its median and best. Budget: the route adds at most 20 %
to the converter's time. It also prints the size of the "menudata" field as a browser would send
it for the same menu with a 150 KB logo, against the server's 5,000,000-byte request limit."""
import base64
import json
import os
import random
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
from live_program import LiveProgram
from menu_logo import logo_base64

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20


def photo_png_base64(target_bytes):
    """A PNG of noisy pixels that deflate cannot shrink, about `target_bytes` long, as a photo
    logo would be."""
    side = int((target_bytes / 3) ** 0.5)
    rng = random.Random(7)
    rows = b"".join(b"\0" + bytes(rng.getrandbits(8) for _ in range(side * 3)) for _ in range(side))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xffffffff)

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
    return base64.b64encode(png).decode(), len(png)


def pages(logo):
    names = ["Crème brûlée", "Wiener Schnitzel", "Bouillabaisse", "Tarte flambée", "Käsespätzle",
             "Smørrebrød", "Paella valenciana", "Œufs cocotte", "Gulasch mit Knödeln", "Salade niçoise"]
    result = []
    for page in range(4):
        out = ['<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="595" height="842" viewBox="0 0 595 842">',
               '<image x="480" y="16" width="90" height="90" xlink:href="data:image/png;base64,%s"/>' % logo,
               '<text x="40" y="60" font-family="DejaVu Serif" font-weight="bold" font-size="28">Menu, page %d</text>' % (page + 1)]
        for row in range(40):
            y = 130 + row * 17.5
            dish = page * 40 + row
            out.append('<text x="40" y="%.1f" font-family="DejaVu Serif" font-size="11">%s <tspan font-style="italic" '
                       'fill="#555">with seasonal vegetables</tspan></text>' % (y, names[dish % 10]))
            out.append('<text x="555" y="%.1f" text-anchor="end" font-family="DejaVu Sans" font-size="11">%d,%02d €</text>'
                       % (y, 6 + dish % 23, (dish * 37) % 100))
        out.append("</svg>")
        result.append("\n".join(out))
    return result


def form_body(page_texts):
    data = json.dumps({"menupapersize": "A4", "armenupages": page_texts}, ensure_ascii=False)
    return urllib.parse.urlencode({"menudata": data, "filename": "Dinner"}).encode()


def main():
    photo, photo_bytes = photo_png_base64(150 * 1024)
    size = len(form_body(pages(photo)))
    print("menudata of 4 pages, 40 dishes each, a %d-byte logo on every page: %d bytes form-encoded "
          "(%.0f %% of the 5,000,000-byte limit)" % (photo_bytes, size, size * 100 / 5000000))

    page_texts = pages(logo_base64(256))
    work = tempfile.mkdtemp(prefix="tavolex-export-bench-")
    files = []
    for i, text in enumerate(page_texts):
        files.append(os.path.join(work, "page%d.svg" % i))
        with open(files[-1], "w", encoding="utf-8") as f:
            f.write(text)
    body = form_body(page_texts)
    program = LiveProgram(build)
    route, tool = [], []
    try:
        for _ in range(runs):
            start = time.perf_counter()
            status, pdf = program.raw("POST", "/api/menu/genpdf", body, "application/x-www-form-urlencoded")
            route.append((time.perf_counter() - start) * 1000)
            if status != 200 or not pdf.startswith(b"%PDF-1.4"):
                raise RuntimeError("the route answered %d" % status)
            start = time.perf_counter()
            subprocess.run([os.path.join(build, "tavolex-svg2pdf"), "--paper", "A4", "-o", os.path.join(work, "tool.pdf")] + files,
                           check=True, env=dict(os.environ, TAVOLEX_HOME=program.home))
            tool.append((time.perf_counter() - start) * 1000)
    finally:
        program.stop()
    print("api/menu/genpdf at the client   median %7.2f ms   best %7.2f ms   PDF %d bytes" % (statistics.median(route), min(route), len(pdf)))
    print("tavolex-svg2pdf, whole process  median %7.2f ms   best %7.2f ms   PDF %d bytes"
          % (statistics.median(tool), min(tool), os.path.getsize(os.path.join(work, "tool.pdf"))))
    ratio = statistics.median(route) / statistics.median(tool)
    print("the route takes %.2f times the converter's time (budget at most 1.20): %s" % (ratio, "met" if ratio <= 1.2 else "MISSED"))


main()
