#!/usr/bin/env bash
# Each source folder includes only its own folder and the folders below it, so
# the picture commonbase < hardware < protocols < core < dialogs < flashtools <
# automation can be trusted when reading the code.
set -euo pipefail
cd "${KAVREL_SOURCE_DIR:-$(dirname "$0")/../..}"
layers=(commonbase hardware protocols core dialogs flashtools automation)
rank() { local i; for i in "${!layers[@]}"; do [[ ${layers[$i]} == "$1" ]] && { echo "$i"; return; }; done; echo -1; }
bad=0
for folder in "${layers[@]}"; do
  [[ -d $folder ]] || continue
  mine=$(rank "$folder")
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$text")
    theirs=$(rank "$target")
    if (( theirs > mine )); then
      echo "$file:$line: $folder includes the higher folder $target: $text"
      bad=1
    fi
  done < <(grep -HnE '^#include "[a-z]+/' "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true)
done
exit $bad
