#!/usr/bin/env bash
# Fails when a file under src/ includes a folder above its own, or anything of the simulated
# PC. The floors, top to bottom: run, update, discovery, device, console, base, platform.
#   usage: tools/check_layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
floors=(platform base console device discovery update run)
floor() {
  local i
  for i in "${!floors[@]}"; do [ "${floors[$i]}" = "$1" ] && { echo "$i"; return; }; done
  echo -1
}
status=0
while IFS= read -r line; do
  file=${line%%:*}
  target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$line")
  own=$(cut -d/ -f2 <<<"$file")
  used=${target%%/*}
  [ "$used" = "$target" ] && continue  # a header beside the file
  if [ "$(floor "$used")" -lt 0 ]; then
    echo "$file includes $target, which is not in src/" >&2
    status=1
  elif [ "$(floor "$used")" -gt "$(floor "$own")" ]; then
    echo "$file ($own) includes $target from the floor above ($used)" >&2
    status=1
  fi
done < <(grep -rn --include='*.cpp' --include='*.h' '^#include "' src | sed -E 's/^([^:]+):[0-9]+:/\1:/')
[ $status -eq 0 ] && echo "check_layers: every include under src/ points down"
exit $status
