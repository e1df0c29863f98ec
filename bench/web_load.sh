#!/usr/bin/env bash
# Load figures for the local web server: the real program on a free loopback port, driven by
# wrk with keep-alive connections. Prints requests per second and errors for each case, then
# the server's resident memory after the run.
#   bash bench/web_load.sh [build folder] [seconds per case]
set -euo pipefail

build="$(cd "${1:-build}" && pwd)"
seconds="${2:-5}"
binary="$build/tavolex"
command -v wrk >/dev/null || { echo "wrk is missing: apt-get install -y wrk" >&2; exit 1; }
[ -x "$binary" ] || { echo "build the program first: $binary is missing" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/tavolex-bench-XXXXXX")"
server=""
cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server"
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The program serves the `Web` folder beside itself: a copy with the benchmark's files.
mkdir -p "$work/install/Web" "$work/home"
cp "$binary" "$work/install/tavolex"
python3 - "$work/install/Web" <<'PY'
import sys
web = sys.argv[1]
def script(size):
    text, i = [], 0
    while sum(map(len, text)) < size:
        text.append("function item%d(price) { return { id: %d, label: 'Item %d', price: price * %d }; }\n" % (i, i, i, i % 97))
        i += 1
    return "".join(text)[:size]
open(web + "/file10k.js", "w").write(script(10 * 1024))
open(web + "/file1m.js", "w").write(script(1024 * 1024))
PY

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
printf '[WebServer]\nPort=%s\n' "$port" > "$work/home/settings.ini"
TAVOLEX_HOME="$work/home" TAVOLEX_BROWSER=none "$work/install/tavolex" &
server=$!

for _ in $(seq 100); do
  if [ -f "$work/install/Web/file1m.js.gz" ] && [ -f "$work/install/Web/file10k.js.gz" ] &&
     (echo > "/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    break
  fi
  sleep 0.1
done
[ -f "$work/install/Web/file1m.js.gz" ] || echo "note: the gzip copies were not ready; gzip cases serve plain files"

base="http://127.0.0.1:$port"
printf '%-34s %5s %12s %10s %8s\n' "case" "conns" "requests/s" "non-2xx" "errors"
run() {
  local name="$1" connections="$2" path="$3" gzip="$4"
  local threads=$(( connections < 2 ? 1 : 2 ))
  local header=()
  if [ "$gzip" = on ]; then header=(-H "Accept-Encoding: gzip"); fi
  local out
  out="$(wrk -t"$threads" -c"$connections" -d"${seconds}s" "${header[@]}" "$base/$path")"
  local rate non2xx errors
  rate="$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")"
  non2xx="$(awk '/Non-2xx or 3xx responses:/ {print $5}' <<<"$out")"
  errors="$(awk '/Socket errors:/ {gsub(",", ""); print $4+$6+$8+$10}' <<<"$out")"
  printf '%-34s %5s %12s %10s %8s\n' "$name" "$connections" "$rate" "${non2xx:-0}" "${errors:-0}"
}

for connections in 1 16; do
  run "api/status/checkalive" "$connections" "api/status/checkalive" off
  run "10 KB file, gzip off" "$connections" "file10k.js" off
  run "10 KB file, gzip on" "$connections" "file10k.js" on
  run "1 MB file, gzip off" "$connections" "file1m.js" off
  run "1 MB file, gzip on" "$connections" "file1m.js" on
done

echo "server resident memory after the run: $(awk '/^VmRSS:/ {print $2, $3}' "/proc/$server/status")"
echo "server threads after the run: $(awk '/^Threads:/ {print $2}' "/proc/$server/status")"
