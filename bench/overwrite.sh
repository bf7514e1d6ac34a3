#!/usr/bin/env bash
# Replacing existing files: extracts an archive of many small files once into
# a fresh directory and then again over the same files, with the kasumiro
# runner (-o: overwrite without asking), lhasa and bsdtar, and prints the wall
# times of both runs and the ratio of each peer to kasumiro.
#
# Environment: FILES (default 20000), BENCH_DIR (parent of the scratch
# directory; default $TMPDIR or /tmp: pick the disk to measure).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FILES=${FILES:-20000}
PARENT=${BENCH_DIR:-${TMPDIR:-/tmp}}
have() { command -v "$1" >/dev/null 2>&1; }
have jlha || { echo "overwrite: jlha is needed to make the archive" >&2; exit 1; }

(cd "$REPO" && { [[ -f build/release/build.ninja ]] || cmake --preset release >/dev/null; } &&
  cmake --build --preset release --target kasumiro >/dev/null)
KASUMIRO=$REPO/build/release/kasumiro

WORK=$(mktemp -d "$PARENT/kasumiro-overwrite.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/src"
for ((d = 0; d < FILES / 500; d++)); do
  mkdir -p "$WORK/src/d$d"
  for ((f = 0; f < 500; f++)); do printf 'file %d of %d\n' "$f" "$d" >"$WORK/src/d$d/f$f.txt"; done
done
(cd "$WORK/src" && jlha c2o5q ../files.lzh d* >/dev/null)
"$KASUMIRO" a -q --from "$WORK/files.lzh" "$WORK/files.exe"

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 </dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

printf '%-10s %10s %12s %8s\n' tool "fresh (s)" "replace (s)" ratio
base=""
row() {
  local name=$1 dir=$WORK/out-$1
  shift
  local fresh replace
  fresh=$(cd "$WORK" && mkdir -p "$dir" && cd "$dir" && seconds "$@")
  replace=$(cd "$dir" && seconds "$@")
  diff -r "$WORK/src" "$dir" >/dev/null || { echo "overwrite: $name extracted something else" >&2; exit 1; }
  [[ -n $base ]] || base=$replace
  printf '%-10s %10.2f %12.2f %7.2fx\n' "$name" "$fresh" "$replace" "$(awk -v a="$replace" -v b="$base" 'BEGIN { print a / b }')"
}
row kasumiro "$KASUMIRO" x -y -o "$WORK/files.exe" .
have lhasa && row lhasa lhasa xf "$WORK/files.lzh"
have bsdtar && row bsdtar bsdtar -xf "$WORK/files.lzh"
