#!/usr/bin/env bash
# The Windows build under wine, in one throwaway 32-bit prefix, with its message boxes on a
# virtual display answered like a user would (focus the box titled VELMOR, press Return):
#   1. smoke test, Windows XP mode, no drives: banner, message 28, exit code 1;
#   2. Japanese (LC_ALL=ja_JP.UTF-8, OEM code page 932): message 28 in Shift-JIS bytes;
#   3. ASPI end to end, Windows 98 mode: the test WNASPI32.DLL with one virtual drive is
#      updated from 1.21 to 1.22, and the drive's flash is compared with the package.
# Standard output is compared byte for byte: wine's crash reports go to standard output with
# exit codes that can look fine.
#
# usage: run_wine.sh WIN_BUILD_DIR PACKAGE_TOOL
#   WIN_BUILD_DIR  holds odd-fwupdate.exe and WNASPI32.DLL (the cross build)
#   PACKAGE_TOOL   the host's win32_aspi_package, which writes the drive's package
# ODD_WINE_SCREENSHOT=FILE.png keeps a picture of each run's first box as FILE-RUN.png
# (needs ImageMagick's import).
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 WIN_BUILD_DIR PACKAGE_TOOL" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
packager=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
exe=$build/odd-fwupdate.exe
dll=$build/WNASPI32.DLL
for f in "$exe" "$dll" "$packager"; do
  [ -f "$f" ] || { echo "run_wine: missing $f" >&2; exit 2; }
done

work=$(mktemp -d /tmp/odd-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win32 WINEDEBUG=-all
# The language comes only from what a run sets: no locale of the caller's reaches wine.
unset WINEDLLOVERRIDES LANG LANGUAGE $(env | sed -n 's/^\(LC_[A-Z_]*\)=.*/\1/p')
export HOME=${HOME:-$work}
xvfb_pid=
answerer_pid=
failures=0
passes=0

cleanup() {
  [ -n "$answerer_pid" ] && kill "$answerer_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  if [ "$failures" -eq 0 ]; then rm -rf "$work"; else echo "run_wine: files kept in $work"; fi
}
trap cleanup EXIT

pass() {
  echo "ok: $*"
  passes=$((passes + 1))
}

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# ---- the virtual display -------------------------------------------------------------
displayfile=$work/display
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$displayfile" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$displayfile" ] && break; sleep 0.1; done
[ -s "$displayfile" ] || { echo "run_wine: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$displayfile")"

# ---- the prefix: created once, one persistent wineserver for all runs ------------------
start=$SECONDS
# The server first, so that it is the persistent one; mono and gecko are not offered.
mkdir -p "$WINEPREFIX"
wineserver -p
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >"$work/wineboot.log" 2>&1
echo "wine prefix ready in $((SECONDS - start)) s"
app=$WINEPREFIX/drive_c/odd
mkdir -p "$app"
cp "$exe" "$app/"

# Answers every box titled VELMOR with Return (the box's default button: OK, or Yes) and
# logs its window id; the first box is photographed when asked for.
answer_boxes() {
  local log=$1 shot=${2:-} id
  : >"$log"
  while :; do
    for id in $(xdotool search --name '^VELMOR$' 2>/dev/null); do
      if [ -n "$shot" ] && command -v import >/dev/null; then
        sleep 0.5
        import -window root "$shot" 2>/dev/null || true
        shot=
      fi
      xdotool windowfocus --sync "$id" 2>/dev/null || continue
      xdotool key Return
      echo "$id" >>"$log"
      # Until it is gone, so that no key lands in the next box.
      for _ in $(seq 50); do
        xdotool search --name '^VELMOR$' 2>/dev/null | grep -qx "$id" || break
        sleep 0.1
      done
    done
    sleep 0.2
  done
}

# run_exe NAME TIMEOUT [ENV=VALUE...]: runs the exe in $app with the boxes answered; stdout
# in $work/NAME.out, the exit code in $work/NAME.rc, the answered boxes in $work/NAME.boxes.
run_exe() {
  local name=$1 limit=$2 rc=0
  shift 2
  answer_boxes "$work/$name.boxes" "${ODD_WINE_SCREENSHOT:+${ODD_WINE_SCREENSHOT%.png}-$name.png}" &
  answerer_pid=$!
  (cd "$app" && env "$@" timeout "$limit" wine odd-fwupdate.exe >"$work/$name.out" 2>"$work/$name.err") || rc=$?
  kill "$answerer_pid" 2>/dev/null || true
  wait "$answerer_pid" 2>/dev/null || true
  answerer_pid=
  echo "$rc" >"$work/$name.rc"
}

