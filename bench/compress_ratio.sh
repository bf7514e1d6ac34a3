#!/usr/bin/env bash
# Archive size and compression speed of our encoder against jlha.
#
# Packs two corpora with kasumiro a (-lh5- and -lh7-, levels 1, the default
# and 9) and with jlha (c2o5, c2o7), and with 7z (zip) and
# tar | gzip -6 for scale. Every archive of ours is tested with lhasa before
# its numbers are printed.
#
#   mixed  generated text and binary (MIXED_MIB, default 40)
#   real   files of this machine: the largest shared libraries under
#          /usr/lib (a third), then /usr/include and /usr/share/doc
#          (REAL_MIB, default 300)
#
# Environment: MIXED_MIB, REAL_MIB, MIXED_DIR, REAL_DIR (a corpus to take
# as it is instead), CORPORA (default "mixed real"), RUNS
# (default 1: the best of RUNS is kept), BENCH_DIR (default $TMPDIR or /tmp).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
MIXED_MIB=${MIXED_MIB:-40}
REAL_MIB=${REAL_MIB:-300}
CORPORA=${CORPORA:-mixed real}
RUNS=${RUNS:-1}
PARENT=${BENCH_DIR:-${TMPDIR:-/tmp}}

die() {
  echo "compress_ratio: $*" >&2
  exit 1
}
have() { command -v "$1" >/dev/null 2>&1; }

have jlha || die "jlha is needed (package jlha-utils)"
have lhasa || die "lhasa is needed to check our archives"
have perl || die "perl is needed to generate the data"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is needed (package time)"

if [[ ! -f "$REPO/build/release/build.ninja" ]]; then
  (cd "$REPO" && cmake --preset release >/dev/null) || die "cannot configure the release preset"
fi
(cd "$REPO" && cmake --build --preset release --target kasumiro >/dev/null) ||
  die "cannot build kasumiro"
PACK="$REPO/build/release/kasumiro"

