#!/bin/sh
# One scenario's part of the guest's serial log: shown, and its runner's verdict as the result.
#   check_guest.sh LOG NAME
set -eu
log=$1 name=$2
part=$(tr -d '\r' <"$log" | sed -n "/^KTEST-BEGIN $name\$/,/^KTEST-END $name rc=/p")
if [ -z "$part" ]; then
  echo "the guest did not run $name; the log ends:"
  tail -n 20 "$log"
  exit 1
fi
echo "$part"
echo "$part" | tail -n 1 | grep -q "^KTEST-END $name rc=0\$"
