#!/usr/bin/env bash
# Extraction throughput of the kasumiro runner against bsdtar, 7z and lhasa.
#
# Three corpora, each packed by jlha into one -lh5- and one -lh7- archive:
#   mixed  deterministic text and binary data (SIZE_MIB) in 408 files;
#   real   files found on this machine (REAL_MIB): the largest shared
#          libraries under /usr/lib, then /usr/include and /usr/share/doc;
#   zeros  one member of ZERO_MIB zero bytes (one long run of matches).
# Each archive is put behind the stub (kasumiro a --from) and extracted RUNS
# times by every tool into fresh directories on the same disk; every
# extraction is compared with the source before its time counts. The table shows the
# median wall and CPU (user + system) times and kasumiro's CPU time as a
# fraction of each peer's.
#
# Environment: RUNS (5), SIZE_MIB (200), REAL_MIB (400), ZERO_MIB (1024),
# CORPORA ("mixed real zeros"), BENCH_DIR (parent of the scratch directory;
# default $TMPDIR or /tmp: pick the disk to measure), BENCH_CACHE (a
# directory that keeps the sources and archives between runs; they are
# remade when missing), KASUMIRO (a runner binary to measure instead of
# building the release preset), KASUMIRO_ALT (a second runner to measure
# beside it, e.g. one built with the stub's codec configuration by
# bench/stub_speed.sh), PEERS (the other tools; default "bsdtar 7z lhasa").
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=${RUNS:-5}
SIZE_MIB=${SIZE_MIB:-200}
REAL_MIB=${REAL_MIB:-400}
ZERO_MIB=${ZERO_MIB:-1024}
CORPORA=${CORPORA:-mixed real zeros}
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
# The release kasumiro makes the self-extracting files, also when another
# runner (KASUMIRO) is measured.
if [[ -n ${KASUMIRO:-} ]]; then
  (cd "$REPO" && cmake --build --preset release --target kasumiro >/dev/null) ||
    die "cannot build kasumiro"
else
  (cd "$REPO" && cmake --build --preset release >/dev/null) || die "cannot build the release preset"
  KASUMIRO="$REPO/build/release/kasumiro"
fi
PACKER="$REPO/build/release/kasumiro"
[[ -x "$KASUMIRO" && -x "$PACKER" ]] || die "release binaries missing"

TIME_BIN=/usr/bin/time
[[ -x "$TIME_BIN" ]] || die "/usr/bin/time is needed for the CPU times (package 'time')"

WORK=$(mktemp -d "$PARENT/kasumiro-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
CACHE=${BENCH_CACHE:-$WORK/cache}
mkdir -p "$CACHE"

# ---------------------------------------------------------------- data
# Half text, half binary, in eight large files, plus 10% in 400 small files
# spread over 20 directories. perl's rand is its own drand48, so a fixed
# seed gives the same bytes everywhere.
make_mixed() {
  perl - "$1" "$SIZE_MIB" <<'PERL'
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
}

# Real files: the largest shared libraries (one copy of each inode) up to
# half the budget, then the files of /usr/include and /usr/share/doc in path
# order until the budget is spent. Only regular files whose names every
# extractor keeps as they are (no characters that Windows forbids, no
# trailing dot) are taken.
make_real() {
  local dir=$1 budget=$((REAL_MIB * 1048576))
  mkdir -p "$dir"
  local list="$dir.list"
  find /usr/lib -type f -name '*.so*' -size +1M -printf '%s %i %p\n' 2>/dev/null |
    sort -k1,1nr -k3 >"$list.libs" || true
  find /usr/include /usr/share/doc -type f -printf '%s %p\n' 2>/dev/null | sort -k2 >"$list.docs" || true
  {
    awk -v limit=$((budget / 2)) '!seen[$2]++ { if (sum + $1 > limit) next; sum += $1; print $1, $3 }' \
      "$list.libs"
    cat "$list.docs"
  } >"$list.all"
  awk -v limit="$budget" '$2 ~ /^[A-Za-z0-9._+\/@,=-]+$/ && $2 !~ /\.$/ {
        if (sum + $1 > limit) exit; sum += $1; print $2 }' "$list.all" >"$list"
  while read -r file; do
    mkdir -p "$dir$(dirname "$file")"
    cp "$file" "$dir$file"
  done <"$list"
  rm -f "$list.libs" "$list.docs" "$list.all"
  rm -f "$list"
}

