# What another program can do to an extraction: sourced by run.sh inside
# run_arch (see codepage.sh for the variables and helpers it uses).
#
# Links planted in the destination. Wine 8 makes no junctions or symbolic
# links of its own (CreateSymbolicLinkW does nothing, FSCTL_SET_REPARSE_POINT
# is refused), but it shows a Unix symbolic link to a folder inside its
# drive as a folder with FILE_ATTRIBUTE_REPARSE_POINT, which is what the
# stub looks for on Windows (junctions, symbolic links and mount points all
# carry it). A Unix link to a file it shows as a plain file, and it follows
# a dangling one when asked to create a file: the stub creates with
# CREATE_NEW and FILE_FLAG_OPEN_REPARSE_POINT, which refuses any name that
# exists, a link included. Wine keeps no access lists on files, so of the
# command's holds only the sharing can be seen here.
links_tree=$S/links
mkdir -p "$links_tree/lnk" "$S/outside"
printf 'first\r\n' >"$links_tree/a.txt"
printf 'through the link?\r\n' >"$links_tree/lnk/evil.txt"
lzh "$S/links.lzh" o5 "$links_tree" a.txt lnk/evil.txt
lzh "$S/dangling.lzh" o5 "$links_tree" a.txt

for case in "link on the way:links:lnk/evil.txt" "dangling link in the file's place:dangling:a.txt"; do
  IFS=: read -r what name member <<<"$case"
  sfx "$L/$name.exe" "$S/$name.lzh" --title Links --dir "$W\\$name"
  mkdir -p "$L/$name"
  if [ "$name" = links ]; then
    ln -sfn "$S/outside" "$L/$name/lnk"
  else
    ln -sfn "$S/outside/created.txt" "$L/$name/a.txt"
  fi
  begin "$arch: a $what inside the destination is a write error, never followed"
  drive "$name" <<EOF
start $W\\$name.exe
wait main class=#32770 owner=none caption='Links'
click main 1
wait error class=#32770 owner=main
text error 65535 '"C:\\e2e/$arch/$name/$member" $writeError'
click error 1
exit 2
EOF
  [ -z "$(ls -A "$S/outside")" ] || bad "written outside the destination: $(ls -A "$S/outside")"
  [ "$name" = dangling ] || same_file "$links_tree/a.txt" "$L/$name/a.txt"
  finish
done

# The command's program and the file it names are held from their creation
# until the command has started: while the overwrite question for the last
# member is open, another program can neither rename nor delete them (a
# member the command does not name it can).
hold_tree=$S/hold
mkdir -p "$hold_tree"
cp "$bin/kasumiro-record-args.exe" "$hold_tree/"
printf 'named\r\n' >"$hold_tree/named.txt"
printf 'other\r\n' >"$hold_tree/other.txt"
printf 'last\r\n' >"$hold_tree/zz.txt"
lzh "$S/hold.lzh" o5 "$hold_tree" kasumiro-record-args.exe named.txt other.txt zz.txt
sfx "$L/hold.exe" "$S/hold.lzh" --dir "$W\\hold" \
  --command '"%ExtractDir%\kasumiro-record-args.exe" "%ExtractDir%\named.txt"'
mkdir -p "$L/hold"
printf 'old\r\n' >"$L/hold/zz.txt"
begin "$arch: the command's files cannot be swapped before it starts"
KASUMIRO_RECORD="$W\\hold-record.txt" drive hold <<EOF
start $W\\hold.exe
wait main class=#32770 owner=none
click main 1
wait question class=#32770 owner=main
held $W\\hold\\kasumiro-record-args.exe yes
held $W\\hold\\named.txt yes
held $W\\hold\\other.txt no
click question 6
exit 1
waitfile $W\\hold-record.txt
EOF
for f in kasumiro-record-args.exe named.txt other.txt zz.txt; do same_file "$hold_tree/$f" "$L/hold/$f"; done
if [ -f "$L/hold-record.txt" ]; then
  tr -d '\r' <"$L/hold-record.txt" | grep -qxF "arg1=$W\\hold\\named.txt" ||
    bad "the command did not get the named file"
else
  bad "the command did not run"
fi
finish
