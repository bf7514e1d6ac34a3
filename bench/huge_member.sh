#!/usr/bin/env bash
# One member larger than 4 GiB: packs a sparse file (zeros with a few
# stretches of text and noise, one of them across the 4 GiB mark) with
# kasumiro a and tests the archive with our runner and the peers that are
# installed. Prints sizes, times and each tester's verdict. Needs little
# disk space: the input is sparse and the archive small.
#
# Environment: SIZE_MIB (default 4700), LEVEL (default: the encoder's
# default), METHOD (default 7), BENCH_DIR (default $TMPDIR or /tmp).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SIZE_MIB=${SIZE_MIB:-4700}
METHOD=${METHOD:-7}
PARENT=${BENCH_DIR:-${TMPDIR:-/tmp}}

die() {
  echo "huge_member: $*" >&2
  exit 1
}
have() { command -v "$1" >/dev/null 2>&1; }

((SIZE_MIB > 4096)) || die "SIZE_MIB must exceed 4096 for a member over 4 GiB"
if [[ ! -f "$REPO/build/release/build.ninja" ]]; then
  (cd "$REPO" && cmake --preset release >/dev/null) || die "cannot configure the release preset"
fi
(cd "$REPO" && cmake --build --preset release --target kasumiro >/dev/null) ||
  die "cannot build kasumiro"
BIN="$REPO/build/release"

WORK=$(mktemp -d "$PARENT/kasumiro-huge.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
INPUT="$WORK/huge.bin"

# Sparse zeros, with 8 MiB of text and noise at the start, in the middle,
# across 4 GiB and at the end.
truncate -s "${SIZE_MIB}M" "$INPUT"
stretch() {
  local at_mib=$1
  {
    find /usr/share/common-licenses -type f -exec cat {} + 2>/dev/null | head -c 4194304
    head -c 4194304 /dev/urandom
  } | dd of="$INPUT" bs=1M seek="$at_mib" conv=notrunc,nocreat iflag=fullblock status=none
}
for at in 0 2048 4092 $((SIZE_MIB - 8)); do stretch "$at"; done
BYTES=$(stat -c %s "$INPUT")

timed() {
  local label=$1
  shift
  local start end status=0
  start=$(date +%s%N)
  "$@" >"$WORK/out" 2>&1 || status=$?
  end=$(date +%s%N)
  printf '%-34s %8.1f s  %s\n' "$label" "$(awk -v a="$start" -v b="$end" 'BEGIN { print (b - a) / 1e9 }')" \
    "$([[ $status == 0 ]] && echo ok || echo "FAILED (exit $status): $(tail -2 "$WORK/out" | tr '\n' ' ')")"
  return 0
}

options=(--method "lh$METHOD")
[[ -z ${LEVEL:-} ]] || options+=("-$LEVEL")
printf 'input: %d bytes (%.2f GiB), sparse\n' "$BYTES" "$(awk -v b="$BYTES" 'BEGIN { print b / 2^30 }')"
timed "kasumiro a ${options[*]}" \
  "$BIN/kasumiro" a -q "${options[@]}" -C "$WORK" "$WORK/huge.lzh" huge.bin
[[ -s "$WORK/huge.lzh" ]] || die "no archive was made"
printf 'archive: %d bytes\n' "$(stat -c %s "$WORK/huge.lzh")"
"$BIN/kasumiro" a -q --from "$WORK/huge.lzh" "$WORK/huge.exe" >/dev/null ||
  die "kasumiro a --from failed"
timed "kasumiro t (our decoder)" "$BIN/kasumiro" t "$WORK/huge.exe"
if have lhasa; then timed "lhasa t" lhasa t "$WORK/huge.lzh"; fi
if have 7z; then timed "7z t" 7z t -bd "$WORK/huge.lzh"; fi
if have bsdtar; then timed "bsdtar -x -O | cmp with the input" sh -c \
  "bsdtar -x -O -f '$WORK/huge.lzh' | cmp - '$INPUT'"; fi
