#!/usr/bin/env bash
# CI, Windows part (run by .ci/run after the Linux tests): cross-builds odd-fwupdate.exe for
# 32-bit Windows, checks its imports against tests/win32/imports.allow and runs it under wine
# (tests/win32/run_wine.sh). Installs what it needs on a fresh Debian machine; if that cannot
# be done, it fails: a Windows part that did not run is never a pass.
#   usage: .ci/windows.sh [HOST_BUILD_DIR]   (the Linux build that has win32_aspi_package)
set -euo pipefail
cd "$(dirname "$0")/.."
host_build=${1:-build/ci-gcc}

die() {
  echo "windows.sh: $*" >&2
  exit 1
}

need=()
for pkg in g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 wine wine32:i386 xvfb xdotool; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || die "cannot add the i386 architecture that wine32 needs"
  fi
  apt-get update -q || die "apt-get update failed"
  apt-get install -y -q --no-install-recommends "${need[@]}" ||
    die "cannot install ${need[*]}: the Windows build and its wine runs cannot be done"
fi
for tool in i686-w64-mingw32-g++-win32 i686-w64-mingw32-objdump wine wineserver Xvfb xdotool iconv perl; do
  command -v "$tool" >/dev/null || die "$tool is missing after the install"
done

# The cross build: odd-fwupdate.exe and the test WNASPI32.DLL.
cmake -S . -B build/ci-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DODD_WERROR=ON
cmake --build build/ci-win -j2
bash tests/win32/check_imports.sh build/ci-win/odd-fwupdate.exe tests/win32/imports.allow

# The package writer for the ASPI run comes from the Linux build.
if [ ! -f "$host_build/CMakeCache.txt" ]; then
  cmake -S . -B "$host_build"
fi
cmake --build "$host_build" -j2 --target win32_aspi_package
bash tests/win32/run_wine.sh build/ci-win "$host_build/win32_aspi_package"
