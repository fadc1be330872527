#!/usr/bin/env bash
# Scale checks, too slow for every CI run (needs ~20 GB of free disk):
#  1. a file larger than 4 GiB converts correctly (checked against unix2dos),
#     by the native program and, where Wine runs it, by the 32-bit Windows
#     program of WIN32_BUILD;
#  2. a file of more than 2^31 lines followed by a too long line reports the
#     right line number.
# Usage: bench/scale.sh [BUILD_DIR [WIN32_BUILD]]
#        (default build/release and build/win32)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
win32_build=${2:-build/win32}
work=$(mktemp -d "${TMPDIR:-/tmp}/nlflip-scale-XXXXXX")
trap 'rm -rf "$work"' EXIT

timed() {  # label command...: runs it, prints wall time and peak RSS
  /usr/bin/time -f "%e %M" -o "$work/time" "${@:2}"
  read -r seconds kb < <(tail -n 1 "$work/time")
  echo "$1: ${seconds} s, peak RSS $((kb / 1024)) MiB"
}

echo "== more than 4 GiB"
big=$(((4 << 30) + (512 << 20)))
"$build/bench/make_input" lf "$big" "$work/big.txt"
timed "nlflip on $big bytes" "$build/nlflip" "$work/big.txt" "$work/big.out" </dev/null
unix2dos -q -n "$work/big.txt" "$work/big.peer"
if cmp -s "$work/big.out" "$work/big.peer"; then
  echo "output matches unix2dos ($(stat -c %s "$work/big.out") bytes)"
else
  echo "output differs from unix2dos" >&2
  exit 1
fi
rm -f "$work/big.out"

echo "== the 32-bit Windows program on the same file"
if [ -x "$win32_build/nlflip.exe" ] && wine --version >/dev/null 2>&1; then
  export WINEPREFIX="${WINEPREFIX:-$PWD/$win32_build/wineprefix}" WINEDEBUG=-all
  # Wine's Z: drive is the root of the file system.
  timed "nlflip.exe under Wine on $big bytes" wine "$win32_build/nlflip.exe" \
    "Z:$work/big.txt" "Z:$work/big.out" </dev/null
  if cmp -s "$work/big.out" "$work/big.peer"; then
    echo "output matches unix2dos"
  else
    echo "output of nlflip.exe differs from unix2dos" >&2
    exit 1
  fi
else
  echo "skipped: no $win32_build/nlflip.exe, or Wine cannot run it"
fi
rm -f "$work"/big.*

echo "== more than 2^31 lines, then a too long line"
lines=$(((1 << 31) + 5))
head -c "$lines" /dev/zero | tr '\0' '\n' >"$work/lines.txt"
head -c 10000 /dev/zero | tr '\0' 'x' >>"$work/lines.txt"
set +e
timed "nlflip on $lines empty lines" "$build/nlflip" "$work/lines.txt" "$work/lines.out" \
  </dev/null 2>"$work/err"
set -e
expected="$work/lines.txt: $((lines + 1)) line: too long line"
if [ "$(cat "$work/err")" = "$expected" ] && [ ! -e "$work/lines.out" ]; then
  echo "reported: $(sed "s|$work/||" "$work/err")"
else
  echo "unexpected report: $(cat "$work/err")" >&2
  exit 1
fi
