#!/bin/sh
# Prints the size of a built Windows stub next to 21,504 bytes, the length of
# the stub this design was made for, and their ratio; then where the bytes
# are: the headers (up to the first section's data), each section's size and
# the file bytes it takes (padded to the file alignment), and the imports.
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

# The x86_64 tools read both the i686 and the x86_64 image.
objdump=x86_64-w64-mingw32-objdump
command -v "$objdump" >/dev/null 2>&1 || exit 0

echo
"$objdump" -h "$stub" | awk -v size="$size" '
  function hex(s,   v, i) {
    v = 0
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
    return v
  }
  $1 ~ /^[0-9]+$/ && NF >= 7 {
    n++; name[n] = $2; vsize[n] = hex($3); offset[n] = hex($6)
  }
  END {
    first = size
    for (i = 1; i <= n; i++) if (offset[i] && offset[i] < first) first = offset[i]
    printf "%-12s %10s %10s\n", "section", "size", "in file"
    printf "%-12s %10s %10d\n", "headers", "", first
    for (i = 1; i <= n; i++) {
      # A section with data runs to the next one or to the end of the file.
      end = size
      for (j = 1; j <= n; j++) if (offset[j] > offset[i] && offset[j] < end) end = offset[j]
      printf "%-12s %10d %10d\n", name[i], vsize[i], offset[i] ? end - offset[i] : 0
    }
  }'

# The program section of the laid-out stub ends in the zero-filled data, so
# its size says little; the linked image beside it has the bytes in use.
linked=$(dirname "$stub")/kasumiro-stub-linked.exe
if [ -f "$linked" ]; then
  "$objdump" -h "$linked" | awk '
    function hex(s,   v, i) {
      v = 0
      for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
      return v
    }
    $1 ~ /^[0-9]+$/ && NF >= 7 && ($2 == ".text" || $2 == ".rsrc") {
      used = hex($3); room = int((used + 511) / 512) * 512
      printf "%-12s %10d bytes used of %d (%d to spare)\n", $2, used, room, room - used
    }'
fi

echo
"$objdump" -p "$stub" | awk '
  /^\tDLL Name: / { dll = $3; dlls++; next }
  dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { count[dll]++; total++ }
  /^$/ { if (dll != "") dll = "" }
  END {
    printf "imports: %d functions from %d DLLs (", total, dlls
    sep = ""
    for (d in count) { printf "%s%s %d", sep, d, count[d]; sep = ", " }
    print ")"
  }'
