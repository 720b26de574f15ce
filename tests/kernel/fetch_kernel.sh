#!/bin/sh
# Fetches the pinned Debian kernel package (tests/kernel/kernel.pin) into FOLDER with
# apt-get download and unpacks it there with dpkg-deb -x: the kernel and its modules always
# match, and nothing is installed on the host. The .deb is kept, so a rerun fetches nothing.
#   fetch_kernel.sh PIN-FILE FOLDER
set -eu
pin_file=$1
folder=$2
pin=$(sed -n 's/^\(linux-image-[^#]*\)$/\1/p' "$pin_file" | head -n 1)
package=${pin%%=*}
version=${pin#*=}
mkdir -p "$folder"
cd "$folder"
deb=$(ls "${package}_"*"_amd64.deb" 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
  # apt runs the download as _apt where it can, which may not write into a build folder.
  # Package lists that are missing or older than the pin are refreshed once.
  if ! apt-get -q download "$pin" >download.log 2>&1 &&
    ! { apt-get -q update >>download.log 2>&1 && apt-get -q download "$pin" >>download.log 2>&1; }; then
    cat download.log >&2
    echo "fetch_kernel.sh: cannot fetch the pinned kernel $pin." >&2
    echo "If apt-cache policy $package lists no $version any more (Debian keeps the current" >&2
    echo "kernel ABI only), pin a linux-image-6.1.0-*-amd64=VERSION that it lists in $pin_file." >&2
    exit 1
  fi
  deb=$(ls "${package}_"*"_amd64.deb" | head -n 1)
fi
if [ ! -f root/.unpacked ] || [ "$(cat root/.unpacked)" != "$deb" ]; then
  rm -rf root
  dpkg-deb -x "$deb" root
  echo "$deb" >root/.unpacked
fi
ls root/boot/vmlinuz-* >/dev/null
