#!/bin/sh
# Builds the libFuzzer harnesses (not part of the CMake build or ctest).
# Usage: tests/fuzz/build.sh [output-dir, default ./build-fuzz]; then e.g.
#   OUT/fuzz_decrypt -max_total_time=300 CORPUS_DIR
set -e
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:-build-fuzz}
mkdir -p "$OUT"
# The page is embedded the way the CMake build does it.
cmake -DIN="$ROOT/web/chat.html" -DOUT="$OUT/chat_html.cpp" -DSYMBOL=http_chat_page \
  -P "$ROOT/web/embed.cmake"
SRC="$ROOT/websocket/websocket_srv.cpp $ROOT/websocket/websocket_handshake.cpp \
  $ROOT/websocket/websocket_framing.cpp $ROOT/support/*.cpp $ROOT/transport/*.cpp \
  $ROOT/web/http_page.cpp $OUT/chat_html.cpp"
FLAGS="-std=c++20 -g -O1 -fno-exceptions -pthread -fsanitize=fuzzer,address,undefined -I$ROOT"
for h in fuzz_decrypt fuzz_header fuzz_http_page; do
  clang++ $FLAGS "$ROOT/tests/fuzz/$h.cpp" $SRC -o "$OUT/$h" -lssl -lcrypto -lgcrypt
done
