#!/usr/bin/env bash
# Fails when the exe imports a DLL or a function that the checked-in allowlist does not name,
# so that a change which would keep the program from loading on an older Windows is seen.
#   usage: check_imports.sh EXE ALLOWLIST     (OBJDUMP overrides i686-w64-mingw32-objdump)
# The allowlist has one import per line, "DLL FUNCTION" (DLL names compared in upper case);
# "#" starts a comment.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 EXE ALLOWLIST" >&2
  exit 2
fi
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

list_imports() {
  "$objdump" -p "$1" | awk '
    /^\tDLL Name:/ { dll = toupper($3); next }
    /^[ \t]*$/ { dll = ""; next }
    dll != "" && $1 ~ /^[0-9a-fA-F]+$/ && NF >= 3 { print dll, $NF }
  ' | LC_ALL=C sort -u
}

actual=$(list_imports "$1")
if [ -z "$actual" ]; then
  echo "check_imports: no imports read from $1" >&2
  exit 1
fi
allowed=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$2" | awk '{ print toupper($1), $2 }' | LC_ALL=C sort -u)
unlisted=$(LC_ALL=C comm -23 <(echo "$actual") <(echo "$allowed"))
count=$(echo "$actual" | wc -l)
if [ -n "$unlisted" ]; then
  echo "check_imports: $1 imports what $2 does not allow:"
  echo "$unlisted" | sed 's/^/  /'
  exit 1
fi
echo "check_imports: all $count imports of $(basename "$1") are on the allowlist"
