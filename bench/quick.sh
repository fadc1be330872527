#!/usr/bin/env bash
# Times nlflip against a plain copy (the floor) and the dos2unix package's
# converters on a 256 MiB file of ~40-byte LF lines and on its CR LF twin.
# Usage: bench/quick.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=$((256 << 20))

"$build/bench/make_input" lf "$size" "$work/lf.txt"
"$build/bench/make_input" crlf "$size" "$work/crlf.txt"
cat "$work/lf.txt" "$work/crlf.txt" >/dev/null  # page-cache both

measure() {  # label command...
  local best=""
  for _ in 1 2 3; do
    rm -f "$work/out"
    /usr/bin/time -f "%e %M" -o "$work/time" "${@:2}" </dev/null >/dev/null 2>&1
    read -r seconds kb <"$work/time"
    if [ -z "$best" ] || awk "BEGIN{exit !($seconds < ${best%% *})}"; then best="$seconds $kb"; fi
  done
  printf '%-28s %8s s %10s KiB peak\n' "$1" ${best}
}

for input in lf crlf; do
  peer=unix2dos
  [ "$input" = crlf ] && peer=dos2unix
  echo "== $input: $(stat -c %s "$work/$input.txt") bytes (best of 3)"
  measure "dd bs=1M (floor)" dd if="$work/$input.txt" of="$work/out" bs=1M status=none
  measure nlflip "$build/nlflip" "$work/$input.txt" "$work/out"
  if command -v "$peer" >/dev/null; then
    measure "$peer" "$peer" -q -n "$work/$input.txt" "$work/out"
  fi
done
