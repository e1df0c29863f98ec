# Shared by the svg2pdf benchmarks, sourced with the script's own arguments:
#   source bench/converter_compare.sh "$@"
# sets `build`, `runs`, `ours` and a scratch folder `work`; after the script has written its
# pages into `work` and listed them in `pages`, `compare_converters SPEED SIZE` times the three
# converters (taking turns run by run) and checks ours against the budgets: at least SPEED times
# faster than rsvg-convert, no slower than mutool, and a PDF at most SIZE times rsvg-convert's.

build="$(cd "${1:-build}" && pwd)"
runs="${2:-15}"
ours="$build/tavolex-svg2pdf"
[ -x "$ours" ] || { echo "build the tool first: $ours is missing" >&2; exit 1; }
for tool in rsvg-convert mutool python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install -y librsvg2-bin mupdf-tools python3)" >&2; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/tavolex-svg2pdf-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
# Our converter keeps fontconfig's answers in its data folder; the benchmark's own folder keeps
# the user's out of it. The warm-up round stores them, as any earlier run on the machine would.
export TAVOLEX_HOME="$work/home"

compare_converters() {
  # The converters take turns, run by run, and each keeps its best wall time: a shared machine
  # that slows down for a while then slows all three alike, instead of whichever was running.
  # Python's clock times the processes without the shell's own forks in the figure.
  # A fourth row times ours on a fresh data folder each round: a first run on a machine, which
  # loads fontconfig's configuration.
  read -r t_ours t_rsvg t_mutool t_first < <(python3 - "$runs" "$ours" "$work" "${pages[@]}" <<'PY'
import os, subprocess, sys, time
runs, ours, work, pages = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4:]
commands = [[ours, "-o", work + "/ours.pdf", *pages],
            ["rsvg-convert", "-f", "pdf", "-o", work + "/rsvg.pdf", *pages],
            ["mutool", "convert", "-o", work + "/mutool.pdf", *pages],
            [ours, "-o", work + "/first.pdf", *pages]]
best = [None] * len(commands)
for round in range(runs + 1):  # the first round only warms the caches
    for i, command in enumerate(commands):
        env = None
        if i == 3:
            env = dict(os.environ, TAVOLEX_HOME="%s/first%d" % (work, round))
            os.mkdir(env["TAVOLEX_HOME"])
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        took = int((time.perf_counter() - start) * 1e6)
        if round > 0 and (best[i] is None or took < best[i]):
            best[i] = took
print(*best)
PY
)

  size() { stat -c %s "$1"; }
  s_ours=$(size "$work/ours.pdf"); s_rsvg=$(size "$work/rsvg.pdf"); s_mutool=$(size "$work/mutool.pdf")
  svg_bytes=$(cat "${pages[@]}" | wc -c)

  echo "4 SVG pages, $svg_bytes bytes in all; best of $runs runs each, taking turns, whole processes"
  printf "%-18s %10s %12s\n" "converter" "ms" "PDF bytes"
  awk -v t="$t_ours" -v s="$s_ours" 'BEGIN { printf "%-18s %10.2f %12d\n", "tavolex-svg2pdf", t / 1000, s }'
  awk -v t="$t_rsvg" -v s="$s_rsvg" 'BEGIN { printf "%-18s %10.2f %12d\n", "rsvg-convert", t / 1000, s }'
  awk -v t="$t_mutool" -v s="$s_mutool" 'BEGIN { printf "%-18s %10.2f %12d\n", "mutool convert", t / 1000, s }'
  awk -v t="$t_first" -v m="$t_mutool" 'BEGIN {
    printf "tavolex-svg2pdf on a fresh data folder (fontconfig loaded): %.2f ms, %.2fx mutool\n", t / 1000, m / t }'
  awk -v o="$t_ours" -v r="$t_rsvg" -v m="$t_mutool" -v so="$s_ours" -v sr="$s_rsvg" \
        -v speed="$1" -v size="$2" 'BEGIN {
    printf "speed-up over rsvg-convert: %.2fx (budget %gx: %s)\n", r / o, speed, (r >= speed * o ? "met" : "MISSED")
    printf "speed-up over mutool:       %.2fx (budget 1x: %s)\n", m / o, (m >= o ? "met" : "MISSED")
    printf "size against rsvg-convert:  %.2f (budget at most %g: %s)\n", so / sr, size, (so <= size * sr ? "met" : "MISSED")
  }'
  # On a shared machine the wall time depends on what else runs; the processor time each
  # converter itself used (perf's task-clock, mean of the runs) is printed beside it when perf is
  # there.
  if command -v perf >/dev/null && perf stat -x, -e task-clock true >/dev/null 2>&1; then
    cpu_ms() { perf stat -x, -e task-clock -r "$runs" "$@" 2>&1 >/dev/null | awk -F, '/task-clock/ { printf "%.2f", $1 }'; }
    c_ours=$(cpu_ms "$ours" -o "$work/ours.pdf" "${pages[@]}")
    c_rsvg=$(cpu_ms rsvg-convert -f pdf -o "$work/rsvg.pdf" "${pages[@]}")
    c_mutool=$(cpu_ms mutool convert -o "$work/mutool.pdf" "${pages[@]}")
    echo "processor time (ms): tavolex-svg2pdf $c_ours, rsvg-convert $c_rsvg, mutool convert $c_mutool"
    awk -v o="$c_ours" -v r="$c_rsvg" -v m="$c_mutool" 'BEGIN {
      printf "processor-time ratios: rsvg-convert / ours %.2fx, mutool / ours %.2fx\n", r / o, m / o }'
  fi
  if command -v qpdf >/dev/null; then
    qpdf --check "$work/ours.pdf" >/dev/null && echo "qpdf --check: ours passes"
  fi
}
