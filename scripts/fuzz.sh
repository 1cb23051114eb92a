#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for SECONDS (default 10)
# from a copy of its seed corpus, FUZZ_JOBS targets at a time (default 1).
# Prints the executions per target; exits non-zero when a target crashed,
# keeping the input under build/fuzz/crashes/<target>/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: the names of fuzz/*.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
shift || true
jobs=${FUZZ_JOBS:-1}
case "$secs$jobs" in *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2; exit 2 ;; esac

scripts/deps.sh
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake --preset fuzz "${launcher[@]}" >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in fuzz/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
bin=build/fuzz/fuzz
run=build/fuzz/run
crashes=build/fuzz/crashes
rm -rf "$run"
mkdir -p "$run" "$crashes"

# One target: a scratch corpus (the checked-in one does not grow) and a
# scratch TMPDIR for the target's private home, both removed afterwards.
fuzz_one() {
  local t=$1 dir="$run/$1"
  mkdir -p "$dir/corpus" "$dir/tmp" "$crashes/$t"
  if [ -d "fuzz/corpus/$t" ]; then cp fuzz/corpus/"$t"/* "$dir/corpus/"; fi
  local rc=0
  TMPDIR="$PWD/$dir/tmp" "$bin/fuzz_$t" -max_total_time="$secs" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$PWD/$crashes/$t/" "$dir/corpus" \
    >"$dir/log" 2>&1 || rc=$?
  echo "$rc" >"$dir/rc"
  rm -rf "$dir/corpus" "$dir/tmp"
}

running=0
for t in "${targets[@]}"; do
  [ -x "$bin/fuzz_$t" ] || { echo "no fuzz target $t" >&2; exit 2; }
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$t" &
  running=$((running + 1))
done
wait

failed=0
passed=0
printf '%-16s %12s %s\n' target executions result
for t in "${targets[@]}"; do
  log="$run/$t/log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rc=$(cat "$run/$t/rc")
  result=ok
  if [ "$rc" != 0 ]; then
    failed=$((failed + 1))
    kept=$(ls -t "$crashes/$t" 2>/dev/null | head -1)
    result="FAILED (exit $rc; log $log; input $crashes/$t/${kept:-none})"
  else
    passed=$((passed + 1))
  fi
  printf '%-16s %12s %s\n' "$t" "${execs:-?}" "$result"
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
