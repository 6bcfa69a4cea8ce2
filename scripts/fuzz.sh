#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh [total seconds, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
trap 'echo "fuzz.sh: failed: $BASH_COMMAND" >&2' ERR
if ! out=$(cmake --preset fuzz 2>&1); then
  printf '%s\n' "$out" | tail -n 40 >&2
  exit 1
fi
cmake --build --preset fuzz -j "$(nproc)"
targets=(build/fuzz/tests/fuzz/*_fuzz)
per=$(( total / ${#targets[@]} ))
(( per > 0 )) || per=1
for t in "${targets[@]}"; do
  name=$(basename "$t")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  [ -d "tests/fuzz/seeds/$name" ] && cp -n tests/fuzz/seeds/"$name"/* "$corpus"/ 2>/dev/null || true
  echo "fuzzing $name for ${per}s"
  "$t" -max_total_time="$per" -max_len=65536 -rss_limit_mb=4096 -print_final_stats=0 "$corpus" >"$corpus.log" 2>&1 ||
    { echo "fuzz.sh: $name found a fault; its last lines:" >&2; tail -n 60 "$corpus.log" >&2; exit 1; }
  tail -n 3 "$corpus.log"
done