make_zeros() {
  mkdir -p "$1"
  head -c $((ZERO_MIB * 1048576)) /dev/zero >"$1/zeros.bin"
}

corpus_key() {
  case $1 in
    mixed) echo "mixed-$SIZE_MIB" ;;
    real) echo "real-$REAL_MIB" ;;
    zeros) echo "zeros-$ZERO_MIB" ;;
    *) die "unknown corpus $1" ;;
  esac
}

# Source tree and archives of one corpus, made once per cache.
prepare() {
  local corpus=$1 key
  key=$(corpus_key "$corpus")
  local src="$CACHE/$key/src"
  if [[ ! -f "$CACHE/$key/done" ]]; then
    rm -rf "${CACHE:?}/$key"
    mkdir -p "$CACHE/$key"
    echo "making the $corpus corpus and its archives with jlha (this takes a while)..." >&2
    "make_$corpus" "$src"
    local -A pid
    local method
    for method in lh5 lh7; do
      (cd "$src" && exec jlha "c2o${method#lh}" "$CACHE/$key/$method.lzh" $(ls) \
        >"$CACHE/$key/jlha-$method.log" 2>&1) &
      pid[$method]=$!
    done
    for method in lh5 lh7; do
      wait "${pid[$method]}" || die "jlha failed: $(tail -3 "$CACHE/$key/jlha-$method.log")"
      [[ -s "$CACHE/$key/$method.lzh" ]] || die "jlha did not make $method.lzh"
    done
    touch "$CACHE/$key/done"
  fi
  for method in lh5 lh7; do
    "$PACKER" a -q --from "$CACHE/$key/$method.lzh" "$CACHE/$key/$method.exe" ||
      die "kasumiro a --from failed"
  done
}

# -------------------------------------------------------------- timing
# Runs one extraction: tool, archive (without extension), source tree,
# destination. Sets ELAPSED_NS, CPU_S (user + system) and RSS_KIB after
# checking the extracted tree against the source.
extract_once() {
  local tool=$1 archive=$2 src=$3 dest=$4
  local -a cmd
  case $tool in
    kasumiro) cmd=("$KASUMIRO" x -y "$archive.exe" "$dest") ;;
    kasumiro-alt) cmd=("$KASUMIRO_ALT" x -y "$archive.exe" "$dest") ;;
    lhasa) mkdir "$dest"; cmd=(lhasa "xqw=$dest" "$archive.lzh") ;;
    bsdtar) mkdir "$dest"; cmd=(bsdtar -xf "$archive.lzh" -C "$dest") ;;
    7z) cmd=(7z x -y -bd "-o$dest" "$archive.lzh") ;;
  esac
  sync
  local start end
  start=$(date +%s%N)
  "$TIME_BIN" -f '%M %U %S' -o "$WORK/rss" "${cmd[@]}" </dev/null >/dev/null 2>"$WORK/err" ||
    die "$tool failed on $archive: $(cat "$WORK/err")"
  end=$(date +%s%N)
  diff -r -q "$src" "$dest" >"$WORK/diff" || die "$tool extracted $archive wrongly: $(head -5 "$WORK/diff")"
  rm -rf "$dest"
  ELAPSED_NS=$((end - start))
  read -r RSS_KIB user system < <(tail -n 1 "$WORK/rss")
  CPU_S=$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')
}

median() { sort -g | sed -n "$(((RUNS + 1) / 2))p"; }

TOOLS=(kasumiro)
if [[ -n ${KASUMIRO_ALT:-} ]]; then
  [[ -x $KASUMIRO_ALT ]] || die "KASUMIRO_ALT: no program at $KASUMIRO_ALT"
  TOOLS+=(kasumiro-alt)
fi
for peer in ${PEERS-bsdtar 7z lhasa}; do
  if have "$peer"; then TOOLS+=("$peer"); else echo "note: $peer not installed, skipped" >&2; fi