WORK=$(mktemp -d "$PARENT/kasumiro-compress.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# ------------------------------------------------------------------ corpora
make_mixed() {
  local dir=$1
  perl - "$dir" "$MIXED_MIB" <<'PERL'
use strict;
use warnings;
my ($dir, $mib) = @ARGV;
srand(7142);
my $total = $mib * 1048576;
my @syllables = qw(a i u e o ka ki ku ke ko sa shi su se so ta chi tsu te to na ni nu ne no
                   ha hi fu he ho ma mi mu me mo ya yu yo ra ri ru re ro wa n);
my @words = map { join '', map { $syllables[int rand @syllables] } 0 .. int rand 4 } 1 .. 5000;
sub text {
  my ($n) = @_;
  my $s = '';
  while (length $s < $n) {
    my @line = map { $words[int(rand(@words) * rand() * rand())] } 0 .. 5 + int rand 12;
    $s .= join(' ', @line) . (rand() < 0.2 ? ' ' . int(rand 1e6) : '') . ".\n";
  }
  return substr($s, 0, $n);
}
sub binary {
  my ($n) = @_;
  my $s = '';
  while (length $s < $n) {
    my $kind = int rand 5;
    my $len = 256 + int rand 16384;
    if ($kind == 0) {    # records: an id, a counter, a float, a name
      my $id = int rand 1e6;
      $s .= pack('LLdA12', $id + $_, $_ * 3, $_ * 0.25, $words[int rand @words]) for 1 .. $len / 28;
    } elsif ($kind == 1) {    # noise
      $s .= pack('L*', map { int rand 4294967296 } 1 .. $len / 4);
    } elsif ($kind == 2) {    # sparse: mostly zero
      $s .= join '', map { rand() < 0.05 ? chr(int rand 256) : "\0" } 1 .. $len;
    } elsif ($kind == 3) {    # 16-bit samples of a slow wave
      $s .= pack('s*', map { int(8000 * sin($_ / 40) + rand 200) } 1 .. $len / 2);
    } elsif (length $s > 65536) {    # copies from the last 64 KiB
      for (1 .. 6) {
        my $d = 1 + int rand 65535;
        $s .= substr($s, length($s) - $d, 8 + int rand 300);
      }
    }
  }
  return substr($s, 0, $n);
}
sub put {
  my ($path, $data) = @_;
  open my $f, '>:raw', $path or die "$path: $!";
  print {$f} $data;
  close $f or die "$path: $!";
}
mkdir $dir or die;
mkdir "$dir/$_" for qw(text bin small);
for my $i (1 .. 5) {
  put("$dir/text/doc$i.txt", text(int($total * 0.45 / 5)));
  put("$dir/bin/data$i.bin", binary(int($total * 0.45 / 5)));
}
for my $i (1 .. 500) {
  my $n = 1 + int rand(int($total * 0.10 / 250));
  put(sprintf("$dir/small/f%03d.%s", $i, $i % 2 ? 'txt' : 'bin'), $i % 2 ? text($n) : binary($n));
}
PERL
}

# Regular files only (no links), copied so that every tool reads the same.
make_real() {
  local dir=$1 budget=$((REAL_MIB * 1048576))
  mkdir -p "$dir/lib"
  local libs=$((budget / 3)) used=0 size path
  # Distinct shared libraries, largest first (one copy per inode and size).
  while read -r size path; do
    ((used + size > libs)) && continue
    mkdir -p "$dir/lib/$(dirname "${path#/usr/lib/}")"
    cp "$path" "$dir/lib/${path#/usr/lib/}" && used=$((used + size))
  done < <(find /usr/lib -type f -name '*.so*' -printf '%s %i %p\n' 2>/dev/null |
    sort -rn | awk '!seen[$1 " " $2]++ { print $1, $3 }' | head -400)
  local from
  for from in /usr/include /usr/share/doc; do
    while read -r size path; do
      ((used >= budget)) && break
      mkdir -p "$dir/$(dirname "${path#/usr/}")"
      cp "$path" "$dir/${path#/usr/}" && used=$((used + size))
    done < <(find "$from" -type f -printf '%s %p\n' 2>/dev/null | sort -k2)
  done
}

# ----------------------------------------------------------------- measuring
# Runs a packing command RUNS times in the corpus directory; sets SIZE (bytes
# of OUT), WALL and CPU (user + system seconds, the best run's).
measure() {
  local corpus=$1 out=$2
  shift 2
  WALL=
  local run
  for ((run = 1; run <= RUNS; ++run)); do
    rm -f "$out"
    (cd "$corpus" && /usr/bin/time -f '%e %U %S' -o "$WORK/time" "$@" >/dev/null 2>"$WORK/err") ||
      die "$* failed: $(tail -3 "$WORK/err")"
    read -r wall user system <"$WORK/time"
    if [[ -z $WALL ]] || awk -v a="$wall" -v b="$WALL" 'BEGIN { exit !(a < b) }'; then
      WALL=$wall
      CPU=$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')
    fi
  done
  SIZE=$(stat -c %s "$out")
}

report() {
  local corpus=$1
  local dir="$WORK/$corpus"
  local bytes files
  bytes=$(find "$dir" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
  files=$(find "$dir" -type f | wc -l)
  printf '\n%s corpus: %d files, %.1f MB (MB = 10^6 bytes)\n' "$corpus" "$files" \
    "$(awk -v b="$bytes" 'BEGIN { print b / 1e6 }')"
  local -A jsize jwall jcpu
  local rows=()
  local method level label
  local entries
  mapfile -t entries < <(cd "$dir" && ls)
  for method in 5 7; do
    measure "$dir" "$WORK/jlha$method.lzh" jlha "c2o${method}q" "$WORK/jlha$method.lzh" "${entries[@]}"
    jsize[$method]=$SIZE jwall[$method]=$WALL jcpu[$method]=$CPU
    rows+=("-lh$method-|jlha c2o$method|$SIZE|$WALL|$CPU")
    for level in 1 default 9; do
      local options=(--method "lh$method")
      label="kasumiro a lh$method"
      if [[ $level != default ]]; then
        options+=("-$level")
        label+=" -$level"
      fi
      measure "$dir" "$WORK/ours.lzh" "$PACK" a -q "${options[@]}" "$WORK/ours.lzh" "${entries[@]}"
      lhasa t "$WORK/ours.lzh" >"$WORK/lhasa.log" 2>&1 ||
        die "lhasa rejects our archive ($label): $(grep -v Tested "$WORK/lhasa.log" | head -3)"
      rows+=("-lh$method-|$label|$SIZE|$WALL|$CPU")
    done
  done
  if have 7z; then
    measure "$dir" "$WORK/scale.zip" 7z a -tzip -bd "$WORK/scale.zip" "${entries[@]}"
    rows+=("zip|7z a -tzip|$SIZE|$WALL|$CPU")
  fi
  measure "$dir" "$WORK/scale.tgz" sh -c "tar cf - . | gzip -6 > '$WORK/scale.tgz'"
  rows+=("gzip|tar + gzip -6|$SIZE|$WALL|$CPU")

  printf '%-6s %-22s %12s %7s %8s %7s %7s %9s %7s %7s\n' method tool bytes "% data" "wall s" \
    "CPU s" "MB/s" "vs jlha" "speed" "CPU sp"
  printf '%.0s-' {1..103}
  echo
  local row m tool size wall cpu
  for row in "${rows[@]}"; do
    IFS='|' read -r m tool size wall cpu <<<"$row"
    local key=${m//[^0-9]/}
    key=${key:-none}
    awk -v m="$m" -v t="$tool" -v s="$size" -v w="$wall" -v c="$cpu" -v b="$bytes" \
      -v js="${jsize[$key]:-0}" -v jw="${jwall[$key]:-0}" -v jc="${jcpu[$key]:-0}" 'BEGIN {
        vs = js > 0 ? sprintf("%+.2f%%", 100 * (s - js) / js) : "-";
        sp = jw > 0 ? sprintf("%.2fx", jw / w) : "-";
        cs = jc > 0 ? sprintf("%.2fx", jc / c) : "-";
        printf "%-6s %-22s %12d %6.2f%% %8.2f %7.2f %7.1f %9s %7s %7s\n", m, t, s, 100 * s / b, w,
               c, b / 1e6 / w, vs, sp, cs
      }'
  done
}

echo "kasumiro a against jlha; 'vs jlha' = size difference to jlha's archive of the same"
echo "method, 'speed' = jlha's wall time / this wall time, 'CPU sp' the same for CPU time (user +"
echo "system), which a busy machine disturbs less. Best of $RUNS run(s). Default level: $(
  grep -o 'LZH_DEFAULT_LEVEL = [0-9]*' "$REPO/src/lzh/lzh_encoder.h" | grep -o '[0-9]*$')."
for corpus in $CORPORA; do
  case $corpus in
    # A directory named by MIXED_DIR or REAL_DIR (for instance the sources
    # that extract_throughput.sh keeps in BENCH_CACHE) is measured instead.
    mixed) if [[ -n ${MIXED_DIR:-} ]]; then cp -a "$MIXED_DIR" "$WORK/mixed"; else make_mixed "$WORK/mixed"; fi ;;
    real) if [[ -n ${REAL_DIR:-} ]]; then cp -a "$REAL_DIR" "$WORK/real"; else make_real "$WORK/real"; fi ;;
    *) die "unknown corpus $corpus" ;;
  esac
  report "$corpus"
  rm -rf "${WORK:?}/$corpus"
done
