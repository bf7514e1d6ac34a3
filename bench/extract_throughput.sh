#!/usr/bin/env bash
# Extraction throughput of the kasumiro runner against lhasa, bsdtar and 7z.
#
# Makes one -lh5- and one -lh7- archive with jlha from deterministic mixed
# text and binary data, wraps each with kasumiro-mksfx, and extracts it
# several times with every tool into fresh directories on the same disk.
# Every extraction is compared with the source tree before its time counts.
#
# Environment: RUNS (default 5), SIZE_MIB (default 40), BENCH_DIR (parent of
# the scratch directory; default $TMPDIR or /tmp).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=${RUNS:-5}
SIZE_MIB=${SIZE_MIB:-40}
PARENT=${BENCH_DIR:-${TMPDIR:-/tmp}}

die() {
  echo "extract_throughput: $*" >&2
  exit 1
}
have() { command -v "$1" >/dev/null 2>&1; }

have jlha || die "jlha is needed to make the archives (package jlha-utils)"
have perl || die "perl is needed to generate the data"
have cmake || die "cmake is needed to build the release preset"

# ---------------------------------------------------------------- build
if [[ ! -f "$REPO/build/release/build.ninja" ]]; then
  (cd "$REPO" && cmake --preset release >/dev/null) || die "cannot configure the release preset"
fi
(cd "$REPO" && cmake --build --preset release >/dev/null) || die "cannot build the release preset"
KASUMIRO="$REPO/build/release/kasumiro"
MKSFX="$REPO/build/release/kasumiro-mksfx"
[[ -x "$KASUMIRO" && -x "$MKSFX" ]] || die "release binaries missing"

TIME_BIN=/usr/bin/time
if [[ ! -x "$TIME_BIN" ]]; then
  echo "note: /usr/bin/time is missing (package 'time'); peak RSS is not shown" >&2
  TIME_BIN=
fi