done

declare -A LABEL=([kasumiro]="kasumiro x -y (sfx)" [kasumiro-alt]="KASUMIRO_ALT x -y" [lhasa]="lhasa x" [bsdtar]="bsdtar -xf" [7z]="7z x")
declare -A WALL CPU RSS BYTES FILES

for corpus in $CORPORA; do
  prepare "$corpus"
  key=$(corpus_key "$corpus")
  src="$CACHE/$key/src"
  BYTES[$corpus]=$(find "$src" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
  FILES[$corpus]=$(find "$src" -type f | wc -l)
  for method in lh5 lh7; do
    # Runs interleave the tools, so that a change in the machine's load
    # falls on all of them alike.
    declare -A walls=() cpus=()
    for ((run = 1; run <= RUNS; ++run)); do
      for tool in "${TOOLS[@]}"; do
        extract_once "$tool" "$CACHE/$key/$method" "$src" "$WORK/out-$tool"
        walls[$tool]+="$ELAPSED_NS "
        cpus[$tool]+="$CPU_S "
        if ((RSS_KIB > ${RSS[$corpus,$method,$tool]:-0})); then RSS[$corpus,$method,$tool]=$RSS_KIB; fi
      done
    done
    for tool in "${TOOLS[@]}"; do
      WALL[$corpus,$method,$tool]=$(tr ' ' '\n' <<<"${walls[$tool]}" | grep . | median)
      CPU[$corpus,$method,$tool]=$(tr ' ' '\n' <<<"${cpus[$tool]}" | grep . | median)
    done
    unset walls cpus
  done
done

# --------------------------------------------------------------- table
echo
echo "Median of $RUNS runs per tool; every output verified. CPU s = user + system seconds."
echo "'kasumiro CPU / tool CPU': below 1 means kasumiro needs less CPU time than that tool."
for corpus in $CORPORA; do
  key=$(corpus_key "$corpus")
  echo
  printf '%s: %d files, %.1f MB (10^6 bytes);' "$corpus" "${FILES[$corpus]}" \
    "$(awk -v b="${BYTES[$corpus]}" 'BEGIN { print b / 1e6 }')"
  for method in lh5 lh7; do
    printf ' %s archive %.1f MB' "$method" \
      "$(awk -v b="$(stat -c %s "$CACHE/$key/$method.lzh")" 'BEGIN { print b / 1e6 }')"
  done
  echo
  printf '%-6s %-22s %9s %9s %9s %9s %22s\n' method tool "wall s" "MB/s" "CPU s" "peak RSS" \
    "kasumiro CPU / tool CPU"
  printf '%.0s-' {1..92}
  echo
  for method in lh5 lh7; do
    base=${CPU[$corpus,$method,kasumiro]}
    for tool in "${TOOLS[@]}"; do
      awk -v m="$method" -v t="${LABEL[$tool]}" -v wall="${WALL[$corpus,$method,$tool]}" \
        -v cpu="${CPU[$corpus,$method,$tool]}" -v base="$base" -v b="${BYTES[$corpus]}" \
        -v rss="${RSS[$corpus,$method,$tool]}" -v self="$([[ $tool == kasumiro ]] && echo 1 || echo 0)" 'BEGIN {
          ratio = self ? "" : (cpu > 0 ? sprintf("%.2f", base / cpu) : "-")
          printf "%-6s %-22s %9.3f %9.1f %9.2f %5.1f MiB %22s\n", m, t, wall / 1e9,
                 b / 1e6 / (wall / 1e9), cpu, rss / 1024, ratio
        }'
    done
  done
  if [[ -n ${KASUMIRO_ALT:-} ]]; then
    for method in lh5 lh7; do
      awk -v m="$method" -v alt="${CPU[$corpus,$method,kasumiro-alt]}" -v base="${CPU[$corpus,$method,kasumiro]}" \
        'BEGIN { printf "%-6s KASUMIRO_ALT CPU / kasumiro CPU: %s\n", m, (base > 0 ? sprintf("%.2f", alt / base) : "-") }'
    done
  fi
done
