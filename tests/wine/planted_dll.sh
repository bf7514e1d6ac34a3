# DLLs planted beside a downloaded self-extracting file: sourced by run.sh
# inside run_arch (see codepage.sh). A probe DLL under the names of system
# DLLs that programs load after they start lies in the program's folder, its
# working directory, and Wine is told to prefer such copies to its own
# (n,b); the program runs through its dialog, the folder browser, an
# extraction and its command. No probe may have been loaded: the stub
# narrows the DLL search to the system folder before anything loads a DLL,
# and loads comctl32, shell32 and ole32 itself only after that.
#
# Two names are left out because Wine loads them by routes of its own that
# say nothing about Windows: version.dll is a static import of Wine's
# user32.dll (not of Windows'), and Wine 8 takes no notice of the load
# configuration's DependentLoadFlags, which covers such dependencies on
# Windows 10 1607 and later; msimg32.dll is a delay import of Wine's
# uxtheme.dll, and Wine 8 resolves its own DLLs' delay imports on the
# search path the process started with, whatever SetDefaultDllDirectories
# said, where Windows uses the narrowed one.
planted_names="uxtheme dwmapi cryptbase propsys userenv profapi shfolder cryptsp"
planted_dir=$L/planted
mkdir -p "$planted_dir"
for name in $planted_names; do cp "$bin/kasumiro-probe.dll" "$planted_dir/$name.dll"; done
sfx "$planted_dir/setup.exe" "$S/post.lzh" --dir "$W\\planted-out" --command "$command"
begin "$arch: DLLs planted beside the program and in its working directory are not loaded"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;${planted_names// /,}=n,b" \
  KASUMIRO_RECORD="$W\\planted-record.txt" drive planted <<EOF2
cwd $W\\planted
start $W\\planted\\setup.exe
wait main class=#32770 owner=none
click main 1004
wait browser class=#32770 owner=main
click browser 2
gone browser
click main 1
exit 1
waitfile $W\\planted-record.txt
EOF2
for name in $planted_names; do absent "$planted_dir/$name.dll.loaded"; done
same_file "$P/a.txt" "$L/planted-out/a.txt"
finish