# expect_bytes NAME EXPECTED_FILE
expect_bytes() {
  if cmp -s "$2" "$work/$1.out"; then
    pass "$1: standard output as expected ($(wc -c <"$2") bytes)"
  else
    fail "$1: standard output differs"
    echo "--- expected"; od -c "$2" | head -20
    echo "--- got"; od -c "$work/$1.out" | head -40
  fi
}

expect_rc() {
  local got
  got=$(cat "$work/$1.rc")
  if [ "$got" = "$2" ]; then pass "$1: exit code $got"; else fail "$1: exit code $got, expected $2"; fi
}

expect_boxes() {
  local got
  got=$(wc -l <"$work/$1.boxes")
  if [ "$got" = "$2" ]; then pass "$1: $got box(es) answered"; else fail "$1: $got box(es) answered, expected $2"; fi
}

# A console program's text mode: every LF leaves as CR LF.
crlf() { perl -pe 's/\n/\r\n/g'; }

banner='\n/// ODD Firmware Update Utility Ver2.57C\n'

# ---- 1. smoke test: Windows XP, no drives ----------------------------------------------
(cd "$app" && wine reg add 'HKCU\Software\Wine' /v Version /d winxp /f >/dev/null)
# Only C: is left: no drive letter of the host reaches the program.
find "$WINEPREFIX/dosdevices" -mindepth 1 -maxdepth 1 ! -name 'c:' -exec rm -f {} +
run_exe smoke 60
printf "$banner"'\r\nAvailable target is not found.' | crlf >"$work/smoke.expected"
expect_bytes smoke "$work/smoke.expected"
expect_rc smoke 1
expect_boxes smoke 1

# ---- 2. Japanese: OEM code page 932 ----------------------------------------------------
# Message 28 from the readable catalogue, in the console's code page.
ja28=$(awk -F'\t' '$1 == "28" { print $2 }' "$repo/src/console/messages_ja.utf8.txt")
{ printf "$banner"; printf '%b' "$ja28" | iconv -f UTF-8 -t CP932; } | crlf >"$work/japanese.expected"
run_exe japanese 60 LC_ALL=ja_JP.UTF-8
expect_bytes japanese "$work/japanese.expected"
expect_rc japanese 1
expect_boxes japanese 1

# ---- 3. ASPI end to end: Windows 98, the test WNASPI32.DLL --------------------------------
(cd "$app" && wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null)
cp "$dll" "$app/"
read -r normal kernel < <("$packager" "$app")
rm -f "$app"/report*
run_exe aspi 240 WINEDLLOVERRIDES=wnaspi32=n 'ODD_ASPI_REPORT=C:\odd\report.txt'
expect_rc aspi 0
for text in 'Start updating the device No.1.' 'Update operation is completed.'; do
  if grep -aqF "$text" "$work/aspi.out"; then pass "aspi: \"$text\""; else fail "aspi: no \"$text\" in the output"; fi
done
if grep -aq 'New Revision' "$work/aspi.out"; then pass "aspi: New Revision line"; else fail "aspi: no New Revision line"; fi
report=$app/report.txt
if [ -f "$report" ]; then
  for line in 'reflashes 1' 'mode normal' 'revision 1.22'; do
    if grep -qx "$line" "$report"; then pass "aspi: drive reports \"$line\""; else fail "aspi: drive does not report \"$line\""; fi
  done
  if cmp -s "$app/$normal" "$report.normal"; then pass "aspi: normal flash equals $normal"; else fail "aspi: normal flash differs from $normal"; fi
  if cmp -s "$app/$kernel" "$report.kernel"; then pass "aspi: kernel flash equals $kernel"; else fail "aspi: kernel flash differs from $kernel"; fi
else
  fail "aspi: the ASPI layer wrote no report (was the test WNASPI32.DLL loaded?)"
fi
if [ "$failures" -ne 0 ]; then
  echo "--- aspi output"; od -c "$work/aspi.out" | tail -40
  [ -f "$report" ] && cat "$report"
fi

echo "wine runs took $((SECONDS - start)) s"
echo "wine: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
