#!/usr/bin/env bash
# Extraction speed of the Windows stub, the program users run, against the
# native runner on the same file.
#
# Part 1, under Wine: one large member (the twelve largest shared libraries
# of this machine concatenated, cut to LIBS_MIB), packed by `kasumiro a`
# with -lh7- and stored (-lh0-), and a one-file archive of a few bytes. The
# stub is driven through its dialog by the Wine test driver, which clocks
# from pressing Extract to the end of the process. The one-file archive's
# time is Wine's fixed cost (starting the extraction, ending the process);
# taken off the large member's time it leaves what the stub spends on the
# data, which is set against the runner's wall time (`kasumiro x -y`) on the
# same self-extracting file. Also: the runner's CPU time next to that of a
# native runner built with the stub's codec configuration.
#
# Part 2, natively: the stub's codec configuration (the codec and the
# output sink compiled with the stub's options, -Os) in a runner of its own,
# against the release runner, on the corpora of bench/extract_throughput.sh
# (which this part runs with PEERS empty and that runner as KASUMIRO_ALT).
#
# Every extraction is compared with its source before its time counts; runs
# take turns between the programs; the medians are printed.
#
# Environment: RUNS (5), ARCH (x86_64 or i686; i686 runs through
# scripts/with-i386, which may mean an emulator: its times then say little),
# LIBS_MIB (420), PARTS ("wine native"), STUB (a stub file to measure
# instead of the one built from this tree, e.g. an older one; the test
# driver still comes from this tree's build), BENCH_DIR (parent of the scratch
# directory; default /dev/shm, a tmpfs), and for part 2 the knobs of
# extract_throughput.sh (SIZE_MIB, REAL_MIB, ZERO_MIB, CORPORA, BENCH_CACHE).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$REPO/build
RUNS=${RUNS:-5}
ARCH=${ARCH:-x86_64}
LIBS_MIB=${LIBS_MIB:-420}
PARTS=${PARTS:-wine native}
PARENT=${BENCH_DIR:-/dev/shm}
WINE64=${WINE64:-/usr/lib/wine/wine64}
WINE32=${WINE32:-/usr/lib/wine/wine}

die() {
  echo "stub_speed: $*" >&2
  exit 1
}

# The runner built with the stub's codec configuration (part 1 and 2).
STUB_CODEC=$BUILD/stub-codec/kasumiro
build_stub_codec() {
  [[ -f $BUILD/stub-codec/build.ninja ]] ||
    cmake -S "$REPO" -B "$BUILD/stub-codec" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DKASUMIRO_TESTS=OFF -DKASUMIRO_EMBED_STUBS=OFF -DKASUMIRO_STUB_CODEC=ON >/dev/null ||
    die "cannot configure build/stub-codec"
  cmake --build "$BUILD/stub-codec" --target kasumiro >/dev/null || die "cannot build build/stub-codec"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print NR ? v[int((NR + 1) / 2)] : "-" }'; }

