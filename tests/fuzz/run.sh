#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, -DRELAYHUB_FUZZ=ON) and runs each one
# for a while, starting from its seed corpus (tests/fuzz/corpus/<target>/)
# and a corpus of its own that grows outside the repository.
#
#   bash tests/fuzz/run.sh [seconds per target, default 60] [target ...]
#
# Environment:
#   FUZZ_BUILD   build directory (default: build-fuzz in the source tree)
#   FUZZ_CORPUS  where the grown corpora are kept, one directory per target
#                (default: $FUZZ_BUILD/corpus)
#   FUZZ_JOBS    targets run at a time (default 1)
#
# Prints one line per target: executions, executions per second, coverage
# (cov = code edges, ft = features), corpus size and the outcome. Exits
# non-zero when any target finds a crash, a leak, a time-out or a failed
# property; the input is kept in $FUZZ_BUILD/artifacts/<target>/ and the
# whole output in $FUZZ_BUILD/logs/<target>.log. Reproduce a finding with
#   $FUZZ_BUILD/tests/fuzz/<target> <artifact>
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${FUZZ_BUILD:-$ROOT/build-fuzz}"
CORPUS="${FUZZ_CORPUS:-$BUILD/corpus}"
JOBS="${FUZZ_JOBS:-1}"
SECS="${1:-60}"
[ "$#" -gt 0 ] && shift
ALL=(fuzz_walk fuzz_handshake fuzz_options fuzz_text fuzz_detect fuzz_http_page)
TARGETS=("$@")
[ "${#TARGETS[@]}" -eq 0 ] && TARGETS=("${ALL[@]}")

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_CXX_COMPILER=clang++ -DRELAYHUB_FUZZ=ON \
  -DRELAYHUB_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2 --target "${TARGETS[@]}" >/dev/null

mkdir -p "$BUILD/logs" "$BUILD/results"

run_one() {  # run_one TARGET: runs it, writes its summary line and exit code
  local t="$1"
  local name="${t#fuzz_}"
  local log="$BUILD/logs/$t.log"
  local work="$BUILD/work/$t"
  mkdir -p "$CORPUS/$t" "$BUILD/artifacts/$t" "$work"
  local args=(-max_total_time="$SECS" -timeout=25 -rss_limit_mb=2048 -max_len=4096
              -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t/")
  case "$t" in
    fuzz_walk|fuzz_handshake|fuzz_http_page) args+=(-dict="$ROOT/tests/fuzz/websocket.dict") ;;
  esac
  local rc=0
  # From a scratch directory: the option parser loads identity files from
  # the working directory, and none should be found there.
  (cd "$work" && "$BUILD/tests/fuzz/$t" "${args[@]}" "$CORPUS/$t" "$ROOT/tests/fuzz/corpus/$name") \
    >"$log" 2>&1 || rc=$?
  local execs rate status cov ft corp outcome
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
  status=$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$log" | tail -n1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$status")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$status")
  corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$status")
  if [ "$rc" -eq 0 ]; then
    outcome="ok"
  else
    outcome="FAILED (exit $rc): $(grep -m1 -E 'check failed|ERROR: |SUMMARY: ' "$log" || echo "see $log")"
  fi
  printf '%-16s %4ss  execs %10s  exec/s %7s  cov %5s  ft %6s  corpus %5s  %s\n' \
    "$name" "$SECS" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$outcome" \
    >"$BUILD/results/$t.line"
  echo "$rc" >"$BUILD/results/$t.rc"
}

running=0
for t in "${TARGETS[@]}"; do
  rm -f "$BUILD/results/$t.line" "$BUILD/results/$t.rc"
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

failed=0
for t in "${TARGETS[@]}"; do
  cat "$BUILD/results/$t.line" 2>/dev/null || echo "${t#fuzz_}: no result"
  [ "$(cat "$BUILD/results/$t.rc" 2>/dev/null || echo 1)" = 0 ] || failed=1
done
exit "$failed"
