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

# What the program section holds and what the hardening costs: the code and
# constants, the import tables, the load configuration and the base
# relocations (the last three read from the data directories), the bytes to
# spare before the next 512; then the headers: the bytes they need (e_lfanew,
# the file and optional headers, 40 bytes per section, 8 per data
# directory) against what they take, a multiple of 512.
lfanew=$(od -An -tu4 -j60 -N4 "$stub" | tr -d ' ')
"$objdump" -p -h "$stub" | awk -v lfanew="$lfanew" '
  function hex(s,   v, i) {
    v = 0
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
    return v
  }
  /^Magic/ { optional = ($2 == "010b") ? 96 : 112 }
  /^SizeOfHeaders/ { headers = hex($2) }
  /^NumberOfRvaAndSizes/ { directories = hex($2) }
  /^Entry 1 / { imports = hex($4) }
  /^Entry 5 / { relocations = hex($4) }
  /^Entry a / { config = hex($4) }
  /^Entry c / { iat = hex($4) }
  # The names: each DLL name and each function'"'"'s hint and name, an even
  # number of bytes.
  /^\tDLL Name: / { names += length($3) + 1; next }
  /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { names += int((2 + length($3) + 1 + 1) / 2) * 2 }
  /^Sections:/ { listing = 1 }
  listing && $1 ~ /^[0-9]+$/ && NF >= 7 {
    sections++
    if ($2 == ".text") { text = hex($3); room = int((text + 511) / 512) * 512 }
  }
  END {
    printf "%-24s %6d\n", "code and constants", text - imports - iat - names - config - relocations
    printf "%-24s %6d  (directory %d, address table %d, names %d)\n", "import tables",
      imports + iat + names, imports, iat, names
    printf "%-24s %6d\n", "load configuration", config
    printf "%-24s %6d\n", "base relocations", relocations
    printf "%-24s %6d of %d (%d to spare)\n", ".text in use", text, room, room - text
    need = lfanew + 24 + optional + 8 * directories + 40 * sections
    printf "%-24s %6d of %d (%d sections, %d data directories)\n", "headers in use", need, headers, sections, directories
  }'
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