# ------------------------------------------------------------------ part 1
# Under Xvfb (the script runs itself there): the measurements.
if [[ -n ${STUB_SPEED_UNDER_XVFB:-} ]]; then
  WORK=$STUB_SPEED_WORK
  KASUMIRO=$BUILD/release/kasumiro
  loader=$WINE64
  [[ $ARCH == i686 ]] && loader=$WINE32
  driver=$BUILD/stub-$ARCH/kasumiro-wine-driver.exe
  winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }
  mkdir -p "$WINEPREFIX"
  # A server that is up already (another run in this prefix) is used as it is.
  "$(dirname "$WINE64")/wineserver" -p 2>/dev/null || true
  trap '"$(dirname "$WINE64")/wineserver" -k >/dev/null 2>&1 || true' EXIT
  if [[ ! -d $WINEPREFIX/drive_c ]]; then
    echo "stub_speed: making the Wine prefix $WINEPREFIX" >&2
    "$WINE64" wineboot -i >/dev/null 2>&1
  fi
  # Windows in Wine's virtual desktop, as tests/wine/run.sh has them: without
  # it (Xvfb has no window manager) the end of every process takes about
  # two seconds more, which would drown the fixed cost in noise.
  for key in 'HKCU\Software\Wine\Explorer /v Desktop /t REG_SZ /d Default' \
    'HKCU\Software\Wine\Explorer\Desktops /v Default /t REG_SZ /d 1024x768'; do
    # shellcheck disable=SC2086
    "$WINE64" reg add $key /f >/dev/null 2>&1
  done

  # stub_once NAME: extracts NAME.exe by pressing Extract; sets MS to the
  # milliseconds from the press to the end of the process.
  stub_once() {
    local name=$1 out=$WORK/out-$1
    rm -rf "$out"
    cat >"$WORK/$name.script" <<EOF
start $(winpath "$WORK/$name.exe")
wait main class=#32770 owner=none timeout=120
clock
click main 1
exit 1 timeout=900
clock
EOF
    "$loader" "$driver" "$(winpath "$WORK/$name.script")" >"$WORK/$name.log" 2>&1 ||
      die "the stub failed on $name.exe: $(grep -a FAIL -A1 "$WORK/$name.log" | tr -d '\r')"
    MS=$(tr -d '\r' <"$WORK/$name.log" | awk '$1 == "clock" { t[++n] = $2 } END { printf "%.0f", t[2] - t[1] }')
    cmp -s "$WORK/src/$name.bin" "$out/$name.bin" || die "the stub extracted $name.exe wrongly"
    rm -rf "$out"
  }
  # runner_once NAME PROGRAM: wall milliseconds in MS, CPU seconds in CPU.
  runner_once() {
    local name=$1 program=$2 out=$WORK/native-$1 start end user system
    rm -rf "$out"
    start=$(date +%s%N)
    /usr/bin/time -f '%U %S' -o "$WORK/time" "$program" x -y "$WORK/$name.exe" "$out" >/dev/null 2>&1 ||
      die "$program x failed on $name.exe"
    end=$(date +%s%N)
    cmp -s "$WORK/src/$name.bin" "$out/$name.bin" || die "$program extracted $name.exe wrongly"
    rm -rf "$out"
    MS=$(((end - start) / 1000000))
    read -r user system <"$WORK/time"
    CPU=$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')
  }

  # One warm-up each: the first start of Wine in a prefix takes long.
  stub_once one
  declare -A S=() N=() C=()
  for ((run = 1; run <= RUNS; ++run)); do
    for name in one lh0 lh7; do
      stub_once "$name"
      S[$name]+="$MS "
    done
    runner_once lh7 "$KASUMIRO"
    N[runner]+="$MS "
    C[runner]+="$CPU "
    runner_once lh7 "$STUB_CODEC"
    C[stubcodec]+="$CPU "
  done
  m() { tr ' ' '\n' <<<"$1" | grep . | median; }
  one=$(m "${S[one]}") lh0=$(m "${S[lh0]}") lh7=$(m "${S[lh7]}") runner=$(m "${N[runner]}")
  cpu_runner=$(m "${C[runner]}") cpu_stubcodec=$(m "${C[stubcodec]}")
  awk -v one="$one" -v lh0="$lh0" -v lh7="$lh7" -v runner="$runner" -v runs="$RUNS" \
    -v arch="$ARCH" -v cr="$cpu_runner" -v cs="$cpu_stubcodec" -v bytes="$(stat -c %s "$WORK/src/lh7.bin")" \
    -v packed="$(stat -c %s "$WORK/lh7.exe")" 'BEGIN {
      printf "\nPart 1: one member of %.1f MB (10^6 bytes), -lh7- file %.1f MB; median of %d runs\n",
             bytes / 1e6, packed / 1e6, runs
      printf "%-52s %9s\n", "", "wall s"
      printf "%-52s %9.2f\n", "stub (" arch ") under Wine, one-file archive (fixed cost)", one / 1000
      printf "%-52s %9.2f  (%.2f less the fixed cost)\n", "stub under Wine, stored (-lh0-)", lh0 / 1000, (lh0 - one) / 1000
      printf "%-52s %9.2f  (%.2f less the fixed cost)\n", "stub under Wine, -lh7-", lh7 / 1000, (lh7 - one) / 1000
      printf "%-52s %9.2f\n", "runner, kasumiro x -y, same -lh7- file", runner / 1000
      printf "stub less fixed cost / runner (wall):   %.2f\n", (lh7 - one) / runner
      printf "\n%-52s %9s\n", "natively, same -lh7- file", "CPU s"
      printf "%-52s %9.2f\n", "runner", cr
      printf "%-52s %9.2f\n", "runner with the stub'\''s codec configuration", cs
      printf "stub codec CPU / runner CPU:            %.2f\n", (cr > 0 ? cs / cr : 0)
    }'
  exit 0
