#!/usr/bin/env bash
# relayhub set-up: install what building and running (or testing) needs,
# build, make a localhost certificate, run the hub, or run the whole test suite.
#
#   bash scripts/setup.sh run [relayhub options]   build and start (port 8081, -L 65536)
#   bash scripts/setup.sh args [relayhub options]  print the options `run` would use
#   bash scripts/setup.sh pair                     two hubs joined through Redis, on this machine
#   bash scripts/setup.sh package                  build the Debian package build/relayhub_VERSION_ARCH.deb
#   bash scripts/setup.sh test                     build and run every test
#   bash scripts/setup.sh sanitize address|thread  run the tests instrumented
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

# What building and running the hub and the bridge need: the compiler and
# CMake, the OpenSSL, libgcrypt and hiredis headers, and openssl for the
# certificate.
PACKAGES=(build-essential cmake pkg-config libssl-dev libgcrypt20-dev libhiredis-dev openssl)
# What the tests use besides: GoogleTest, Python and real clients and peers
# (nc, python3-websockets, a browser, Redis, ncat, curl, a terminal in tmux,
# a parser for the metrics page), the man page renderer, clang for the fuzz
# targets, clang-format for the layout check, systemd-analyze for the service
# unit, and what cpack needs for the Debian package's Depends.
TEST_PACKAGES=(libgtest-dev python3 python3-websockets netcat-openbsd chromium redis-server ncat curl
               tmux python3-prometheus-client groff-base man-db clang clang-format libclang-rt-14-dev systemd dpkg-dev file)

deps() {  # deps PURPOSE PACKAGES...: says what PURPOSE needs and installs what is missing
  local purpose="$1"; shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    echo "Debian packages for $purpose: $* (all installed)"
    return
  fi
  echo "Debian packages for $purpose: $*; installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
}

node_deps() {
  # Node's own clients (ws, the browser driver); the browser is Debian's.
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    echo "installing nodejs npm"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq nodejs npm
  fi
  (cd tests/node && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
}

build() {  # build DIR [cmake args...]
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

cert() {
  # A self-signed identity for localhost: certificate and key in one PEM file.
  if [ ! -f localhost.pem ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout localhost.key.tmp -out localhost.crt.tmp -days 365 -subj "/CN=localhost" \
      -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" 2>/dev/null
    cat localhost.crt.tmp localhost.key.tmp > localhost.pem
    rm -f localhost.crt.tmp localhost.key.tmp
    chmod 600 localhost.pem
    echo "made localhost.pem (self-signed, CN=localhost, 365 days)"
  fi
}

# Whether the hub's own parser finds option letter $1 in the arguments that
# follow, with a value: in an argument that starts with "-" the first of p, c
# and L takes the rest of it ("-p9000", "-hp90") or the next argument
# ("-p 9000") as its value; "--help" is a word of its own.
has_option() {
  local want="$1"; shift
  local a i c
  while [ "$#" -gt 0 ]; do
    a="$1"; shift
    [ "${a:0:1}" = "-" ] || continue
    [ "${a,,}" = "--help" ] && continue
    for ((i = 1; i < ${#a}; i++)); do
      c="${a:i:1}"
      case "$c" in
        p|c|L)
          if [ $((i + 1)) -lt ${#a} ]; then
            [ "$c" = "$want" ] && return 0
          elif [ "$#" -gt 0 ]; then
            [ "$c" = "$want" ] && return 0
            shift  # the value
          fi
          break
          ;;
      esac
    done
  done
  return 1
}

# The options `run` starts the hub with: the caller's, plus port 8081 (81, the
# hub's default, needs privilege) unless -p is given, and a 64 KiB receive
# buffer unless -L is (the default 4096 bytes caps a WebSocket message at
# about 4 KB and costs most of the raw throughput).
# They go first: the hub takes the last value given, and a dangling "-p" at
# the end then cannot swallow one of them.
run_args() {
  RUN_ARGS=()
  has_option p "$@" || RUN_ARGS+=(-p 8081)
  has_option L "$@" || RUN_ARGS+=(-L 65536)
  RUN_ARGS+=("$@")
}

cmd="${1:-}"
shift || true
case "$cmd" in
  run)
    deps "building and running" "${PACKAGES[@]}"
    build build -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_TESTS=OFF
    cert
    run_args "$@"
    exec ./build/relayhub "${RUN_ARGS[@]}"
    ;;
  args)
    run_args "$@"
    echo "${RUN_ARGS[*]}"
    ;;
  pair)
    # Redis on 6390 (not the system's 6379), hubs on 8081 and 8082, their
    # consoles in build/pair-PORT.log; one bridge each on this terminal.
    # Ctrl-C stops them all.
    deps "building and running two hubs and Redis" "${PACKAGES[@]}" redis-server
    build build -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_TESTS=OFF
    cert
    redis_port=6390
    pids=()
    stop_pair() {
      trap - EXIT INT TERM
      [ "${#pids[@]}" -gt 0 ] && kill "${pids[@]}" 2>/dev/null
      wait
    }
    trap stop_pair EXIT INT TERM
    /usr/bin/redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no \
      --logfile "$ROOT/build/pair-$redis_port.log" &
    pids+=($!)
    for port in 8081 8082; do
      ./build/relayhub -p "$port" -L 65536 > "build/pair-$port.log" 2>&1 &
      pids+=($!)
    done
    sleep 0.5
    for port in 8081 8082; do
      ./build/relayhub-bridge --hub "127.0.0.1:$port" --redis "127.0.0.1:$redis_port" &
      pids+=($!)
    done
    echo "hubs on 8081 and 8082, joined through Redis on $redis_port; Ctrl-C stops them"
    wait
    ;;
  package)
    # From a release build and the install rules; Depends from dpkg-shlibdeps.
    deps "building the Debian package" "${PACKAGES[@]}" dpkg-dev file
    build build -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_TESTS=OFF
    (cd build && cpack -G DEB)
    ;;
  test)
    deps "building and testing" "${PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    node_deps
    build build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cd build-test
    ctest --output-on-failure --timeout 900 -j2
    ;;
  sanitize)
    kind="${1:-address}"
    deps "building and testing" "${PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    node_deps
    build "build-$kind" -DCMAKE_BUILD_TYPE=Debug -DRELAYHUB_SANITIZE="$kind"
    cd "build-$kind"
    # A report stops the program at once, so a test cannot pass over it.
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      ctest --output-on-failure --timeout 1800 -j2
    ;;
  *)
    echo "usage: bash scripts/setup.sh run|args [relayhub options] | pair | package | test | sanitize address|thread" >&2
    exit 2
    ;;
esac
