#!/bin/sh
# Prints the size of a built Windows stub next to 21,504 bytes, the length of
# the stub this design was made for, and their ratio.
#
#   bench/stub_size.sh [STUB.exe]     (default: build/stub-i686/kasumiro-stub.exe)
set -eu

REFERENCE=21504
root=$(cd "$(dirname "$0")/.." && pwd)
stub=${1:-$root/build/stub-i686/kasumiro-stub.exe}

if [ ! -f "$stub" ]; then
  echo "stub_size: no stub at $stub; build the Windows stub first (or pass its path)" >&2
  exit 1
fi

size=$(wc -c <"$stub" | tr -d ' ')
awk -v name="$stub" -v size="$size" -v ref="$REFERENCE" 'BEGIN {
  printf "%-12s %10s\n", "stub", "bytes"
  printf "%-12s %10d  %s\n", "kasumiro", size, name
  printf "%-12s %10d\n", "reference", ref
  printf "%-12s %10.3f  (%+d bytes)\n", "ratio", size / ref, size - ref
}'
