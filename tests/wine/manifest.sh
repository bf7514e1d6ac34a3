# The stub's application manifest under Wine: sourced by run.sh inside
# run_arch (see codepage.sh). Wine's loader reports a manifest it cannot
# parse on its actctx debug channel; neither the stub's own manifest nor the
# one rewritten by --admin may be reported, and both files run.
sfx "$L/admin.exe" "$S/plain.lzh" --dir "$W\\admin" --admin
begin "$arch: the manifest is accepted, also as rewritten by --admin"
WINEDEBUG=-all,err+actctx,warn+actctx,fixme+actctx drive manifest <<EOF2
start $W\\plain.exe
wait main class=#32770 owner=none
key main escape
exit 0
start $W\\admin.exe
wait main class=#32770 owner=none
click main 1
exit 1
EOF2
! grep actctx "$WORK/$arch/manifest.script.log" || bad "Wine did not take a manifest"
same_file "$S/tree/readme.txt" "$L/admin/readme.txt"
finish
