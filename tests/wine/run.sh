#!/usr/bin/env bash
# End-to-end tests of the Windows stub under Wine.
#
# Builds what is needed (host tools, the x86_64 and the i686 stub with the
# test driver), makes self-extracting files from archives written by jlha, and
# drives them through their dialogs with kasumiro-wine-driver under Xvfb in a
# Japanese locale (ANSI code page 932). What they extract is compared with the
# originals from here. The i686 programs run on the 32-bit Wine loader, under
# qemu-i386 where the kernel refuses 32-bit code (scripts/with-i386); the suite
# says why when it cannot run them.
#
# Usage: tests/wine/run.sh [--no-build] [--wine64 PATH] [--arch x86_64|i686]
# Screenshots of the dialogs go to build/wine-artifacts/<arch>/.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$ROOT/build
ARTIFACTS=$BUILD/wine-artifacts
WORK=$BUILD/wine-work

build=1
only_arch=""
WINE64=${KASUMIRO_WINE64:-}
while (($#)); do
  case $1 in
    --no-build) build=0 ;;
    --wine64) WINE64=$2; shift ;;
    --arch) only_arch=$2; shift ;;
    *) echo "usage: $0 [--no-build] [--wine64 PATH] [--arch x86_64|i686]" >&2; exit 2 ;;
  esac
  shift
done
if [ -z "$WINE64" ]; then
  for candidate in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64 || true)"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] && { WINE64=$candidate; break; }
  done
fi
WINE32=/usr/lib/wine/wine
[ -x "$WINE32" ] || WINE32=$(command -v wine || true)

