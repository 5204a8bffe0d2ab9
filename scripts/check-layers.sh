#!/bin/bash
# Arrows point one way: each folder of the program includes only itself and
# the folders it may use, and only the web module, the operator's tool, the
# entry, the fuzz targets and the tests include the web module.
# Usage: scripts/check-layers.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
declare -A may_use=(
  [platform]=""
  [text]="platform"
  [filter]=""
  [imaging]="filter"
  [frontend]="platform"
  [credentials]="platform text"
  [mail]="platform text"
  [records]="credentials mail text platform"
  [pages]="records credentials text platform"
  [member]="pages records credentials mail frontend imaging filter text platform"
  [admin]="member pages records credentials mail imaging filter text platform"
  [bench]="imaging filter text platform"
)
faults=0
for folder in "${!may_use[@]}"; do
  [ -d "$folder" ] || { echo "no folder $folder"; faults=$((faults + 1)); continue; }
  while IFS=: read -r file used; do
    case " $folder ${may_use[$folder]} " in
      *" $used "*) ;;
      *) echo "$file includes $used/, above or beside $folder/"; faults=$((faults + 1)) ;;
    esac
  done < <(grep -REo '^#include "[a-z]+/' "$folder" --include='*.cpp' --include='*.h' |
           sed -E 's|^([^:]*):#include "([a-z]+)/$|\1:\2|' | sort -u)
done
# A folder of the program not listed above has no place in the order yet.
for dir in */CMakeLists.txt; do
  folder=${dir%/CMakeLists.txt}
  case $folder in tests|fuzz|cmake|build*|obj-*) continue ;; esac
  [ -n "${may_use[$folder]+set}" ] || { echo "$folder/ has no place in the order"; faults=$((faults + 1)); }
done
if [ "$faults" -gt 0 ]; then
  echo "$faults include(s) against the order"
  exit 1
fi
echo "every include points down"
