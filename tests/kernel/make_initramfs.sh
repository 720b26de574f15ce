#!/bin/sh
# Builds the guest's initramfs from the build outputs: busybox (static), the modules the guest
# loads with everything they depend on (in load order), odd-fwupdate and the scenario runner
# with the shared libraries they use, the TCMU drive handler, the scenarios and the init script.
#   make_initramfs.sh KERNEL-ROOT OUT.cpio.gz PROGRAM RUNNER HANDLER INIT PLAN SCENARIO-FOLDER
set -eu
root=$1 out=$2 program=$3 runner=$4 handler=$5 init=$6 plan=$7 scenarios=$8
modules_dir=$(ls -d "$root"/lib/modules/*/ | head -n 1)
stage=$(mktemp -d "${out%/*}/initramfs.XXXXXX")
trap 'rm -rf "$stage"' EXIT
chmod 755 "$stage"  # the guest's root: a user other than root runs the program too
mkdir -p "$stage/bin" "$stage/lib/modules" "$stage/odd/scenarios" "$stage/proc" "$stage/sys" \
  "$stage/dev" "$stage/tmp"

busybox=$(command -v busybox)
if ! ldd "$busybox" 2>&1 | grep -q 'not a dynamic'; then
  echo "make_initramfs.sh: $busybox is not static (install busybox-static)" >&2
  exit 1
fi
cp "$busybox" "$stage/bin/busybox"

# The modules named here and what they depend on, dependencies first (depends= of each .ko).
module_file() {
  find "$modules_dir" -name "$1.ko*" -o -name "$(echo "$1" | tr _ -).ko*" -o \
    -name "$(echo "$1" | tr - _).ko*" | head -n 1
}
order=""
add_module() {
  local file deps dep
  case " $order " in *" $1 "*) return ;; esac
  file=$(module_file "$1")
  if [ -z "$file" ]; then
    echo "make_initramfs.sh: no module $1 in $modules_dir" >&2
    exit 1
  fi
  deps=$(strings -a "$file" | sed -n 's/^depends=//p' | tr , ' ')
  for dep in $deps; do add_module "$dep"; done
  case " $order " in *" $1 "*) return ;; esac
  case "$file" in
    *.ko.xz) xz -dc "$file" >"$stage/lib/modules/$1.ko" ;;
    *.ko.zst) zstd -dqc "$file" >"$stage/lib/modules/$1.ko" ;;
    *) cp "$file" "$stage/lib/modules/$1.ko" ;;
  esac
  order="$order $1"
}
for module in configfs sr_mod sg target_core_mod target_core_user tcm_loop; do
  add_module "$module"
done
echo "$order" | tr ' ' '\n' | sed '/^$/d' >"$stage/lib/modules/order"

cp "$program" "$stage/odd/odd-fwupdate"
cp "$runner" "$stage/odd/odd_e2e_runner"
cp "$handler" "$stage/odd/odd_tcmu_drive"
for binary in "$program" "$runner"; do
  for lib in $(ldd "$binary" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
    mkdir -p "$stage$(dirname "$lib")"
    cp -L "$lib" "$stage$lib"
  done
done
cp "$init" "$stage/init"
chmod 755 "$stage/init"
cp "$plan" "$stage/odd/plan"
cp "$scenarios"/*.scenario "$stage/odd/scenarios/"

(cd "$stage" && find . | "$busybox" cpio -o -H newc 2>/dev/null) | gzip -1 >"$out.tmp"
mv "$out.tmp" "$out"
