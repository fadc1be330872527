#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a bounded time
# (FUZZ_SECONDS, 20 by default) on a scratch copy of its seed corpus under
# build/fuzz/corpus-work, which grows from run to run; fuzz/corpus is never
# written.  A crash leaves its input in build/fuzz/artifacts and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"
targets=(flip_fuzz message_fuzz param_fuzz order_fuzz path_fuzz tabs_fuzz)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

mkdir -p build/fuzz/artifacts build/fuzz/logs
failed=0
for target in "${targets[@]}"; do
  work="build/fuzz/corpus-work/$target"
  log="build/fuzz/logs/$target.log"
  mkdir -p "$work"
  cp fuzz/corpus/"$target"/* "$work"/
  if "build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -max_len=8192 \
      -artifact_prefix="build/fuzz/artifacts/$target-" "$work" >"$log" 2>&1; then
    echo "$target: $(grep -E '^Done [0-9]+ runs' "$log"), corpus $(ls "$work" | wc -l) inputs"
  else
    echo "$target: FAILED; the last lines of $log:"
    tail -n 40 "$log"
    failed=1
  fi
done
exit "$failed"