export WINEPREFIX=${KASUMIRO_WINEPREFIX:-$BUILD/wine-prefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8

# ---------------------------------------------------------------------------
# Outside Xvfb: check the tools, build, then run the rest under Xvfb.
if [ -z "${KASUMIRO_UNDER_XVFB:-}" ]; then
  for tool in xvfb-run jlha convert cmake openssl osslsigncode; do
    command -v "$tool" >/dev/null || { echo "wine e2e: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
  done
  [ -n "$WINE64" ] || { echo "wine e2e: wine64 is missing" >&2; exit 1; }
  locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8' ||
    { echo "wine e2e: the locale ja_JP.UTF-8 is not generated (scripts/setup does it)" >&2; exit 1; }

  # 32-bit Wine runs natively or under qemu-i386 in a user namespace; the
  # emulator is fetched on first use. Probed once here.
  WITH_I386=$ROOT/scripts/with-i386
  "$WITH_I386" --install
  run32=0
  archs=(x86_64)
  if why32=$("$WITH_I386" --check); then
    run32=1
    archs+=(i686)
  fi
  if [ "${only_arch:-i686}" = i686 ]; then
    if ((run32)); then echo "wine e2e: i686 runs $why32"; else echo "wine e2e: SKIP i686: $why32"; fi
  fi
  if [ -n "$only_arch" ]; then
    if [[ " ${archs[*]} " != *" $only_arch "* ]]; then
      echo "wine e2e: $only_arch cannot run here" >&2
      # The exit status that ctest counts as skipped.
      exit 77
    fi
    archs=("$only_arch")
  fi

  if ((build)); then
    cd "$ROOT"
    echo "wine e2e: building the host tools and the stubs"
    { cmake --preset release && cmake --build --preset release --target kasumiro-layout kasumiro; } >"$BUILD/wine-build.log" 2>&1 ||
      { cat "$BUILD/wine-build.log"; exit 1; }
    for arch in "${archs[@]}"; do
      { cmake --preset "stub-$arch" && cmake --build --preset "stub-$arch"; } >>"$BUILD/wine-build.log" 2>&1 ||
        { cat "$BUILD/wine-build.log"; exit 1; }
    done
  fi
  for arch in "${archs[@]}"; do
    for f in kasumiro-stub.exe kasumiro-wine-driver.exe kasumiro-record-args.exe kasumiro-probe.dll; do
      [ -f "$BUILD/stub-$arch/$f" ] || { echo "wine e2e: $BUILD/stub-$arch/$f is missing" >&2; exit 1; }
    done
  done
  [ -x "$BUILD/release/kasumiro" ] || { echo "wine e2e: kasumiro is missing" >&2; exit 1; }

  # One run at a time per prefix: the prefix and its wineserver are shared.
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  export KASUMIRO_UNDER_XVFB=1 KASUMIRO_ARCHS="${archs[*]}" WINE64 WINE32
  # Where 32-bit Wine can run, everything from Xvfb on runs where it does (for
  # x86_64 alone too), so that the wineserver, the prefix and every Wine
  # process live in the same namespace and the prefix gets its 32-bit parts.
  wrap=()
  if ((run32)); then wrap=("$WITH_I386"); fi
  exec "${wrap[@]}" xvfb-run -a -s "-screen 0 1024x768x24" bash "$0"
fi

# ---------------------------------------------------------------------------
# Under Xvfb.
read -r -a archs <<<"$KASUMIRO_ARCHS"
KASUMIRO=$BUILD/release/kasumiro
WINESERVER=$(dirname "$WINE64")/wineserver
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)

# The prefix: made once (the first start of Wine takes a while), with the
# Japanese font standing in for the dialogs' font and a virtual desktop, in
# which Wine draws the window frames and captions that the screenshots show.
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p
trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/.kasumiro-ready" ]; then
  echo "wine e2e: preparing the Wine prefix $WINEPREFIX"
  "$WINE64" wineboot -i >/dev/null 2>&1
  reg() { "$WINE64" reg add "$@" /f >/dev/null 2>&1; }
  reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ Ｐゴシック' /t REG_SZ /d IPAPGothic
  reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ ゴシック' /t REG_SZ /d IPAGothic
  reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS UI Gothic' /t REG_SZ /d IPAPGothic
  reg 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default
  reg 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768
  touch "$WINEPREFIX/.kasumiro-ready"
fi
# A prefix made where 32-bit Wine did not run lacks the 32-bit system; a full
# update from here adds it.
if [[ " ${archs[*]} " == *" i686 "* ]] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  echo "wine e2e: adding the 32-bit parts to the Wine prefix $WINEPREFIX"
  rm -f "$WINEPREFIX/.update-timestamp"
  "$WINE64" wineboot -u >/dev/null 2>&1
fi
# The symbols of the caption buttons; this Wine does not find its own copy.
marlett=$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf
if [ ! -f "$marlett" ] && [ -f /usr/share/wine/fonts/marlett.ttf ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$marlett"
fi

# Only the archs run now start afresh: a run of one arch keeps the other's results.
for a in "${archs[@]}"; do rm -rf "${WORK:?}/$a" "${ARTIFACTS:?}/$a" "$WINEPREFIX/drive_c/e2e/$a"; done
mkdir -p "$WORK" "$ARTIFACTS"

# Windows path of a Linux path (through drive Z:).
winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

passed=()
failed=()
current=""
ok=1
begin() { current="$1"; ok=1; echo "== $current"; }
finish() {
  if ((ok)); then passed+=("$current"); echo "   ok"; else failed+=("$current"); echo "   FAILED"; fi
}
bad() { echo "   FAIL: $*"; ok=0; }
same_file() { cmp -s "$1" "$2" || bad "$2 differs from $1"; }
same_time() {
  local a b
  a=$(stat -c %Y "$1") b=$(stat -c %Y "$2" 2>/dev/null || echo none)
  [ "$a" = "$b" ] || bad "$2 has the time $b, not $a"
}
absent() { [ ! -e "$1" ] || bad "$1 exists"; }
has_text() { [ "$(cat "$1" 2>/dev/null)" = "$2" ] || bad "$1 does not hold '$2'"; }

# Runs the driver for the current arch with the script read from stdin.
drive() {
  local name=$1 script="$WORK/$arch/$1.script" loader=$WINE64
  [ "$arch" = i686 ] && loader=$WINE32
  cat >"$script"
  local status=0
  "$loader" "$BUILD/stub-$arch/kasumiro-wine-driver.exe" "$(winpath "$script")" >"$script.log" 2>&1 ||
    status=$?
  grep -v '^wine: Read access denied' "$script.log" | sed 's/^/   /'
  ((status == 0)) || bad "the driver script $name failed"
  return 0
}

# Writes an archive with level-2 headers and Shift-JIS names:
# lzh ARCHIVE OPTIONS DIR MEMBERS...   (OPTIONS: o5, o6, o7 or z)
lzh() {
  local archive=$1 options=$2 dir=$3
  shift 3
  (cd "$dir" && jlha "c2${options}yq" "$archive" "$@" >/dev/null)
}

# sfx OUTPUT ARCHIVE [kasumiro a options]: the archive behind the stub just built
sfx() {
  local out=$1 archive=$2
  shift 2
  "$KASUMIRO" a -q --stub "$BUILD/stub-$arch/kasumiro-stub.exe" "$@" --from "$archive" "$out"
}

# Damages a stored member of a finished file (the packer refuses to wrap a
# damaged archive): its text DAMAGE-THIS-MEMBER gets a lower-case d.
damage() {
  local at
  at=$(grep -obUaF 'DAMAGE-THIS-MEMBER' "$1" | head -1 | cut -d: -f1)
  printf 'd' | dd of="$1" bs=1 seek="$at" conv=notrunc status=none
}

shot() { convert "$WORK/$arch/$1.bmp" "$ARTIFACTS/$arch/$1.png" || bad "no screenshot $1"; }

# Converts the screenshots taken by a driver run.
shots() { local s; for s in "$@"; do shot "$s"; done; }

# ---------------------------------------------------------------------------
run_arch() {
  arch=$1
  local L=$WINEPREFIX/drive_c/e2e/$arch W="C:\\e2e\\$arch" S="$WORK/$arch" bin="$BUILD/stub-$arch"
  local B
  B=$(winpath "$S")
  mkdir -p "$L" "$S" "$ARTIFACTS/$arch"
  local title='かすみろ 展開テスト'
  local full_path='ﾌﾙﾊﾟｽ名で指定してください'
  local default_title='Kasumiro  Ver 1.9.9.0'
  local broken='書庫が壊れています'
  local writeError='書き込みｴﾗｰ'

  # The sample tree: text, binary, an empty file, a folder, a Shift-JIS name
  # whose second byte is 0x5C, every file with a time of its own.
  local T=$S/tree
  mkdir -p "$T/sub"
  printf 'Kasumiro end-to-end sample.\r\n' >"$T/readme.txt"
  printf 'table 表 with a 0x5C trail byte\r\n' >"$T/表.txt"
  head -c 300000 /dev/urandom >"$T/sub/data.bin"
  : >"$T/empty.txt"
  seq 1 250000 >"$T/big.txt"
  printf '%s' 'このアーカイブはテスト用です。解凍を続けますか?' | iconv -f UTF-8 -t CP932 >"$T/!"
  touch -d '2003-04-05 06:07:09 UTC' "$T/readme.txt"
  touch -d '1999-12-31 23:59:59 UTC' "$T/表.txt"
  touch -d '2010-10-10 10:10:11 UTC' "$T/sub/data.bin"
  touch -d '2020-02-29 12:00:01 UTC' "$T/empty.txt"
  touch -d '2015-06-07 08:09:13 UTC' "$T/big.txt"
  lzh "$S/tree.lzh" o7 "$T" '!' readme.txt 表.txt sub empty.txt big.txt
  sfx "$S/tree.exe" "$S/tree.lzh" --title "$title" --dir "$W\\notice"
  cp "$S/tree.exe" "$L/tree.exe"
  sfx "$L/tree-no.exe" "$S/tree.lzh" --title "$title" --dir "$W\\notice-no"

  begin "$arch: notice answered Yes, then Extract"
  drive notice-yes <<EOF
cwd $W
start $W\\tree.exe
wait notice class=#32770 owner=none caption='$title'
text notice 65535 'このアーカイブはテスト用です。解凍を続けますか?'
exists notice 6 yes
exists notice 7 yes
exists notice 1 no
shot notice '$B\\notice-box.bmp'
click notice 6
gone notice
wait main class=#32770 owner=none caption='$title'
text main 1001 '$W\\notice'
text main 1002 '解凍先ﾌｫﾙﾀﾞ/ﾃﾞｨﾚｸﾄﾘ(&F):'
enabled main 1 yes
shot main '$B\\main.bmp'
click main 1
exit 1
EOF
  shots notice-box main
  local f
  for f in readme.txt 表.txt sub/data.bin empty.txt big.txt; do
    same_file "$T/$f" "$L/notice/$f"
    same_time "$T/$f" "$L/notice/$f"
  done
  absent "$L/notice/!"
  [ "$(find "$L/notice" -type f | wc -l)" = 5 ] || bad "other files than the five members were written"
  finish

  # The same tree packed by our own packer onto the stub under test.
  printf '%s' 'このアーカイブはテスト用です。解凍を続けますか?' >"$S/notice-utf8.txt"
  "$KASUMIRO" a -q --stub "$bin/kasumiro-stub.exe" --title "$title" --dir "$W\\packed" \
    --notice "$S/notice-utf8.txt" -C "$T" "$L/packed.exe" readme.txt 表.txt sub empty.txt big.txt
  begin "$arch: a file made by kasumiro a extracts as it went in"
  drive packed <<EOF
start $W\\packed.exe
wait notice class=#32770 owner=none caption='$title'
text notice 65535 'このアーカイブはテスト用です。解凍を続けますか?'
click notice 6
gone notice
wait main class=#32770 owner=none caption='$title'
click main 1
exit 1
EOF
  for f in readme.txt 表.txt sub/data.bin empty.txt big.txt; do
    same_file "$T/$f" "$L/packed/$f"
    same_time "$T/$f" "$L/packed/$f"
  done
  absent "$L/packed/!"
  finish

  begin "$arch: notice answered No"
  drive notice-no <<EOF
start $W\\tree-no.exe
wait notice class=#32770 owner=none caption='$title'
click notice 7
exit 0
EOF
  absent "$L/notice-no"
  finish

  # The directory box, the full-path rule, Browse, the options without a
  # command and Cancel.
  lzh "$S/plain.lzh" o5 "$T" readme.txt
  sfx "$L/plain.exe" "$S/plain.lzh" --dir '%SystemDir%\Kasumiro Test'
  # Longer than the box's 255 characters: refused, never cut to a sibling.
  local long_dir
  long_dir=$(printf 'd%.0s' {1..300})
  begin "$arch: directory box, full-path rule, Browse, options without a command, Cancel"
  drive directory <<EOF
start $W\\plain.exe
wait main class=#32770 owner=none caption='$default_title'
text main 1001 '"C:\\windows\\system32\\Kasumiro Test"'
text main 1003 ''
settext main 1001 'relative\\dir'
click main 1
wait error class=#32770 owner=main
text error caption '$default_title'
text error 65535 '$full_path'
exists error 1 yes
shot error '$B\\error-full-path.bmp'
click error 1
gone error
text main 1001 'relative\\dir'
enabled main 1 yes
enabled main 1001 yes
settext main 1001 'C:dir'
key main enter
wait error2 class=#32770 owner=main
text error2 65535 '$full_path'
key error2 enter
gone error2
settext main 1001 '  ""'
click main 1
wait error3 class=#32770 owner=main
text error3 65535 '$full_path'
click error3 1
gone error3
settext main 1001 '"C:\\never closed'
click main 1
wait error4 class=#32770 owner=main
text error4 65535 '$full_path'
click error4 1
gone error4
settext main 1001 'C:\\$long_dir'
click main 1
wait error5 class=#32770 owner=main
text error5 65535 '$full_path'
click error5 1
gone error5
settext main 1001 '"C:\\windows"'
click main 1004
wait browser class=#32770 owner=main
hastext browser 'ﾌｫﾙﾀﾞを選択してください'
shot browser '$B\\folder-browser.bmp'
click browser 1
gone browser
text main 1001 'C:\\windows'
settext main 1001 'C:\\Program Files'
click main 1004
wait browser2 class=#32770 owner=main
click browser2 1
gone browser2
text main 1001 '"C:\\Program Files"'
click main 1004
wait browser3 class=#32770 owner=main
click browser3 2
gone browser3
text main 1001 '"C:\\Program Files"'
click main 1005
wait options class=#32770 owner=main caption='ｵﾌﾟｼｮﾝ'
checked options 1007 no
enabled options 1007 no
enabled options 1002 no
text options 1002 ''
click options 1
gone options
click main 2
exit 0
EOF
  shots error-full-path folder-browser
  absent "$WINEPREFIX/drive_c/windows/system32/Kasumiro Test"
  absent "$L/relative"
  absent "$WINEPREFIX/drive_c/never closed"
  absent "$WINEPREFIX/drive_c/$(printf 'd%.0s' {1..255})"
  finish

  # The special folders come from the shell (here Wine's documents folder
  # below C:\users), not from the fallback texts.
  sfx "$L/documents.exe" "$S/plain.lzh" --dir '%MyDocuments%\Kasumiro'
  begin "$arch: the documents folder in the configured directory"
  drive documents <<EOF
start $W\\documents.exe
wait main class=#32770 owner=none
contains main 1001 'C:\\users\\'
contains main 1001 '\\Documents\\Kasumiro'
key main escape
exit 0
EOF
  finish

  begin "$arch: the command-line tail replaces the configured directory"
  drive tail <<EOF
start $W\\plain.exe C:\\from the tail
wait main class=#32770 owner=none
text main 1001 '"C:\\from the tail"'
key main escape
exit 0
EOF
  absent "$WINEPREFIX/drive_c/from the tail"
  finish

  # The options dialog with a configured command, and what OK and Cancel do.
  local P=$S/post
  mkdir -p "$P"
  cp "$bin/kasumiro-record-args.exe" "$P/"
  printf 'new a\r\n' >"$P/a.txt"
  mkdir -p "$P/docs"
  printf 'in a folder\r\n' >"$P/docs/b.txt"
  lzh "$S/post.lzh" o5 "$P" kasumiro-record-args.exe a.txt docs
  local command='"%ExtractDir%\kasumiro-record-args.exe" alpha "beta gamma"'
  sfx "$L/options.exe" "$S/post.lzh" --title "$title" --dir "$W\\options" --attributes \
    --command "$command"
  mkdir -p "$L/options"
  printf 'old a\r\n' >"$L/options/a.txt"
  begin "$arch: options dialog: the boxes show the state, Cancel keeps it, OK changes it"
  KASUMIRO_RECORD="$W\\options-record.txt" drive options <<EOF
start $W\\options.exe
wait main class=#32770 owner=none caption='$title'
click main 1005
wait options class=#32770 owner=main caption='ｵﾌﾟｼｮﾝ'
checked options 1005 yes
checked options 1006 no
checked options 1007 yes
checked options 1008 no
enabled options 1007 yes
text options 1002 'ｺﾏﾝﾄﾞ: $command'
shot options '$B\\options.bmp'
click options 1005
click options 1006
click options 1007
click options 1008
sync options
checked options 1005 no
checked options 1006 yes
checked options 1007 no
checked options 1008 yes
click options 2
gone options
click main 1005
wait options2 class=#32770 owner=main caption='ｵﾌﾟｼｮﾝ'
checked options2 1005 yes
checked options2 1006 no
checked options2 1007 yes
checked options2 1008 no
click options2 1006
click options2 1007
click options2 1008
sync options2
key options2 enter
gone options2
click main 1005
wait options3 class=#32770 owner=main caption='ｵﾌﾟｼｮﾝ'
checked options3 1005 yes
checked options3 1006 yes
checked options3 1007 no
checked options3 1008 yes
key options3 escape
gone options3
click main 1
exit 1
noprocess kasumiro-record-args.exe
EOF
  shots options
  # Overwriting without asking was switched on: a.txt was replaced without a
  # question; folder names were dropped; auto-run was switched off: the
  # command did not run.
  same_file "$P/a.txt" "$L/options/a.txt"
  same_file "$P/docs/b.txt" "$L/options/b.txt"
  absent "$L/options/docs"
  absent "$L/options-record.txt"
  finish

  # The post-extraction command: started in the destination with its
  # arguments, once the extraction succeeded.
  sfx "$L/post.exe" "$S/post.lzh" --dir "$W\\post dir" --command "$command"
  begin "$arch: the post-extraction command runs in the destination with its arguments"
  KASUMIRO_RECORD="$W\\post-record.txt" drive post <<EOF
start $W\\post.exe
wait main class=#32770 owner=none
text main 1001 '"$W\\post dir"'
click main 1
exit 1
waitfile $W\\post-record.txt
EOF
  same_file "$P/a.txt" "$L/post dir/a.txt"
  same_file "$P/docs/b.txt" "$L/post dir/docs/b.txt"
  local record=$L/post-record.txt
  if [ -f "$record" ]; then
    tr -d '\r' <"$record" >"$S/post-record.txt"
    grep -qxF "cwd=$W\\post dir" "$S/post-record.txt" || bad "the command did not run in the destination"
    grep -qxF "argc=2" "$S/post-record.txt" || bad "the command did not get two arguments"
    grep -qxF "arg1=alpha" "$S/post-record.txt" || bad "the first argument is not alpha"
    grep -qxF "arg2=beta gamma" "$S/post-record.txt" || bad "the second argument is not 'beta gamma'"
    grep -qF "$W\\post dir\\kasumiro-record-args.exe" "$S/post-record.txt" ||
      bad "the command line does not name the extracted program"
    sed 's/^/   record: /' "$S/post-record.txt"
  else
    bad "the command did not run"
  fi
  finish

  # The destination is the user's: its dots and blanks stay as typed, and a
  # blank in it cannot change which program the command starts (the command
  # is split before %ExtractDir% is expanded).
  sfx "$L/kept.exe" "$S/post.lzh" --dir "$W\\up\\..\\kept dir" \
    --command '%ExtractDir%\kasumiro-record-args.exe alpha'
  begin "$arch: the destination is used as typed and the command keeps its program"
  KASUMIRO_RECORD="$W\\kept-record.txt" drive kept <<EOF
start $W\\kept.exe
wait main class=#32770 owner=none
text main 1001 '"$W\\up\\..\\kept dir"'
click main 1
exit 1
waitfile $W\\kept-record.txt
EOF
  same_file "$P/a.txt" "$L/kept dir/a.txt"
  same_file "$P/docs/b.txt" "$L/kept dir/docs/b.txt"
  absent "$L/up/_."
  if [ -f "$L/kept-record.txt" ]; then
    tr -d '\r' <"$L/kept-record.txt" >"$S/kept-record.txt"
    grep -qxF "argc=1" "$S/kept-record.txt" || bad "the command did not get one argument"
    grep -qxF "arg1=alpha" "$S/kept-record.txt" || bad "the argument is not alpha"
    grep -qF "kept dir\\kasumiro-record-args.exe" "$S/kept-record.txt" ||
      bad "the command line does not name the extracted program"
  else
    bad "the command did not run"
  fi
  finish

  # A damaged member: its box names its output path under the configured
  # title; nothing after it is written and the command does not run.
  local D=$S/damaged
  mkdir -p "$D"
  cp "$bin/kasumiro-record-args.exe" "$D/"
  printf 'first\r\n' >"$D/a.txt"
  printf 'DAMAGE-THIS-MEMBER second\r\n' >"$D/b.txt"
  printf 'third\r\n' >"$D/c.txt"
  lzh "$S/damaged.lzh" z "$D" kasumiro-record-args.exe a.txt b.txt c.txt
  sfx "$L/damaged.exe" "$S/damaged.lzh" --title 'Damaged 壊れ' --dir "$W\\damaged" --command "$command"
  damage "$L/damaged.exe"
  begin "$arch: a damaged member is reported with its path and ends the extraction"
  KASUMIRO_RECORD="$W\\damaged-record.txt" drive damaged <<EOF
start $W\\damaged.exe
wait main class=#32770 owner=none caption='Damaged 壊れ'
click main 1
wait error class=#32770 owner=main
text error caption 'Damaged 壊れ'
text error 65535 '"C:\\e2e/$arch/damaged/b.txt" $broken'
exists error 1 yes
exists error 6 no
shot error '$B\\error-damaged.bmp'
click error 1
exit 2
noprocess kasumiro-record-args.exe
EOF
  shots error-damaged
  same_file "$D/a.txt" "$L/damaged/a.txt"
  same_file "$D/kasumiro-record-args.exe" "$L/damaged/kasumiro-record-args.exe"
  absent "$L/damaged/b.txt"
  absent "$L/damaged/c.txt"
  absent "$L/damaged-record.txt"
  finish

  # Faults of the machine: an image cut short (the Scan pass finds it before
  # anything is written) and an output file that another program holds open
  # (the write-error box names it; earlier files stay, nothing after it).
  local T=$S/truncated
  mkdir -p "$T"
  printf 'kept?\r\n' >"$T/a.txt"
  seq 1 20000 >"$T/b.txt"
  lzh "$S/truncated.lzh" o5 "$T" a.txt b.txt
  sfx "$L/truncated.exe" "$S/truncated.lzh" --title 'Truncated' --dir "$W\\truncated"
  truncate -s -2000 "$L/truncated.exe"
  begin "$arch: an image cut short is reported as a broken archive before anything is written"
  drive truncated <<EOF
start $W\\truncated.exe
wait main class=#32770 owner=none caption='Truncated'
click main 1
wait error class=#32770 owner=main
text error caption 'Truncated'
contains error 65535 'truncated.exe" $broken'
click error 1
exit 2
EOF
  absent "$L/truncated"
  finish

  local K=$S/locked
  mkdir -p "$K" "$L/locked"
  printf 'first\r\n' >"$K/a.txt"
  printf 'second\r\n' >"$K/b.txt"
  printf 'third\r\n' >"$K/c.txt"
  printf 'held by another program\r\n' >"$L/locked/b.txt"
  lzh "$S/locked.lzh" o5 "$K" a.txt b.txt c.txt
  sfx "$L/locked.exe" "$S/locked.lzh" --title 'Locked' --dir "$W\\locked" --overwrite
  begin "$arch: an output file held open elsewhere gives the write error naming it"
  drive locked <<EOF
lock $W\\locked\\b.txt
start $W\\locked.exe
wait main class=#32770 owner=none caption='Locked'
click main 1
wait error class=#32770 owner=main
text error caption 'Locked'
text error 65535 '"C:\\e2e/$arch/locked/b.txt" $writeError'
click error 1
exit 2
EOF
  same_file "$K/a.txt" "$L/locked/a.txt"
  has_text "$L/locked/b.txt" "$(printf 'held by another program\r')"
  absent "$L/locked/c.txt"
  finish

  # The overwrite question: Yes, No, Overwrite all.
  local O=$S/overwrite
  mkdir -p "$O"
  for f in a b c d; do printf 'new %s\r\n' "$f" >"$O/$f.txt"; done
  lzh "$S/overwrite.lzh" o6 "$O" a.txt b.txt c.txt d.txt
  sfx "$L/overwrite.exe" "$S/overwrite.lzh" --title "$title" --dir "$W\\overwrite"
  sfx "$L/overwrite-cancel.exe" "$S/overwrite.lzh" --title "$title" --dir "$W\\overwrite-cancel"
  mkdir -p "$L/overwrite" "$L/overwrite-cancel"
  for f in a b c d; do
    printf 'old %s\r\n' "$f" >"$L/overwrite/$f.txt"
    printf 'old %s\r\n' "$f" >"$L/overwrite-cancel/$f.txt"
  done
  begin "$arch: overwrite dialog: Yes, No, Overwrite all"
  drive overwrite <<EOF
start $W\\overwrite.exe
wait main class=#32770 owner=none
click main 1
wait question class=#32770 owner=main caption='$title'
text question 1003 'C:\\e2e/$arch/overwrite/a.txt'
contains question 65535 'すでにﾌｧｲﾙが存在します。上書きしますか?'
enabled main caption no
shot question '$B\\overwrite.bmp'
key question enter
gone question
wait question2 class=#32770 owner=main
text question2 1003 'C:\\e2e/$arch/overwrite/b.txt'
click question2 7
gone question2
wait question3 class=#32770 owner=main
text question3 1003 'C:\\e2e/$arch/overwrite/c.txt'
click question3 1004
exit 1
EOF
  shots overwrite
  same_file "$O/a.txt" "$L/overwrite/a.txt"
  has_text "$L/overwrite/b.txt" "old b"$'\r'
  same_file "$O/c.txt" "$L/overwrite/c.txt"
  same_file "$O/d.txt" "$L/overwrite/d.txt"
  finish

  begin "$arch: overwrite dialog: Cancel ends the extraction"
  drive overwrite-cancel <<EOF
start $W\\overwrite-cancel.exe
wait main class=#32770 owner=none
click main 1
wait question class=#32770 owner=main
text question 1003 'C:\\e2e/$arch/overwrite-cancel/a.txt'
key question escape
exit 2
EOF
  for f in a b c d; do has_text "$L/overwrite-cancel/$f.txt" "old $f"$'\r'; done
  finish

  # Overwriting without asking replaces read-only files.
  sfx "$L/readonly.exe" "$S/overwrite.lzh" --dir "$W\\readonly" --overwrite
  mkdir -p "$L/readonly"
  printf 'old a\r\n' >"$L/readonly/a.txt"
  printf 'old b\r\n' >"$L/readonly/b.txt"
  chmod 444 "$L/readonly/a.txt"
  begin "$arch: overwriting without asking replaces a read-only file"
  drive readonly <<EOF
start $W\\readonly.exe
wait main class=#32770 owner=none
text main 1003 'ｵﾌﾟｼｮﾝを変更しなければ解凍先の同名ﾌｧｲﾙは上書きされます'
click main 1005
wait options class=#32770 owner=main
checked options 1006 yes
checked options 1005 no
click options 2
gone options
click main 1
exit 1
EOF
  for f in a b c d; do same_file "$O/$f.txt" "$L/readonly/$f.txt"; done
  # Wine maps the read-only attribute to the write permission bits, which do
  # not stop root from writing: the replaced file must be writable again.
  (($(stat -c %#a "$L/readonly/a.txt") & 0200)) || bad "the replaced a.txt is still read-only"
  finish

  # Progress: the overwrite question for the last member (empty, after
  # everything else has been written) shows the bar at 100.
  local G=$S/large
  mkdir -p "$G"
  head -c 1500000 /dev/urandom >"$G/random.bin"
  seq 1 600000 >"$G/numbers.txt"
  : >"$G/zz-last.txt"
  lzh "$S/large.lzh" o5 "$G" random.bin numbers.txt zz-last.txt
  sfx "$L/large.exe" "$S/large.lzh" --title "$title" --dir "$W\\large"
  mkdir -p "$L/large"
  printf 'old\r\n' >"$L/large/zz-last.txt"
  begin "$arch: progress reaches 100 on a large archive"
  drive progress <<EOF
start $W\\large.exe
wait main class=#32770 owner=none
progress main 1000 0
click main 1
wait question class=#32770 owner=main
text question 1003 'C:\\e2e/$arch/large/zz-last.txt'
progress main 1000 100
text main 1003 '解凍中: zz-last.txt'
enabled main 1 no
enabled main 1001 no
enabled main 1004 no
enabled main 1005 no
enabled main 2 yes
move question 0 0
shot main '$B\\main-progress.bmp'
click question 6
exit 1
EOF
  shots main-progress
  for f in random.bin numbers.txt zz-last.txt; do same_file "$G/$f" "$L/large/$f"; done
  finish

  # Cancel while a large member is decoded: the Cancel press is queued behind
  # the answer to the overwrite question for that member, so the extraction
  # meets it at its first progress update inside the member.
  printf 'small first\r\n' >"$G/a-first.txt"
  lzh "$S/cancel.lzh" o5 "$G" a-first.txt numbers.txt random.bin
  sfx "$L/cancel.exe" "$S/cancel.lzh" --dir "$W\\cancel"
  mkdir -p "$L/cancel"
  printf 'old numbers\r\n' >"$L/cancel/numbers.txt"
  begin "$arch: Cancel during a large extraction deletes only the partial file"
  drive cancel <<EOF
start $W\\cancel.exe
wait main class=#32770 owner=none
click main 1
wait question class=#32770 owner=main
text question 1003 'C:\\e2e/$arch/cancel/numbers.txt'
click question 6
click main 2
exit 2
EOF
  same_file "$G/a-first.txt" "$L/cancel/a-first.txt"
  absent "$L/cancel/numbers.txt"
  absent "$L/cancel/random.bin"
  finish

  # Unattended runs: /S shows nothing at all (the notice counts as accepted)
  # and keeps existing files unless /O; /D= takes the rest of the line.
  local tree=$S/tree
  sfx "$L/silent.exe" "$S/tree.lzh" --title "$title" --dir "$W\\silent"
  mkdir -p "$L/silent" "$L/silent o"
  printf 'old\r\n' >"$L/silent/readme.txt"
  printf 'old\r\n' >"$L/silent o/readme.txt"
  begin "$arch: /S extracts without a window and keeps existing files; /O replaces them"
  drive silent <<EOF
start $W\\silent.exe /S
exit 0 windows=none
start $W\\silent.exe /s /D=$W\\silent dest\\sub
exit 0 windows=none
start $W\\silent.exe /O /S /D=$W\\silent o
exit 0 windows=none
EOF
  has_text "$L/silent/readme.txt" "old"$'\r'
  for f in 表.txt sub/data.bin empty.txt big.txt; do same_file "$tree/$f" "$L/silent/$f"; done
  for f in readme.txt 表.txt sub/data.bin empty.txt big.txt; do
    same_file "$tree/$f" "$L/silent dest/sub/$f"
    same_file "$tree/$f" "$L/silent o/$f"
  done
  absent "$L/silent/!"
  finish

  begin "$arch: /S on a damaged archive ends with 2 and no window; the command does not run"
  KASUMIRO_RECORD="$W\\damaged-silent-record.txt" drive damaged-silent <<EOF
start $W\\damaged.exe /S /D=$W\\damaged silent
exit 2 windows=none
noprocess kasumiro-record-args.exe
EOF
  same_file "$D/a.txt" "$L/damaged silent/a.txt"
  absent "$L/damaged silent/b.txt"
  absent "$L/damaged-silent-record.txt"
  finish

  begin "$arch: /? lists the switches, a bad switch too; /D= fills the folder box"
  drive switches <<EOF
start $W\\plain.exe /?
wait help class=#32770 owner=none caption='$default_title'
contains help 65535 '/S'
contains help 65535 '/D=ﾊﾟｽ'
shot help '$B\\switches.bmp'
key help enter
exit 0
start $W\\plain.exe /X
wait bad class=#32770 owner=none caption='$default_title'
contains bad 65535 '/O'
key bad enter
exit 2
start $W\\plain.exe /S /X
exit 2 windows=none
start $W\\plain.exe /d=C:\\from a switch
wait main class=#32770 owner=none
text main 1001 '"C:\\from a switch"'
key main escape
exit 0
EOF
  shots switches
  absent "$WINEPREFIX/drive_c/from a switch"
  finish

  # --wait: the program ends with the command's exit code once the command
  # has ended (it writes its record a second and a half after its start).
  sfx "$L/wait.exe" "$S/post.lzh" --dir "$W\\wait" --wait --command "$command"
  begin "$arch: --wait ends with the command's exit code, after the command"
  KASUMIRO_RECORD="$W\\wait-record.txt" KASUMIRO_SLEEP=1500 KASUMIRO_EXIT_CODE=7 drive wait <<EOF
start $W\\wait.exe
wait main class=#32770 owner=none
click main 1
exit 7
EOF
  # Written before the program ended: nothing here waits for it.
  [ -f "$L/wait-record.txt" ] || bad "the program ended before its command"
  rm -f "$L/wait-record.txt"
  KASUMIRO_RECORD="$W\\wait-record.txt" KASUMIRO_SLEEP=1500 KASUMIRO_EXIT_CODE=9 drive wait-silent <<EOF
start $W\\wait.exe /S /D=$W\\wait silent
exit 9 windows=none
EOF
  [ -f "$L/wait-record.txt" ] || bad "the silent program ended before its command"
  same_file "$P/docs/b.txt" "$L/wait silent/docs/b.txt"
  finish

  # --temp: a folder of the program's own under %TEMP%, the command started
  # there and waited for, its exit code passed on, the folder gone; with the
  # progress dialog and silent.
  sfx "$L/temp.exe" "$S/post.lzh" --title "$title" --temp \
    --command '"%ExtractDir%\kasumiro-record-args.exe" in-temp'
  local mode code ran there folders
  for mode in dialog silent; do
    begin "$arch: --temp ($mode) runs the command in a folder of its own and removes it"
    rm -f "$L/temp-record.txt"
    folders=$(find "$WINEPREFIX/drive_c/users" -maxdepth 6 -type d -name 'kasumiro-*' | sort)
    if [ $mode = dialog ]; then
      # The progress dialog starts by itself (and may be gone before a
      # driver could see it): nothing to answer.
      code=5
      KASUMIRO_RECORD="$W\\temp-record.txt" KASUMIRO_EXIT_CODE=$code drive temp-$mode <<EOF
start $W\\temp.exe
exit $code
EOF
    else
      code=6
      KASUMIRO_RECORD="$W\\temp-record.txt" KASUMIRO_EXIT_CODE=$code drive temp-$mode <<EOF
start $W\\temp.exe /S
exit $code windows=none
EOF
    fi
    if [ -f "$L/temp-record.txt" ]; then
      tr -d '\r' <"$L/temp-record.txt" >"$S/temp-record.txt"
      grep -qx 'arg1=in-temp' "$S/temp-record.txt" || bad "the command did not get its argument"
      ran=$(sed -n 's/^cwd=//p' "$S/temp-record.txt")
      case $ran in
        [Cc]:\\*\\kasumiro-????????) ;;
        *) bad "the command ran in $ran, not in a folder of the program's own" ;;
      esac
      # The same folder seen from here: Wine's C: is drive_c.
      there=${ran#?:\\}
      there=$WINEPREFIX/drive_c/${there//\\//}
      [ -d "$(dirname "$there")" ] || bad "the temporary folder's parent $(dirname "$there") is not there"
      absent "$there"
      sed 's/^/   record: /' "$S/temp-record.txt"
    else
      bad "the command did not run"
    fi
    [ "$(find "$WINEPREFIX/drive_c/users" -maxdepth 6 -type d -name 'kasumiro-*' | sort)" = "$folders" ] ||
      bad "a temporary folder was left behind"
    finish
  done

  # The same stub in other code pages; its manifest; links planted in the
  # destination and the command's files held until it starts.
  . "$ROOT/tests/wine/codepage.sh"
  . "$ROOT/tests/wine/manifest.sh"
  . "$ROOT/tests/wine/safety.sh"
  # DLLs planted beside the program; a signed file; another base.
  . "$ROOT/tests/wine/planted_dll.sh"
  . "$ROOT/tests/wine/signed.sh"
  . "$ROOT/tests/wine/relocated.sh"
  # Names and texts beyond CP932.
  . "$ROOT/tests/wine/unicode.sh"
}

for a in "${archs[@]}"; do
  started=$SECONDS
  run_arch "$a"
  echo "wine e2e: $a took $((SECONDS - started)) s"
done

echo
echo "wine e2e: ${#passed[@]} passed, ${#failed[@]} failed; screenshots in $ARTIFACTS"
for f in "${failed[@]}"; do echo "  failed: $f"; done
((${#failed[@]} == 0))