WORK=$(mktemp -d "$PARENT/kasumiro-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
SRC="$WORK/src"

# ----------------------------------------------------------------- data
# Half text, half binary, in eight large files, plus 10% in 400 small files
# spread over 20 directories. perl's rand is its own drand48, so a fixed
# seed gives the same bytes everywhere.
perl - "$SRC" "$SIZE_MIB" <<'PERL'
use strict;
use warnings;
my ($dir, $mib) = @ARGV;
srand(20260101);
my $total = $mib * 1048576;

my @syllables = qw(ka su mi ro ta na ha ma ya ra wa shi chi tsu no to ko so ho mo yo ri ki ni hi fu);
my @words = map { join '', map { $syllables[int rand @syllables] } 1 .. 1 + int rand 4 } 1 .. 3000;
push @words, (qw(the of and to in is a with archive header window member block table)) x 40;

sub text {
  my ($n) = @_;
  my $s = '';
  while (length $s < $n) {
    my $line = join ' ', map { $words[int rand @words] } 1 .. 6 + int rand 10;
    $s .= ucfirst($line) . (rand() < 0.1 ? sprintf(" (%d)", int rand 100000) : '') . ".\n";
  }
  return substr($s, 0, $n);
}

sub binary {
  my ($n) = @_;
  my $s = '';
  while (length $s < $n) {
    my $kind = int rand 6;
    my $len = 64 + int rand 8192;
    if ($kind == 0) {      # noise
      $s .= pack 'L*', map { int rand 4294967296 } 1 .. $len / 4;
    } elsif ($kind == 1) { # zero run
      $s .= "\0" x $len;
    } elsif ($kind == 2) { # a table of ascending offsets
      my $base = int rand 1e7;
      $s .= pack 'L*', map { $base + 16 * $_ + int rand 8 } 1 .. $len / 4;
    } elsif ($kind == 3) { # a small alphabet
      $s .= join '', map { chr(0x40 + int rand 12) } 1 .. $len;
    } elsif (length $s > 70000) { # copies from up to the 64 KiB window
      for (1 .. 8) {
        my $distance = 1 + int rand 65535;
        my $count = 3 + int rand 512;
        $count = $distance if $count > $distance;
        $s .= substr($s, length($s) - $distance, $count);
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

mkdir $dir or die "$dir: $!";
mkdir "$dir/text";
mkdir "$dir/bin";
my $large = int($total * 0.45 / 4);
for my $i (1 .. 4) {
  put("$dir/text/part$i.txt", text($large));
  put("$dir/bin/part$i.bin", binary($large));
}
my $small = int($total * 0.10 / 400);
for my $d (1 .. 20) {
  my $sub = sprintf "$dir/small/d%02d", $d;
  mkdir "$dir/small";
  mkdir $sub;
  for my $f (1 .. 20) {
    my $n = 1 + int rand(2 * $small);
    if ($f % 2) { put(sprintf("$sub/f%02d.txt", $f), text($n)); }
    else        { put(sprintf("$sub/f%02d.bin", $f), binary($n)); }
  }
}
PERL

BYTES=$(find "$SRC" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
FILES=$(find "$SRC" -type f | wc -l)

# -------------------------------------------------------------- archives
echo "making the archives with jlha (this takes a while)..." >&2
declare -A JLHA_PID
for method in lh5 lh7; do
  (cd "$SRC" && exec jlha "c2o${method#lh}" "$WORK/$method.lzh" text bin small >"$WORK/jlha-$method.log" 2>&1) &
  JLHA_PID[$method]=$!
done
for method in lh5 lh7; do
  wait "${JLHA_PID[$method]}" || die "jlha failed: $(tail -3 "$WORK/jlha-$method.log")"
  [[ -s "$WORK/$method.lzh" ]] || die "jlha did not make $method.lzh"
  "$MKSFX" "$WORK/$method.exe" "$WORK/$method.lzh" || die "kasumiro-mksfx failed"
done

# -------------------------------------------------------------- timing
# Runs one extraction: tool, archive method, destination. Sets ELAPSED_NS,
# CPU_S (user + system) and RSS_KIB after checking the extracted tree
# against the source.
extract_once() {
  local tool=$1 method=$2 dest=$3
  local lzh="$WORK/$method.lzh" sfx="$WORK/$method.exe"
  local -a cmd
  case $tool in
    kasumiro) cmd=("$KASUMIRO" x -y "$sfx" "$dest") ;;
    lhasa) mkdir "$dest"; cmd=(lhasa "xqw=$dest" "$lzh") ;;
    bsdtar) mkdir "$dest"; cmd=(bsdtar -xf "$lzh" -C "$dest") ;;
    7z) cmd=(7z x -y -bd "-o$dest" "$lzh") ;;
  esac
  sync
  local start end
  start=$(date +%s%N)
  if [[ -n $TIME_BIN ]]; then
    "$TIME_BIN" -f '%M %U %S' -o "$WORK/rss" "${cmd[@]}" </dev/null >/dev/null 2>"$WORK/err" ||
      die "$tool failed on $method: $(cat "$WORK/err")"
  else
    "${cmd[@]}" </dev/null >/dev/null 2>"$WORK/err" || die "$tool failed on $method: $(cat "$WORK/err")"
    echo - - - >"$WORK/rss"
  fi
  end=$(date +%s%N)
  diff -r -q "$SRC" "$dest" >"$WORK/diff" || die "$tool extracted $method wrongly: $(head -5 "$WORK/diff")"
  rm -rf "$dest"
  ELAPSED_NS=$((end - start))
  read -r RSS_KIB user system < <(tail -n 1 "$WORK/rss")
  CPU_S=$(awk -v u="$user" -v s="$system" 'BEGIN { if (u == "-") print "-"; else print u + s }')
}

TOOLS=(kasumiro)
for peer in lhasa bsdtar 7z; do
  if have "$peer"; then TOOLS+=("$peer"); else echo "note: $peer not installed, skipped" >&2; fi
done

declare -A LABEL=([kasumiro]="kasumiro x -y (sfx)" [lhasa]="lhasa x" [bsdtar]="bsdtar -xf" [7z]="7z x")
declare -A MEDIAN BEST RSS CPU

for method in lh5 lh7; do
  for tool in "${TOOLS[@]}"; do
    times=()
    cpus=()
    rss=0
    for ((run = 1; run <= RUNS; ++run)); do
      extract_once "$tool" "$method" "$WORK/out-$tool-$run"
      times+=("$ELAPSED_NS")
      cpus+=("$CPU_S")
      if [[ $RSS_KIB =~ ^[0-9]+$ ]] && ((RSS_KIB > rss)); then rss=$RSS_KIB; fi
    done
    sorted=$(printf '%s\n' "${times[@]}" | sort -n)
    BEST[$method,$tool]=$(head -n 1 <<<"$sorted")
    MEDIAN[$method,$tool]=$(sed -n "$(( (RUNS + 1) / 2 ))p" <<<"$sorted")
    RSS[$method,$tool]=$rss
    CPU[$method,$tool]=$(printf '%s\n' "${cpus[@]}" | sort -g | sed -n "$(((RUNS + 1) / 2))p")
  done
done

# --------------------------------------------------------------- table
printf '\nExtraction of %d files, %.1f MB uncompressed (MB = 10^6 bytes), %d runs each; all outputs verified.\n' \
  "$FILES" "$(awk -v b="$BYTES" 'BEGIN { print b / 1e6 }')" "$RUNS"
for method in lh5 lh7; do
  printf '%s archive: %.1f MB (%.1f%% of the data)\n' "$method" \
    "$(awk -v b="$(stat -c %s "$WORK/$method.lzh")" 'BEGIN { print b / 1e6 }')" \
    "$(awk -v a="$(stat -c %s "$WORK/$method.lzh")" -v b="$BYTES" 'BEGIN { print 100 * a / b }')"
done
echo "MB/s = uncompressed MB / wall time; 'vs kasumiro' = tool MB/s / kasumiro MB/s (median);"
echo "CPU s = median user + system time, which a busy machine disturbs less than wall time."
echo
line=$(printf '%.0s-' {1..101})
printf '%-6s %-22s %9s %9s %9s %9s %11s %6s %9s\n' method tool "median s" "best s" "MB/s med" \
  "MB/s best" "vs kasumiro" "CPU s" "peak RSS"
echo "$line"
for method in lh5 lh7; do
  base=${MEDIAN[$method,kasumiro]}
  for tool in "${TOOLS[@]}"; do
    med=${MEDIAN[$method,$tool]} best=${BEST[$method,$tool]} rss=${RSS[$method,$tool]}
    cpu=${CPU[$method,$tool]}
    awk -v m="$method" -v t="${LABEL[$tool]}" -v med="$med" -v best="$best" -v base="$base" \
      -v b="$BYTES" -v rss="$rss" -v cpu="$cpu" 'BEGIN {
        r = (rss > 0) ? sprintf("%.1f MiB", rss / 1024) : "-";
        c = (cpu == "-") ? "-" : sprintf("%.2f", cpu);
        printf "%-6s %-22s %9.3f %9.3f %9.1f %9.1f %10.2fx %6s %9s\n", m, t, med / 1e9, best / 1e9,
               b / 1e6 / (med / 1e9), b / 1e6 / (best / 1e9), base / med, c, r
      }'
  done
done
