#!/usr/bin/env bash
# Text-heavy SVG pages to PDF: tavolex-svg2pdf against rsvg-convert and mutool on the same 4-page
# menu (100 dishes in two families with bold and italic, accents, the euro sign, end-anchored
# prices, underlined headings, a gradient band and a PNG logo on every page). Whole processes
# are timed, taking turns, best of several runs each, and the file sizes printed; then every
# embedded font of ours must be a subset and pdftotext must recover every dish. Budget: ours at least 4 times
# faster than rsvg-convert, no slower than mutool, and a PDF at most 1.5 times rsvg-convert's.
# Fonts: fonts-dejavu-core and fonts-dejavu-extra.
#   bash bench/svg2pdf_text_bench.sh [build folder] [runs]
set -euo pipefail

source "$(dirname "$0")/converter_compare.sh" "$@"

python3 - "$work" "$(dirname "$0")" <<'PY'
import sys
work = sys.argv[1]
sys.path.insert(0, sys.argv[2])
sys.dont_write_bytecode = True
from menu_logo import logo_base64

logo = logo_base64(128)
names = ["Crème brûlée", "Wiener Schnitzel", "Bouillabaisse", "Tarte flambée", "Käsespätzle",
         "Smørrebrød", "Paella valenciana", "Œufs cocotte", "Gulasch mit Knödeln", "Salade niçoise"]
notes = ["mit Preiselbeeren, Petersilkartoffeln und grünem Salat", "façon grand-mère – crème fraîche, lardons",
         "geröstete Zwiebeln, Bergkäse aus dem Allgäu", "„hausgemacht“ nach dem Rezept der Großmutter",
         "served with aïoli, rouille and toasted croûtons"]
dish = 0
with open(work + "/dishes.txt", "w", encoding="utf-8") as listing:
    for page in range(1, 5):
        out = ['<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="794" height="1123">',
               '<defs><linearGradient id="band" x1="0" y1="0" x2="1" y2="0"><stop offset="0" stop-color="#7a1414"/>'
               '<stop offset="1" stop-color="#c87814" stop-opacity="0.6"/></linearGradient></defs>',
               '<rect x="0" y="0" width="794" height="90" fill="url(#band)"/>',
               '<image x="690" y="10" width="70" height="70" xlink:href="data:image/png;base64,%s"/>' % logo,
               '<text x="60" y="60" font-family="DejaVu Serif" font-weight="bold" font-size="36" fill="#fff" '
               'text-decoration="underline">Speisekarte · Carte · Menu %d</text>' % page]
        for row in range(25):
            y = 140 + row * 38
            name, note = names[dish % 10], notes[dish % 5]
            price = "%d,%02d €" % (6 + dish % 23, (dish * 37) % 100)
            out.append('<text x="60" y="%d" font-family="DejaVu Serif" font-weight="bold" font-size="17">%s '
                       '<tspan font-weight="normal" font-style="italic" font-family="DejaVu Sans" font-size="12" '
                       'fill="#555">%s</tspan></text>' % (y, name, note))
            out.append('<text x="734" y="%d" text-anchor="end" font-family="DejaVu Sans" font-weight="bold" '
                       'font-size="16">%s</text>' % (y, price))
            listing.write("%s\n%s\n" % (name, price))
            dish += 1
        out.append("</svg>")
        with open("%s/page%d.svg" % (work, page), "w", encoding="utf-8") as f:
            f.write("\n".join(out))
PY

pages=("$work"/page1.svg "$work"/page2.svg "$work"/page3.svg "$work"/page4.svg)

compare_converters 4 1.5
# Every font of ours a subset with a ToUnicode map, and every dish and price recovered.
pdffonts "$work/ours.pdf" | awk 'NR > 2 { total++; if ($(NF-4) == "yes" && $(NF-3) == "yes" && $(NF-2) == "yes") good++ }
  END { printf "fonts embedded as subsets with ToUnicode: %d of %d\n", good, total }'
pdftotext -enc UTF-8 "$work/ours.pdf" "$work/ours.txt"
missing=0
while IFS= read -r line; do grep -qF -- "$line" "$work/ours.txt" || missing=$((missing + 1)); done < "$work/dishes.txt"
echo "dish names and prices not recovered by pdftotext: $missing of $(wc -l < "$work/dishes.txt")"
