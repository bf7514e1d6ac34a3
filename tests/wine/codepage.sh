# The stub on other code pages than 932: sourced by run.sh inside run_arch,
# whose variables ($arch, $L, $W, $S, $B, $bin, $title, $broken) and helpers
# (drive, lzh, sfx, shots, begin, finish, bad, ...) it uses.
#
# Wine takes the ANSI code page of a process from the Unix locale in its
# environment when it starts (LC_ALL, then LC_CTYPE, then LANG), not from
# the prefix's registry, which it rewrites to match; a child process
# inherits it. So each scenario runs the driver, and through it the stub,
# with LC_ALL set: ja_JP.UTF-8 gives code page 932, en_US.UTF-8 and
# de_DE.UTF-8 give 1252. The Unix locale must be generated (scripts/setup
# does it): without it Wine cannot name files outside ASCII at all. The
# driver checks the code page it got; the started command reports its own.

# Japanese everywhere: the notice, the title, the prompt, a destination,
# member names (ソ has 0x5C as its second byte), the command's argument. The
# program's own texts follow the user's language: Japanese in ja_JP, English
# (the fallback of every other language) in en_US and de_DE.
cp_tree=$S/cp-tree
mkdir -p "$cp_tree/ソフト"
printf 'table 表\r\n' >"$cp_tree/表.txt"
printf 'in a folder with a 0x5C trail byte\r\n' >"$cp_tree/ソフト/表示.txt"
printf '%s' 'コードページのテストです。続けますか?' | iconv -f UTF-8 -t CP932 >"$cp_tree/!"
cp "$bin/kasumiro-record-args.exe" "$cp_tree/"
touch -d '2001-02-03 04:05:06 UTC' "$cp_tree/表.txt" "$cp_tree/ソフト/表示.txt"
lzh "$S/cp.lzh" o6 "$cp_tree" '!' 表.txt ソフト kasumiro-record-args.exe
printf 'DAMAGE-THIS-MEMBER\r\n' >"$cp_tree/壊れた.txt"
lzh "$S/cp-damaged.lzh" z "$cp_tree" 表.txt 壊れた.txt

cp_scenarios() {
  local locale=$1 acp=$2 tag=${1%.UTF-8}
  if ! locale -a 2>/dev/null | grep -qix "$tag.utf-\?8"; then
    begin "$arch: $locale"
    bad "the locale $locale is not generated (scripts/setup does it)"
    finish
    return
  fi
  local t_label t_extract t_options t_command t_select t_exists t_extracting t_broken font
  if [ "$tag" = ja_JP ]; then
    font="'ＭＳ Ｐゴシック' 9"
    t_label='解凍先ﾌｫﾙﾀﾞ/ﾃﾞｨﾚｸﾄﾘ(&F):' t_extract='解凍(&E)' t_options='ｵﾌﾟｼｮﾝ'
    t_command='ｺﾏﾝﾄﾞ: ' t_select='ﾌｫﾙﾀﾞを選択してください'
    t_exists='すでにﾌｧｲﾙが存在します。上書きしますか?' t_extracting='解凍中: ' t_broken=$broken
  else
    font="Tahoma 8"
    t_label='Extract to &folder:' t_extract='&Extract' t_options='Options' t_command='Command: '
    t_select='Select a folder' t_exists='Overwrite the existing file?'
    t_extracting='Extracting: ' t_broken='Archive is damaged'
  fi
  local dir="$W\\cp-$tag\\展開先" shown="C:\\e2e/$arch/cp-$tag/展開先"
  local command='"%ExtractDir%\kasumiro-record-args.exe" 引数 "beta gamma"'
  local prompt='ﾃｽﾄ用: 既存の表.txt は確認されます'
  # (Wine's folder browser selects a seed folder right below a drive only.)
  mkdir -p "$L/cp-$tag/展開先" "$WINEPREFIX/drive_c/既存"
  printf 'old\r\n' >"$L/cp-$tag/展開先/表.txt"
  sfx "$L/cp-$tag.exe" "$S/cp.lzh" --title "$title" --dir "$dir" --prompt "$prompt" \
    --command "$command"

  begin "$arch: $locale: notice, main dialog, options, browser, overwrite question, command"
  LC_ALL=$locale LANG=$locale KASUMIRO_RECORD="$W\\cp-$tag-record.txt" drive "cp-$tag" <<EOF
acp $acp
start $W\\cp-$tag.exe
wait notice class=#32770 owner=none caption='$title'
text notice 65535 'コードページのテストです。続けますか?'
shot notice '$B\\cp-$tag-notice.bmp'
click notice 6
gone notice
wait main class=#32770 owner=none caption='$title'
text main 1001 '$dir'
text main 1002 '$t_label'
text main 1003 '$prompt'
text main 1 '$t_extract'
fits main $font 1002 1 2 1004 1005
shot main '$B\\cp-$tag-main.bmp'
click main 1005
wait options class=#32770 owner=main caption='$t_options'
text options 1002 '$t_command$command'
fits options $font 1008 1005 1006 1007 1 2
shot options '$B\\cp-$tag-options.bmp'
click options 2
gone options
settext main 1001 'C:\\既存'
click main 1004
wait browser class=#32770 owner=main
hastext browser '$t_select'
click browser 1
gone browser
text main 1001 'C:\\既存'
settext main 1001 '$dir'
click main 1
wait question class=#32770 owner=main caption='$title'
text question 1003 '$shown/表.txt'
contains question 65535 '$t_exists'
fits question $font 6 2 1004 7 65535
text main 1003 '${t_extracting}表.txt'
shot question '$B\\cp-$tag-overwrite.bmp'
click question 6
exit 1
waitfile $W\\cp-$tag-record.txt
EOF
  shots "cp-$tag-notice" "cp-$tag-main" "cp-$tag-options" "cp-$tag-overwrite"
  local out="$L/cp-$tag/展開先"
  same_file "$cp_tree/表.txt" "$out/表.txt"
  same_time "$cp_tree/表.txt" "$out/表.txt"
  same_file "$cp_tree/ソフト/表示.txt" "$out/ソフト/表示.txt"
  [ "$(find "$out" -type f | wc -l)" = 3 ] || bad "other files than the three members were written"
  local record="$L/cp-$tag-record.txt"
  if [ -f "$record" ]; then
    tr -d '\r' <"$record" >"$S/cp-$tag-record.txt"
    grep -qxF "cwd=$W\\cp-$tag\\展開先" "$S/cp-$tag-record.txt" ||
      bad "the command did not run in the destination"
    grep -qxF "acp=$acp" "$S/cp-$tag-record.txt" || bad "the command did not run in code page $acp"
    grep -qxF "arg1=引数" "$S/cp-$tag-record.txt" || bad "the first argument is not 引数"
    grep -qxF "arg2=beta gamma" "$S/cp-$tag-record.txt" || bad "the second argument is not 'beta gamma'"
  else
    bad "the command did not run"
  fi
  finish

  sfx "$L/cp-$tag-damaged.exe" "$S/cp-damaged.lzh" --title '壊れた書庫' --dir "$dir-2"
  damage "$L/cp-$tag-damaged.exe"
  begin "$arch: $locale: a damaged member's error box"
  LC_ALL=$locale LANG=$locale drive "cp-$tag-damaged" <<EOF
acp $acp
start $W\\cp-$tag-damaged.exe
wait main class=#32770 owner=none caption='壊れた書庫'
click main 1
wait error class=#32770 owner=main caption='壊れた書庫'
text error 65535 '"$shown-2/壊れた.txt" $t_broken'
shot error '$B\\cp-$tag-error.bmp'
click error 1
exit 2
EOF
  shots "cp-$tag-error"
  same_file "$cp_tree/表.txt" "$out-2/表.txt"
  absent "$out-2/壊れた.txt"
  finish
}

