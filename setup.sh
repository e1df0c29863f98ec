#!/usr/bin/env bash
# Installs what is missing, builds, and then starts Tavolex ("start") or runs every test ("test").
#   bash setup.sh start      build and start Tavolex
#   bash setup.sh test       build and run every test
# Extra options for CMake can be given in TAVOLEX_CMAKE_FLAGS; the build goes to
# TAVOLEX_BUILD_DIR (default: build).
set -euo pipefail

cd "$(dirname "$0")"
mode="${1:-}"
case "$mode" in
  start|test) ;;
  *) echo "usage: bash setup.sh start|test" >&2; exit 2 ;;
esac

# Debian packages the build, the program and the tests need.
packages=(
  g++ clang cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libsqlite3-dev libssl-dev
  libpng-dev libjpeg62-turbo-dev libgif-dev libwebp-dev
  libfreetype-dev libfontconfig-dev libharfbuzz-dev
  fonts-dejavu-core fonts-dejavu-extra fonts-freefont-otf
  qpdf poppler-utils wrk librsvg2-bin mupdf-tools
  openssl python3 python3-aiosmtpd
  fonts-lato fonts-open-sans chromium
)

# Node and npm for the browser tests: Debian's packages, unless the machine has them already
# (a node build that carries its own npm conflicts with Debian's npm package).
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser tests' driver, at the version pinned in tests/browser/package-lock.json.
pinned="$(sed -n 's/.*"playwright-core": "\(.*\)".*/\1/p' tests/browser/package.json)"
installed="$(sed -n 's/^  "version": "\(.*\)".*/\1/p' tests/browser/node_modules/playwright-core/package.json 2>/dev/null || true)"
if [ "$pinned" != "$installed" ]; then
  (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
fi

build="${TAVOLEX_BUILD_DIR:-build}"
jobs="$(nproc)"
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja ${TAVOLEX_CMAKE_FLAGS:-} >/dev/null
cmake --build "$build" -j "$jobs"

case "$mode" in
  start)
    exec "$build/tavolex" "${@:2}"
    ;;
  test)
    ctest --test-dir "$build" --output-on-failure -j "$jobs"
    ;;
esac
