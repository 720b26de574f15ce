#!/usr/bin/env bash
# The fleet playbook on three hosts of this machine (tests/fleet/inventory.yml), on virtual
# drives: host_a's two drives must end at 1.22 in their normal mode; host_b must be reported
# failed with the reason its drive was refused, and host_c with the exit code and standard
# error of the update that failed and the update mode its drive is left in; each host's log
# lines must be collected.
#
#   tests/fleet/run_fleet.sh BUILD_DIR [PLAYBOOK_ARG...]
#
# BUILD_DIR holds odd-fwupdate, tests/e2e/libodd_fake_sr.so and tests/e2e/odd_e2e_runner.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: run_fleet.sh BUILD_DIR}" && pwd)
shift
fleet=$build/fleet

failures=0
fail() {
    echo "fleet: $*" >&2
    failures=$((failures + 1))
}

# A fresh start: each host's package, and no state (the drives start as the scenarios say).
rm -rf "$fleet"
mkdir -p "$fleet/ansible-tmp"
for host in host_a host_b host_c; do
    "$build/tests/e2e/odd_e2e_runner" --package "$here/$host.scenario" "$fleet/$host/package" ||
        { echo "fleet: no package for $host" >&2; exit 2; }
done

# Pipelining: each task runs without copying its module to a file first (the run is shorter).
export ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_PIPELINING=1
export ANSIBLE_LOCAL_TEMP=$fleet/ansible-tmp ANSIBLE_REMOTE_TEMP=$fleet/ansible-tmp
export ANSIBLE_HOME=$fleet/ansible-home
ansible-playbook -i "$here/inventory.yml" "$root/fleet/update-drives.yml" \
    -e "odd_build=$build" "$@" >"$fleet/playbook.log" 2>&1
status=$?
cat "$fleet/playbook.log"

# One host failed: ansible-playbook says so with 2.
[ "$status" = 2 ] || fail "ansible-playbook exited with $status, expected 2 (a host failed)"

# The recap: host_a without failure, host_b with one.
recap() { grep -E "^$1 +: " "$fleet/playbook.log"; }
recap host_a | grep -Eq ' failed=0 ' || fail "host_a is not ok in the recap: $(recap host_a)"
recap host_a | grep -Eq ' unreachable=0 ' || fail "host_a was unreachable"
recap host_b | grep -Eq ' failed=1 ' || fail "host_b is not reported failed: $(recap host_b)"

# host_b's failure names the drive, the check and its reason; host_a's success its drives.
grep -q '^fatal: \[host_b\]' "$fleet/playbook.log" || fail "no failure line for host_b"
grep -q '/dev/sr0 (D): refused, message 5: .*Disc is inserted' "$fleet/playbook.log" ||
    fail "host_b's failure does not give the drive's refusal and its reason"
recap host_c | grep -Eq ' failed=1 ' || fail "host_c is not reported failed: $(recap host_c)"
grep -q '/dev/sr0: odd-fwupdate --yes exited with 1: .*is still in its update mode' \
    "$fleet/playbook.log" || fail "host_c's failure does not give the exit code and stderr"
grep -q '/dev/sr0: reports revision .* in its update mode, not 1.22' "$fleet/playbook.log" ||
    fail "host_c's failure does not say that the drive is still in its update mode"
grep -q '^fatal: \[host_a\]' "$fleet/playbook.log" && fail "host_a has a failure line"
grep -q '/dev/sr0, /dev/sr1 updated to 1.22' "$fleet/playbook.log" ||
    fail "host_a's result does not name both drives"

# The drives themselves, as the state folder keeps them.
state_of() { grep -x "$2=.*" "$fleet/$1/state/$3.state" 2>/dev/null | cut -d= -f2-; }
for drive in sr0 sr1; do
    [ "$(state_of host_a revision "$drive")" = 1.22 ] ||
        fail "host_a $drive: revision $(state_of host_a revision "$drive"), expected 1.22"
    [ "$(state_of host_a mode "$drive")" = normal ] ||
        fail "host_a $drive: mode $(state_of host_a mode "$drive"), expected normal"
    image=$fleet/host_a/package/S0814001.122
    cmp -s -n "$(stat -c %s "$image")" "$image" "$fleet/host_a/state/$drive.normal.bin" ||
        fail "host_a $drive: the normal part in flash is not the image"
done
[ "$(state_of host_b revision sr0)" = 1.21 ] || fail "host_b sr0 changed its revision"
[ "$(state_of host_b normal-chunks sr0)" = 0 ] || fail "host_b sr0 was written to"
[ "$(state_of host_c mode sr0)" = kernel ] || fail "host_c sr0 is not in its update mode"

# The log lines: both of host_a's updates, and nothing from host_b, where nothing ran.
log=$fleet/collected
n=$(grep -c 'result=updated revision=1.22' "$log/host_a.log" 2>/dev/null)
[ "$n" = 2 ] || fail "host_a's collected log has ${n:-no} lines of an update done, expected 2"
for drive in /dev/sr0 /dev/sr1; do
    grep -q "start drive=. node=$drive " "$log/host_a.log" 2>/dev/null ||
        fail "host_a's collected log has no start line for $drive"
done
grep -q 'result=update-mode' "$log/host_c.log" 2>/dev/null ||
    fail "host_c's collected log does not say the drive was left in its update mode"
[ -f "$log/host_b.log" ] || fail "host_b's log lines were not collected"
[ -s "$log/host_b.log" ] && fail "host_b's collected log is not empty: $(cat "$log/host_b.log")"

if [ "$failures" -ne 0 ]; then
    echo "fleet: $failures problem(s); the playbook's output is above" >&2
    exit 1
fi
echo "fleet: host_a updated (sr0, sr1 at 1.22), host_b and host_c failed with their reasons"
