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

# Beside nginx (Debian's nginx-light) on another loopback port, serving the same files: the
# median of 3 runs of each case with 16 connections, then the budgets.
if ! command -v nginx >/dev/null; then
  echo "nginx is missing (apt-get install -y nginx-light): the comparison is skipped"
  exit 0
fi
nginx_port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
mkdir -p "$work/nginx/logs"
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes $(nproc);
daemon off;
error_log $work/nginx/logs/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server { listen 127.0.0.1:$nginx_port; root $work/install/Web; }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
trap 'kill "$nginx_pid" 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 50); do (echo > "/dev/tcp/127.0.0.1/$nginx_port") 2>/dev/null && break; sleep 0.1; done

# A session and 100 categories for api/category/fetch.
cookie="$(curl -s -D - -o /dev/null "$base/api/account/issessionvalid" | awk -F'[=;]' '/^Set-Cookie:/ {print $2}')"
for i in $(seq 100); do
  curl -s -o /dev/null -b "tavolexs_sess=$cookie" "$base/api/category/add?name=Category%20$i&description=Dishes%20of%20group%20$i"
done

median_rate() {
  local url="$1"; shift
  for _ in 1 2 3; do
    wrk -t2 -c16 -d"${seconds}s" "$@" "$url" | awk '/^Requests\/sec:/ {print $2}'
  done | sort -n | sed -n 2p
}
nginx_static="$(median_rate "http://127.0.0.1:$nginx_port/file10k.js")"
ours_static="$(median_rate "$base/file10k.js")"
ours_alive="$(median_rate "$base/api/status/checkalive")"
ours_fetch="$(median_rate "$base/api/category/fetch" -H "Cookie: tavolexs_sess=$cookie")"
wrk -t2 -c256 -d"${seconds}s" "$base/file10k.js" >/dev/null
rss_kb="$(awk '/^VmRSS:/ {print $2}' "/proc/$server/status")"
kill "$nginx_pid" 2>/dev/null || true

printf '\n%-52s %12s\n' "median of 3 runs, 16 connections" "requests/s"
printf '%-52s %12s\n' "nginx, the 10 KB file" "$nginx_static" "tavolex, the 10 KB file" "$ours_static" \
  "tavolex, api/status/checkalive" "$ours_alive" "tavolex, api/category/fetch of 100 categories" "$ours_fetch"
python3 - "$nginx_static" "$ours_static" "$ours_alive" "$ours_fetch" "$rss_kb" <<'PY'
import sys
nginx, static, alive, fetch, rss = (float(v) for v in sys.argv[1:])
def verdict(ok): return "met" if ok else "MISSED"
print("checkalive at least 0.5 of nginx's static rate: %.2f %s" % (alive / nginx, verdict(alive >= 0.5 * nginx)))
print("category fetch at least 5,000 requests/s: %.0f %s" % (fetch, verdict(fetch >= 5000)))
print("10 KB file at least 0.8 of nginx's rate: %.2f %s" % (static / nginx, verdict(static >= 0.8 * nginx)))
print("resident memory after 256 connections under 40 MB: %.1f MB %s" % (rss / 1024, verdict(rss < 40 * 1024)))
PY
