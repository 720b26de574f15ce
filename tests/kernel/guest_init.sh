#!/bin/busybox sh
# The guest's /init: loads the SCSI and target modules of the kernel under test, makes a
# user-backed TCMU device answered by the project's drive handler, links it into a loopback
# target so that sr attaches it as /dev/sr0 (with its sg node), then runs each scenario of
# /odd/plan with the real odd-fwupdate and reports on the serial console:
#   KTEST-BEGIN NAME / the runner's output / KTEST-TIME, KTEST-COMMANDS / KTEST-END NAME rc=N
# Plan lines: NAME NODES [RUNNER-OPTION...], NODES sg (sg loaded) or sr (sg unloaded).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
# Where odd-fwupdate keeps its per-drive locks, as on a systemd install.
mkdir -p /run
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -p /run/lock
chmod 1777 /run/lock
mkdir -p /dev/pts
mount -t devpts -o ptmxmode=0666 devpts /dev/pts
[ -e /dev/ptmx ] || ln -s pts/ptmx /dev/ptmx
uptime_s() { cut -d' ' -f1 /proc/uptime; }
echo "KGUEST init at $(uptime_s) s, kernel $(uname -r)"

for module in $(cat /lib/modules/order); do
  insmod "/lib/modules/$module.ko" || echo "KGUEST insmod $module failed"
done
mount -t configfs configfs /sys/kernel/config

target=/sys/kernel/config/target
device=$target/core/user_0/odd
mkdir -p "$device"
echo -n "dev_config=odd/drive" >"$device/control"
echo -n "dev_size=1073741824" >"$device/control"
echo -n 1 >"$device/enable"
# Aborts are passed to the handler, which answers an aborted command at once; without this the
# kernel waits for its own 30 s TCMU time-out before the abort completes.
echo -n 1 >"$device/attrib/tmr_notification"
n=0
while [ ! -e /dev/uio0 ]; do
  usleep 10000
  n=$((n + 1))
  if [ $n -gt 1000 ]; then
    echo "KGUEST no /dev/uio0"
    dmesg | tail -n 30
    reboot -f
  fi
done

handler_pid=""
start_handler() {
  rm -f /tmp/ack
  /odd/odd_tcmu_drive /dev/uio0 "/odd/scenarios/$1.scenario" "/tmp/work/$1/out" /tmp/ack &
  handler_pid=$!
  echo "$handler_pid" >/tmp/handler.pid
}
stop_handler() {
  [ -n "$handler_pid" ] || return 0
  kill -TERM "$handler_pid"
  wait "$handler_pid"
  handler_pid=""
}
# What the runner calls before and after the program: a signal, then the handler's answer.
cat >/tmp/signal_handler <<'SCRIPT'
#!/bin/sh
rm -f /tmp/ack
echo "$ODD_E2E_RUN_OUT" >/tmp/ack.out
kill -$1 $(cat /tmp/handler.pid) || exit 1
n=0
while [ ! -f /tmp/ack ]; do
  usleep 10000
  n=$((n + 1))
  [ $n -lt 1000 ] || exit 1
done
SCRIPT
chmod 755 /tmp/signal_handler

first=$(grep -v '^#' /odd/plan | sed -n '1s/ .*//p')
start_handler "$first"
current=$first
wwn=naa.5001405000000001
mkdir -p "$target/loopback/$wwn/tpgt_1/lun/lun_0"
echo -n naa.5001405000000002 >"$target/loopback/$wwn/tpgt_1/nexus"
ln -s "$device" "$target/loopback/$wwn/tpgt_1/lun/lun_0/odd"
n=0
while [ ! -e /dev/sr0 ] || [ -z "$(ls /sys/block/sr0/device/scsi_generic 2>/dev/null)" ]; do
  usleep 10000
  n=$((n + 1))
  if [ $n -gt 3000 ]; then
    echo "KGUEST no /dev/sr0"
    dmesg | tail -n 30
    reboot -f
  fi
done
echo "KGUEST /dev/sr0 ($(ls /sys/block/sr0/device/scsi_generic)) at $(uptime_s) s"

mkdir -p /tmp/work
chmod 777 /tmp/work
while read -r name nodes options; do
  [ -n "$name" ] || continue
  case "$name" in \#*) continue ;; esac
  if [ "$nodes" = sr ] && grep -q '^sg ' /proc/modules; then
    rmmod sg
  elif [ "$nodes" = sg ] && ! grep -q '^sg ' /proc/modules; then
    insmod /lib/modules/sg.ko
    while [ -z "$(ls /sys/block/sr0/device/scsi_generic 2>/dev/null)" ]; do usleep 10000; done
  fi
  # --same-drive: the drive of the run before goes on, as it was left.
  case " $options " in
    *" --same-drive "*) options=$(echo " $options " | sed 's/ --same-drive / /') ;;
    *) [ "$name" = "$current" ] || restart=yes ;;
  esac
  pause=$(echo " $options " | sed -n 's/.* --pause=\([0-9]*\) .*/\1/p')
  if [ -n "$pause" ]; then
    options=$(echo " $options " | sed 's/ --pause=[0-9]* / /')
    sleep "$pause"
  fi
  poll=$(echo " $options " | sed -n 's/.* --poll-events=\([0-9]*\) .*/\1/p')
  options=$(echo " $options " | sed 's/ --poll-events=[0-9]* / /')
  echo "${poll:-0}" >/sys/block/sr0/events_poll_msecs
  if [ "${restart:-}" = yes ]; then
    restart=no
    stop_handler
    start_handler "$name"
    current=$name
  fi
  echo "KTEST-BEGIN $name"
  # A lock file left by an earlier run, and whether its process still lives.
  lock=/run/lock/odd-fwupdate-sr0.lock
  if [ -f $lock ]; then
    holder=$(cat $lock)
    alive=no
    [ -n "$holder" ] && [ -d "/proc/$holder" ] && alive=yes
    echo "KTEST-LOCK $name holder=$holder alive=$alive"
  fi
  started=$(uptime_s)
  ODD_E2E_BEFORE="/tmp/signal_handler USR2" ODD_E2E_AFTER="/tmp/signal_handler USR1" \
    /odd/odd_e2e_runner /odd/odd-fwupdate none "/odd/scenarios/$name.scenario" /tmp/work \
    --limit=120 $options
  rc=$?
  echo "KTEST-TIME $name $started $(uptime_s)"
  # The program turns the media polling off while it holds the drive, and back on at its end.
  polled=$(cat /sys/block/sr0/events_poll_msecs)
  echo "KTEST-POLL $name set=${poll:-0} after=$polled"
  if [ "$polled" != "${poll:-0}" ]; then
    echo "$name: events_poll_msecs is $polled after the run, ${poll:-0} before it"
    rc=1
  fi
  trace=/tmp/work/$name/out/trace.txt
  echo "KTEST-COMMANDS $name program=$(grep -c '^sr0 ' "$trace") kernel=$(grep -c '^kernel ' "$trace")"
  grep ' signal=' "$trace" | sed "s/^/KTEST-SIGNAL $name /"
  if [ $rc -ne 0 ]; then
    echo "--- trace"; cat "/tmp/work/$name/out/trace.txt"
    echo "--- stdout"; cat "/tmp/work/$name/out/stdout.bin"; echo
  fi
  echo "KTEST-END $name rc=$rc"
done </odd/plan
stop_handler
echo "KGUEST done at $(uptime_s) s"
reboot -f
