#!/bin/sh
# Boots the kernel under QEMU with the initramfs, the serial console into LOG. Software
# emulation unless the processor offers hardware virtualisation (vmx or svm) and /dev/kvm is
# there. Fails unless the guest got to its end.
#   run_guest.sh KERNEL-ROOT INITRAMFS LOG
set -eu
root=$1 initramfs=$2 log=$3
kernel=$(ls "$root"/boot/vmlinuz-* | head -n 1)
accel=tcg
if [ -w /dev/kvm ] && grep -qE '\b(vmx|svm)\b' /proc/cpuinfo; then accel=kvm; fi
start=$(date +%s)
timeout 600 qemu-system-x86_64 -accel "$accel" -m 512 -smp 1 -nodefaults -no-reboot \
  -display none -serial "file:$log" \
  -kernel "$kernel" -initrd "$initramfs" \
  -append "console=ttyS0 loglevel=4 panic=-1 rdinit=/init" || true
end=$(date +%s)
echo "run_guest.sh: $accel, $((end - start)) s in all"
grep -a 'KGUEST\|KTEST-TIME\|KTEST-END' "$log" || true
grep -qa 'KGUEST done' "$log"
