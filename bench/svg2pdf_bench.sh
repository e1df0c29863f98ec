#!/usr/bin/env bash
# SVG pages to PDF: tavolex-svg2pdf against rsvg-convert and mutool on the same 4-page menu-like
# document (shapes, gradients with and without stop opacity, clip paths, dashed rules and a PNG
# logo as a data URI on every page). Whole processes are timed, taking turns, best of several
# runs each, and the file sizes printed. Budget: ours at least 3 times faster than rsvg-convert, no slower than
# mutool, and a PDF no larger than rsvg-convert's.
#   bash bench/svg2pdf_bench.sh [build folder] [runs]
set -euo pipefail

source "$(dirname "$0")/converter_compare.sh" "$@"

python3 - "$work" "$(dirname "$0")" <<'PY'
import sys
work = sys.argv[1]
sys.path.insert(0, sys.argv[2])
sys.dont_write_bytecode = True
from menu_logo import logo_base64

logo = logo_base64(256)
for page in range(1, 5):
    out = ['<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
           'width="794" height="1123" viewBox="0 0 794 1123">',
           '<defs>',
           '<linearGradient id="band" x1="0" y1="0" x2="1" y2="0"><stop offset="0" stop-color="#7a1f1f"/>'
           '<stop offset="0.5" stop-color="#c0563a"/><stop offset="1" stop-color="#f0c080"/></linearGradient>',
           '<linearGradient id="veil" x1="0" y1="0" x2="0" y2="1"><stop offset="0" stop-color="#ffffff" stop-opacity="0.9"/>'
           '<stop offset="1" stop-color="#ffffff" stop-opacity="0"/></linearGradient>',
           '<radialGradient id="dot" cx="0.5" cy="0.5" r="0.5"><stop offset="0" stop-color="#ffe9a0"/>'
           '<stop offset="1" stop-color="#b07020"/></radialGradient>',
           '<clipPath id="frame"><rect x="40" y="40" width="714" height="1043" rx="30"/></clipPath>',
           '<clipPath id="round"><circle cx="397" cy="120" r="70"/></clipPath>',
           '</defs>',
           '<rect width="794" height="1123" fill="#fbf6ee"/>',
           '<g clip-path="url(#frame)">',
           '<rect x="0" y="0" width="794" height="220" fill="url(#band)"/>',
           '<rect x="0" y="160" width="794" height="120" fill="url(#veil)"/>',
           '</g>',
           '<rect x="40" y="40" width="714" height="1043" rx="30" fill="none" stroke="#7a1f1f" stroke-width="3"/>',
           '<image x="327" y="50" width="140" height="140" clip-path="url(#round)" xlink:href="data:image/png;base64,%s"/>' % logo]
    for section in range(4):
        top = 300 + section * 190
        out.append('<rect x="70" y="%d" width="654" height="34" rx="6" fill="url(#band)"/>' % top)
        out.append('<path d="M 80 %d h 634" stroke="#7a1f1f" stroke-width="1.5" stroke-dasharray="6 4"/>' % (top + 44))
        for item in range(10):
            y = top + 56 + item * 13
            out.append('<circle cx="86" cy="%d" r="5" fill="url(#dot)" stroke="#7a1f1f" stroke-width="0.8"/>' % y)
            out.append('<rect x="100" y="%d" width="%d" height="6" fill="#3a2a20" fill-opacity="0.8"/>' % (y - 3, 180 + (item * 37 + page * 11) % 240))
            out.append('<path d="M %d %d l 8 -6 l 8 6 l -8 6 z" fill="#c0563a" stroke="#5a1010" stroke-linejoin="round"/>' % (680, y))
            out.append('<line x1="600" y1="%d" x2="660" y2="%d" stroke="#999" stroke-width="0.6" stroke-dasharray="1 2"/>' % (y, y))
    out.append('<path d="M 60 1060 C 200 1000 300 1100 397 1040 S 600 1000 734 1060" fill="none" stroke="#c0563a" stroke-width="4" stroke-linecap="round"/>')
    out.append('</svg>')
    open("%s/page%d.svg" % (work, page), "w").write("\n".join(out))
PY

pages=("$work"/page1.svg "$work"/page2.svg "$work"/page3.svg "$work"/page4.svg)

compare_converters 3 1