cp_scenarios ja_JP.UTF-8 932
cp_scenarios en_US.UTF-8 1252
cp_scenarios de_DE.UTF-8 1252

# A user folder with a name that CP932 cannot write (ü): the stub started
# from it finds its own image through the folder's short name.
mkdir -p "$L/Jürgen"
sfx "$L/Jürgen/setup.exe" "$S/cp.lzh" --dir "$W\\cp-short"
begin "$arch: en_US.UTF-8: started from a folder that CP932 cannot name"
LC_ALL=en_US.UTF-8 LANG=en_US.UTF-8 drive cp-short <<EOF
start $W\\Jürgen\\setup.exe
wait notice class=#32770 owner=none
click notice 6
gone notice
wait main class=#32770 owner=none
click main 1
exit 1
EOF
same_file "$cp_tree/ソフト/表示.txt" "$L/cp-short/ソフト/表示.txt"
finish

# The author's face and identity: one language fixed whatever the user's
# (English on a Japanese system, Japanese on a German one), an icon of every
# size (the 256-pixel one PNG-compressed) and version information, written
# into the stub's re-laid resource section; the program runs as before.
convert -size 256x256 xc:'#3060C0' -define icon:auto-resize=256,48,32,16 "$S/author.ico"
sfx "$L/cp-author-en.exe" "$S/cp.lzh" --dir "$W\\cp-author-en" --language en \
  --icon "$S/author.ico" --product 'Ärger Tool' --company 'Käse GmbH' --file-version 1.2.3.4 \
  --description 'Setup für alle' --copyright '© 2024 中文'
sfx "$L/cp-author-ja.exe" "$S/cp.lzh" --dir "$W\\cp-author-ja" --language ja
for face in en ja; do
  if [ $face = en ]; then
    locale=ja_JP.UTF-8 acp=932 label='Extract to &folder:'
  else
    locale=de_DE.UTF-8 acp=1252 label='解凍先ﾌｫﾙﾀﾞ/ﾃﾞｨﾚｸﾄﾘ(&F):'
  fi
  locale -a 2>/dev/null | grep -qix "${locale%.UTF-8}.utf-\?8" || continue
  begin "$arch: $locale: --language $face"
  LC_ALL=$locale LANG=$locale drive "cp-author-$face" <<EOF
acp $acp
start $W\\cp-author-$face.exe
wait notice class=#32770 owner=none
click notice 6
gone notice
wait main class=#32770 owner=none
text main 1002 '$label'
shot main '$B\\cp-author-$face.bmp'
click main 1
exit 1
EOF
  shots "cp-author-$face"
  same_file "$cp_tree/表.txt" "$L/cp-author-$face/表.txt"
  finish
done
