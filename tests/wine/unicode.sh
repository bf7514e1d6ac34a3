# Names and texts beyond CP932: sourced by run.sh inside run_arch, whose
# variables ($arch, $L, $W, $S, $bin, $title) and helpers (drive, begin,
# finish, bad, same_file, same_time, ...) it uses.
#
# A tree that only Unicode can name, packed by kasumiro a (names in records
# 0x44/0x45 beside CP932 fallbacks, the notice in UTF-8), extracted by the
# stub into a destination typed in its box that CP932 cannot name either, in
# a Western and in the Japanese code page: every name comes back exact.
uni_tree=$S/uni-tree
uni_names=(Résumé.txt Ärger.txt _rger.txt 中文简体.txt 한국어.txt 〜.txt ～.txt 中文目录/한.txt 中文目录/a.txt)
mkdir -p "$uni_tree/中文目录"
for n in "${uni_names[@]}"; do printf '%s\r\n' "$n" >"$uni_tree/$n"; done
touch -d '2012-03-04 05:06:07 UTC' "$uni_tree/한국어.txt" "$uni_tree/中文目录/한.txt"
uni_notice='Bitte lesen: Ärger 〜 한국어'
printf '%s' "$uni_notice" >"$S/uni-notice.txt"
# The title too is beyond CP932: the stub shows the exact one, not the
# block's rendition.
uni_title='Ünïcödé Setup – 한국어'
"$KASUMIRO" a -q --stub "$bin/kasumiro-stub.exe" --title "$uni_title" --notice "$S/uni-notice.txt" \
  -C "$uni_tree" "$L/unicode.exe" Résumé.txt Ärger.txt _rger.txt 中文简体.txt 한국어.txt 〜.txt ～.txt 中文目录

uni_scenario() {
  local locale=$1 acp=$2 tag=${1%.UTF-8}
  local dest="$W\\uni-$tag\\목적지 〜"
  begin "$arch: $locale: names beyond CP932 come back exact, into a destination beyond it"
  LC_ALL=$locale LANG=$locale drive "uni-$tag" <<EOF
acp $acp
start $W\\unicode.exe
wait notice class=#32770 owner=none caption='$uni_title'
text notice 65535 '$uni_notice'
click notice 6
gone notice
wait main class=#32770 owner=none caption='$uni_title'
settext main 1001 '$dest'
click main 1
exit 1
EOF
  local out="$L/uni-$tag/목적지 〜" n
  for n in "${uni_names[@]}"; do same_file "$uni_tree/$n" "$out/$n"; done
  same_time "$uni_tree/한국어.txt" "$out/한국어.txt"
  same_time "$uni_tree/中文目录/한.txt" "$out/中文目录/한.txt"
  [ "$(find "$out" -type f | wc -l)" = "${#uni_names[@]}" ] || bad "other files than the members were written"
  finish
}

uni_scenario en_US.UTF-8 1252
uni_scenario ja_JP.UTF-8 932
