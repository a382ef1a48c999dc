#!/usr/bin/env bash
# Each source folder includes only its own folder and the folders below it, so
# the picture commonbase < hardware < protocols < core < dialogs < flashtools <
# automation can be trusted when reading the code.
set -euo pipefail
cd "${KAVREL_SOURCE_DIR:-$(dirname "$0")/../..}"
layers=(commonbase hardware protocols core dialogs flashtools automation)
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done
bad=0
for folder in "${layers[@]}"; do
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$text")
    if (( ${rank[$target]:--1} > ${rank[$folder]} )); then echo "$file:$line: $folder includes the higher folder $target: $text"; bad=1; fi
  done < <(grep -HnE '^#include "[a-z]+/' "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true)
done
exit $bad