fi

have() { command -v "$1" >/dev/null 2>&1; }
[[ -x /usr/bin/time ]] || die "/usr/bin/time is needed (package 'time')"

# ------------------------------------------------------------------ build
cd "$REPO"
{ [[ -f $BUILD/release/build.ninja ]] || cmake --preset release; } >/dev/null || die "cannot configure release"
cmake --build --preset release --target kasumiro kasumiro-layout >/dev/null || die "cannot build release"
build_stub_codec

if [[ " $PARTS " == *" wine "* ]]; then
  have xvfb-run || die "xvfb-run is needed"
  [[ -x $WINE64 ]] || die "wine64 is needed"
  { cmake --preset "stub-$ARCH" && cmake --build --preset "stub-$ARCH"; } >/dev/null ||
    die "cannot build the $ARCH stub"

  WORK=$(mktemp -d "$PARENT/kasumiro-stub-speed.XXXXXX")
  trap 'rm -rf "$WORK"' EXIT
  mkdir -p "$WORK/src"
  # The corpus: the twelve largest shared libraries (one copy of each
  # inode), concatenated and cut to LIBS_MIB.
  echo "stub_speed: the corpus (the twelve largest shared libraries, $LIBS_MIB MiB at most):" >&2
  find /usr/lib -type f -name '*.so*' -size +1M -printf '%s %i %p\n' 2>/dev/null |
    sort -k1,1nr -k3 | awk '!seen[$2]++ && n++ < 12' | cut -d' ' -f3- >"$WORK/libs.list" || true
  sed 's/^/  /' "$WORK/libs.list" >&2
  # (cat ends on a broken pipe once head has its bytes.)
  { xargs -d '\n' cat <"$WORK/libs.list" 2>/dev/null || true; } | head -c $((LIBS_MIB * 1048576)) \
    >"$WORK/src/lh7.bin"
  ln "$WORK/src/lh7.bin" "$WORK/src/lh0.bin"
  printf 'one\r\n' >"$WORK/src/one.bin"
  kasumiro=$BUILD/release/kasumiro
  stub=${STUB:-$BUILD/stub-$ARCH/kasumiro-stub.exe}
  for name in one lh0 lh7; do
    method=$name
    [[ $name == one ]] && method=lh7
    echo "stub_speed: packing $name.exe" >&2
    "$kasumiro" a -q --stub "$stub" --method "$method" --dir "Z:${WORK//\//\\}\\out-$name" \
      -C "$WORK/src" "$WORK/$name.exe" "$name.bin" || die "kasumiro a failed"
  done

  export WINEPREFIX=${KASUMIRO_WINEPREFIX:-$BUILD/wine-prefix}
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  wrap=()
  [[ $ARCH == i686 ]] && wrap=("$REPO/scripts/with-i386")
  STUB_SPEED_UNDER_XVFB=1 STUB_SPEED_WORK=$WORK RUNS=$RUNS ARCH=$ARCH WINE64=$WINE64 WINE32=$WINE32 \
    "${wrap[@]}" xvfb-run -a -s "-screen 0 1024x768x24" bash "$REPO/bench/stub_speed.sh"
  exec 9>&-
fi

# ------------------------------------------------------------------ part 2
if [[ " $PARTS " == *" native "* ]]; then
  echo
  echo "Part 2: the stub's codec configuration natively (kasumiro-alt) against the runner"
  PEERS="" KASUMIRO_ALT=$STUB_CODEC RUNS=$RUNS "$REPO/bench/extract_throughput.sh"
fi
