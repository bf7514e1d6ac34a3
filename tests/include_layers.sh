#!/bin/sh
# Every quoted include of src/ points to the folder's own layer or one below
# it. From the bottom: the codec (lzh) knows nothing else; the seams
# (platform, then ui) know only the operating system and each other's
# lower one; the core above the codec (paths, startup, extract) uses the
# seams; the Windows program (stub) and the host tools (tools) are on top,
# and neither uses the other. Generated files (no folder) are allowed.
src=${1:?usage: include_layers.sh SRC_DIR}
status=0
check() {
  folder=$1
  shift
  allowed="$folder $*"
  for file in $(find "$src/$folder" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' -o -name '*.rc' \)); do
    grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/' "$file" |
      sed -E 's/^([0-9]+):[^"]*"([^/"]*)\/.*/\1 \2/' |
      while read -r line target; do
        case " $allowed " in
          *" $target "*) ;;
          *) echo "$file:$line: $folder includes $target, which is not below it" ;;
        esac
      done
  done
}
out=$(
  check lzh
  check platform
  check ui platform
  check paths platform
  check startup paths platform ui
  check extract startup paths platform ui lzh
  check stub extract startup paths platform ui lzh
  check tools extract startup paths platform ui lzh
)
if [ -n "$out" ]; then
  echo "$out"
  status=1
fi
exit $status
