# The stub away from the base it was linked for: sourced by run.sh inside
# run_arch (see codepage.sh). Wine maps a program only at its preferred base
# (it does not randomise, and it refuses to start a program whose base it
# cannot give rather than move it), so the driver moves the stub as a
# loader would: every address that the base relocations list moves along
# with the image. A relocation table that missed an address would leave it
# pointing at the old base, where nothing is mapped any more.
moved_base=10000000
begin "$arch: moved by its base relocations, the stub runs at another base"
drive rebase <<EOF2
rebase $(winpath "$bin/kasumiro-stub.exe") $B\\moved-stub.exe $moved_base
EOF2
"$KASUMIRO" a -q --stub "$S/moved-stub.exe" --dir "$W\\moved" --from "$S/plain.lzh" "$L/moved.exe" ||
  bad "kasumiro a did not take the moved stub"
drive moved <<EOF2
start $W\\moved.exe
wait main class=#32770 owner=none
base $moved_base
click main 1
exit 1
EOF2
same_file "$S/tree/readme.txt" "$L/moved/readme.txt"
finish
