#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh [total seconds, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
cmake --preset fuzz >/dev/null
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
  "$t" -max_total_time="$per" -max_len=65536 -rss_limit_mb=4096 -print_final_stats=0 "$corpus" 2>&1 | tail -n 3
done
