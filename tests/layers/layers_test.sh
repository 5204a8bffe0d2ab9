#!/bin/bash
# The order check passes on the tree as it is, and fails on each include
# planted against the order, in a copy of the tree made of links.
# Usage: tests/layers/layers_test.sh SOURCE_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
check=$src/scripts/check-layers.sh
"$check" "$src" || { echo "FAIL: the tree itself"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
faults=0
# folder that includes, folder it must not include
while read -r folder above; do
  rm -rf "$scratch/tree"
  mkdir "$scratch/tree"
  for d in "$src"/*/CMakeLists.txt; do
    d=${d%/CMakeLists.txt}
    case ${d##*/} in build*|obj-*|tests) continue ;; esac
    cp -rs "$d" "$scratch/tree/"
  done
  printf '#include "%s/X.h"\n' "$above" > "$scratch/tree/$folder/Planted.cpp"
  if "$check" "$scratch/tree" > "$scratch/out" 2>&1 || ! grep -q "$folder/Planted.cpp includes $above/" "$scratch/out"; then
    echo "FAIL: $folder/ including $above/ passed the check"; faults=$((faults + 1))
  fi
done <<'ROWS'
platform text
text frontend
filter platform
frontend member
credentials records
mail credentials
records pages
pages member
member admin
admin fuzz
ROWS
# A new folder of the program must be given its place first.
rm -rf "$scratch/tree/admin/Planted.cpp"
mkdir "$scratch/tree/newfolder" && touch "$scratch/tree/newfolder/CMakeLists.txt"
if "$check" "$scratch/tree" > "$scratch/out" 2>&1 || ! grep -q "newfolder/ has no place" "$scratch/out"; then
  echo "FAIL: a folder without a place in the order passed the check"; faults=$((faults + 1))
fi
[ "$faults" -eq 0 ] && echo "ok: every planted include and folder was caught"
exit $((faults > 0))
