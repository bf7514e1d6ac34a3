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
# exists, a link included.
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
