#!/usr/bin/env bash
# Usage: tools/mutants.sh [BUILD_DIR] [ID...] — plants each one-line fault below in turn, rebuilds, runs the suite, restores the file; prints "killed N of M" and the survivors.
#
# Each fault is one line of the list at the end: an id, the file, then "FROM ~> TO" (leading
# blanks of FROM do not count). FROM must occur exactly once in the file, or the script stops
# before the first fault: a fault that no longer applies is rewritten, never skipped. A fault
# is killed when the suite fails or hangs (time-out); one that does not compile stops the
# script. IDs after the build folder run only those faults.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/mutants}
shift $(($# > 0 ? 1 : 0))
only=("$@")

suite_timeout=600  # seconds for the whole suite of one fault; a hang counts as killed

saved=""
saved_file=""
restore() {
    if [ -n "$saved_file" ]; then
        cp -p "$saved" "$saved_file"
        saved_file=""
    fi
}
trap 'restore; rm -f "$saved"; exit 130' INT TERM
trap 'restore; rm -f "$saved"' EXIT
saved=$(mktemp)

build_suite() {
    cmake --build "$build" -j2 >"$build/mutant-build.log" 2>&1
}

# The quick tests first, the fault campaign last, each stopping at the first failure. The
# kernel scenarios (one QEMU boot of minutes) are left to a run by hand of the faults that
# only they can catch.
run_suite() {
    timeout "$suite_timeout" ctest --test-dir "$build" -j2 --stop-on-failure --timeout 120 \
        -E '^fault_campaign$' -LE kernel >"$build/mutant-test.log" 2>&1 || return 1
    timeout "$suite_timeout" ctest --test-dir "$build" --timeout 400 -R '^fault_campaign$' \
        >>"$build/mutant-test.log" 2>&1 || return 1
    return 0
}

# Prints the file with FROM replaced by TO; fails unless FROM occurs exactly once.
mutate() {
    python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
count = text.count(old)
if count != 1:
    sys.exit(f"{path}: {old!r} occurs {count} times")
open(path, "w", encoding="utf-8").write(text.replace(old, new))
EOF
}

mutant_list() {
    sed -n '/^# ---- faults ----$/,$p' "$root/tools/mutants.sh" | grep -v '^#' | grep -v '^\s*$'
}

# Every fault must apply before the first one is run.
while read -r id file rest; do
    from=${rest%% ~> *}
    n=$(python3 -c 'import sys; print(open(sys.argv[1]).read().count(sys.argv[2]))' "$file" "$from")
    [ "$n" = 1 ] || { echo "fault $id: '$from' occurs $n times in $file"; exit 2; }
done < <(mutant_list)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
build_suite || { echo "the unchanged tree does not build (see $build/mutant-build.log)"; exit 2; }
run_suite || { echo "the suite fails without any fault (see $build/mutant-test.log)"; exit 2; }

killed=0
total=0
survivors=()
broken=()
while read -r id file rest; do
    if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $id "* ]]; then continue; fi
    from=${rest%% ~> *}
    to=${rest#* ~> }
    cp -p "$file" "$saved"
    saved_file=$file
    mutate "$file" "$from" "$to" || exit 2
    total=$((total + 1))
    if ! build_suite; then
        # Not counted: a fault the compiler refuses tells nothing about the tests.
        echo "BROKEN   $id does not compile:"
        grep -m3 'error' "$build/mutant-build.log"
        total=$((total - 1))
        broken+=("$id")
    elif run_suite; then
        survivors+=("$id")
        echo "SURVIVED $id  $file: $from  ->  $to"
    else
        killed=$((killed + 1))
        echo "killed   $id"
    fi
    restore
    # The restored file is older than the objects built from the fault: make it rebuild.
    touch "$file"
done < <(mutant_list)

build_suite
echo "killed $killed of $total"
[ ${#survivors[@]} -eq 0 ] || echo "survivors: ${survivors[*]}"
# A fault that no longer compiles must be rewritten: the run fails loudly.
[ ${#broken[@]} -eq 0 ] || { echo "faults that do not compile: ${broken[*]}"; exit 2; }
[ ${#survivors[@]} -eq 0 ]
exit

# ---- faults ----
# Revision checks of the current generation.
early-notice src/update/current_generation.cpp State.DriveRevisionNumber < EarlyVersionBound) { ~> State.DriveRevisionNumber <= EarlyVersionBound) {
reflash-text src/update/current_generation.cpp if (State.CurrentKind < KindReflashText) { ~> if (State.CurrentKind <= KindReflashText) {
pre-production src/update/firmware_image.cpp if (State.DriveRevisionNumber < MassProductionRevision && ~> if (State.DriveRevisionNumber <= MassProductionRevision &&
model-range src/update/drive_identity.cpp if (n < row.low || n > row.high) continue; ~> if (n < row.low || n >= row.high) continue;
revision-digits src/update/drive_identity.cpp static_cast<uint8_t>((text[2] - '0') * 16 + (text[3] - '0')); ~> static_cast<uint8_t>((text[2] - '0') * 10 + (text[3] - '0'));
already-latest src/update/firmware_image.cpp State.NewRevision <= State.DriveRevisionNumber) { ~> State.NewRevision < State.DriveRevisionNumber) {
kernel-short src/update/firmware_image.cpp if (part == ImagePartKernel && bytes < KernelPartLength) { ~> if (part == ImagePartKernel && bytes < ImageHeader::Size) {
# The device opened for writing.
open-mode src/platform/linux/place.cpp const int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC); ~> const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
# CDB bytes.
cdb-offset-low src/device/drive_commands.cpp cdb[5] = static_cast<uint8_t>(offset); ~> cdb[5] = 0;
cdb-length-high src/device/drive_commands.cpp cdb[7] = static_cast<uint8_t>(length >> 8); ~> cdb[7] = static_cast<uint8_t>(length >> 9);
buffer-kernel src/device/drive_commands.cpp constexpr uint8_t BufferKernel = 0xFE; ~> constexpr uint8_t BufferKernel = 0xFF;
buffer-pre-update src/device/drive_commands.cpp constexpr uint8_t BufferPreUpdate = 0xD4; ~> constexpr uint8_t BufferPreUpdate = 0xD5;
pre-update-offset src/device/drive_commands.cpp constexpr uint32_t PreUpdateOffset = 0x780; ~> constexpr uint32_t PreUpdateOffset = 0x700;
pre-update-data src/device/drive_commands.cpp State.CommandData[1] = 0x3F; ~> State.CommandData[1] = 0x3E;
mode-download src/device/drive_commands.cpp constexpr uint8_t ModeDownload = 7; ~> constexpr uint8_t ModeDownload = 6;
stop-unit-eject src/device/drive_commands.cpp return StartStopUnit(State.SelectedTarget, 0, 0, 0, 0); ~> return StartStopUnit(State.SelectedTarget, 0, 0, 1, 0);
report-key-format src/device/drive_commands.cpp request.Cdb[10] = static_cast<uint8_t>(agid * 64 + keyFormat); ~> request.Cdb[10] = static_cast<uint8_t>(agid * 64 + keyFormat / 2);
inquiry-length src/device/drive_commands.cpp request.Cdb[4] = static_cast<uint8_t>(InquiryLength); ~> request.Cdb[4] = static_cast<uint8_t>(InquiryLength - 1);
mode-into-normal src/device/mode_control.cpp constexpr int ModeIntoNormal = 5; ~> constexpr int ModeIntoNormal = 4;
unlock-response-id src/device/mode_control.cpp constexpr int BufferUnlockResponse = 0xE1; ~> constexpr int BufferUnlockResponse = 0xE2;
switch-value-bytes src/device/mode_control.cpp block[ValueOffset + i] = static_cast<uint8_t>(value >> (8 * i)); ~> block[ValueOffset + i] = static_cast<uint8_t>(value >> (4 * i));
switch-value-general src/device/mode_control.cpp return value + 6; ~> return value + 5;
unlock-response src/device/mode_control.cpp response[i] = static_cast<uint8_t>(rotated + static_cast<unsigned>(i)); ~> response[i] = static_cast<uint8_t>(rotated);
# Time-outs.
chunk-timeout src/device/drive_commands.cpp constexpr uint32_t ChunkTimeoutMs = 20000; ~> constexpr uint32_t ChunkTimeoutMs = 10000;
inquiry-timeout-1394 src/device/drive_commands.cpp constexpr int32_t InquiryTimeoutIeee1394Ms = 1000; ~> constexpr int32_t InquiryTimeoutIeee1394Ms = 5000;
commit-unlimited src/device/drive_commands.cpp const uint32_t timeout = unlimitedCommit ? 0 : State.CommandTimeout; ~> const uint32_t timeout = unlimitedCommit ? State.CommandTimeout : State.CommandTimeout;
leave-timeout-30s src/device/mode_control.cpp if (kind == 0x1005 || kind == 0x1041) return 30000; ~> if (kind == 0x1005 || kind == 0x1041) return 3000;
leave-timeout-180s src/device/mode_control.cpp InRange(kind, 0x1042, 0x1048)) return 180000; ~> InRange(kind, 0x1042, 0x1048)) return 18000;
no-limit-seconds src/device/executor_spti.cpp constexpr uint32_t NoLimitSeconds = 60; ~> constexpr uint32_t NoLimitSeconds = 30;
spti-seconds src/device/executor_spti.cpp timeoutMs == 0 ? NoLimitSeconds : timeoutMs / 1000; ~> timeoutMs == 0 ? NoLimitSeconds : timeoutMs / 100;
legacy-flash-time src/update/legacy_transfer.cpp constexpr uint32_t LongFlashMs = 30000; ~> constexpr uint32_t LongFlashMs = 20000;
sgio-timeout src/platform/linux/device.cpp UINT32_MAX : seconds * 1000; ~> UINT32_MAX : seconds * 100;
# Chunk bounds.
kernel-chunks src/update/current_generation.cpp offset < KernelPartLength; offset += ChunkSize) { ~> offset + ChunkSize < KernelPartLength; offset += ChunkSize) {
normal-last-chunk src/update/current_generation.cpp while (offset < size) { ~> while (offset + chunk < size) {
partial-commit src/update/current_generation.cpp if (written) { ~>     if (true) {
legacy-chunks src/update/legacy_transfer.cpp } while (sent && offset < tail); ~> } while (sent && offset + ChunkLength < tail);
legacy-tail src/update/legacy_transfer.cpp constexpr uint32_t TailLength = TailBack + 0x10; ~> constexpr uint32_t TailLength = TailBack;
legacy-marker src/update/legacy_transfer.cpp return State.UsesAspi != 0 ? "WIN2" : "WIN "; ~> return "WIN ";
# Consent and answers.
consent-82 src/update/current_generation.cpp ShowMessage(82, StyleYesNo) != AnswerYes) { ~> ShowMessage(82, StyleYesNo) == AnswerNo) {
consent-46 src/update/current_generation.cpp if (ShowMessage(46, StyleYesNo) == AnswerYes) return true; ~> if (ShowMessage(46, StyleYesNo) != AnswerNo) return true;
consent-retry src/update/current_generation.cpp if (ShowMessage(47, StyleYesNo) != AnswerYes) return ResultStopRun; ~> if (ShowMessage(47, StyleYesNo) == AnswerNo) return ResultStopRun;
consent-all src/run/run_driver.cpp if (ShowMessage(31, StyleYesNo) != AnswerYes) State.UpdateAll = 0; ~> if (ShowMessage(31, StyleYesNo) == AnswerNo) State.UpdateAll = 0;
consent-legacy src/update/legacy_generation.cpp ShowMessage(99, StyleYesNo) != AnswerYes) return 7; ~> ShowMessage(99, StyleYesNo) == AnswerNo) return 7;
no-terminal src/platform/linux/console.cpp if (tty == nullptr) { ~> if (tty == nullptr) return question ? 6 : 0; if (false) {
terminal-eof src/platform/linux/message_box.cpp std::fgets(line, sizeof line, in) == nullptr) return 0; ~> std::fgets(line, sizeof line, in) == nullptr) return 6;
# Message styles and texts.
style-33 src/update/current_generation.cpp ShowMessage(33, StyleWarning); ~> ShowMessage(33, StyleError);
style-70 src/update/current_generation.cpp ShowMessage(70, StyleInformation); ~> ShowMessage(70, StyleReport);
style-36 src/run/run_driver.cpp ShowMessage(36, StyleWarning); ~> ShowMessage(36, StyleInformation);
style-54 src/update/firmware_image.cpp State.UpdateAll == 1 ? StyleReport : StyleInformation); ~> State.UpdateAll == 1 ? StyleInformation : StyleReport);
warning-flags src/console/message.cpp return 0x30;  // MB_OK | MB_ICONEXCLAMATION ~> return 0x40;  // MB_OK | MB_ICONEXCLAMATION
style-87 src/update/current_generation.cpp if (rc != 0 && denied) ShowMessage(87, StyleError); ~> if (rc != 0 && denied) ShowMessage(87, StyleReport);
japanese-locale src/platform/linux/locale.cpp return std::strncmp(locale, "ja", 2) == 0 ? 932 : 437; ~> return std::strncmp(locale, "jp", 2) == 0 ? 932 : 437;
# Exit codes and the run's outcome.
all-updated src/run/run_driver.cpp if (State.SuccessCount == State.TargetCount) { ~> if (State.SuccessCount != 0) {
stop-run src/run/run_driver.cpp } else if (result == ResultStopRun) { ~> } else if (result == 7) {
no-procedure src/run/run_driver.cpp int result = 1;  // a kind ~> int result = 0;  // a kind
# Intel HEX.
hex-data-at src/update/hex_image.cpp constexpr size_t DataAt = 9; ~> constexpr size_t DataAt = 8;
hex-segment src/update/hex_image.cpp segmentBase = segment * 16; ~> segmentBase = segment * 10;
hex-end-record src/update/hex_image.cpp if (type == RecordEnd) break; ~> if (type == RecordSegment) break;
hex-bound src/update/hex_image.cpp if (target >= State.WorkBufferSize) { ~> if (target > State.WorkBufferSize) {
hex-amount src/update/hex_image.cpp if (dataRead >= amount) break; ~> if (dataRead > amount) break;
hex-fill src/update/hex_image.cpp std::memset(State.WorkBuffer, 0xFF, size); ~> std::memset(State.WorkBuffer, 0x00, size);
# The SG_IO mapping.
sgio-eperm src/platform/linux/device.cpp case EPERM: ~> case ENOSPC:
sgio-direction src/platform/linux/device.cpp header->dxfer_direction = SG_DXFER_TO_DEV; ~> header->dxfer_direction = SG_DXFER_FROM_DEV;
sgio-failed-call src/platform/linux/device.cpp if (ioctlResult < 0) return ~> if (ioctlResult < -1) return
sgio-timeout-code src/platform/linux/device.cpp driver == DriverTimeout ? ERROR_SEM_TIMEOUT : ERROR_IO_DEVICE; ~> driver == DriverTimeout ? ERROR_IO_DEVICE : ERROR_SEM_TIMEOUT;
sgio-resid src/platform/linux/device.cpp ? header.dxfer_len - static_cast<unsigned>(resid) ~> ? header.dxfer_len
sgio-sense-length src/platform/linux/device.cpp header.sb_len_wr < header.mx_sb_len ? header.sb_len_wr : header.mx_sb_len; ~> header.mx_sb_len;
# The pass-through block, its checks and the SPTI answer.
block-cdb-length src/platform/pass_through_block.h if (cdbLength == 0 || cdbLength > 16) ~> if (cdbLength == 0 || cdbLength > 17)
block-sense-room src/platform/pass_through_block.h senseLength > Sptd::BlockSize - senseOffset)) { ~> senseLength > Sptd::BlockSize)) {
block-target-id src/platform/pass_through_block.h block[Sptd::TargetId] = address[ScsiAddressField::TargetId]; ~> block[Sptd::TargetId] = address[ScsiAddressField::Lun];
spti-check-condition src/device/executor_spti.cpp if (block[Sptd::ScsiStatus] != 0) { ~> if (block[Sptd::ScsiStatus] > 2) {
unit-attention-retry src/device/drive_commands.cpp State.SenseBuffer[2] == SenseKeyUnitAttention; ~> State.SenseBuffer[2] == 0x02;
rebooting-sense src/device/mode_control.cpp (senseByte2 == 2 || senseByte2 == 6)) { ~> (senseByte2 == 2 || senseByte2 == 3)) {
# The Windows blocks.
win32-post-proc src/platform/win32/win32_blocks.h PutLe32(srb + Srb::PostProc, event); ~> PutLe32(srb + Srb::PostProc - 4, event);
win32-abort src/platform/win32/win32_blocks.h PutLe32(srb + SrbToAbort, data); ~> PutLe32(srb + SrbToAbort, event);
win32-data-buffer src/platform/win32/win32_blocks.h PutLe32(wire + Sptd::DataBuffer, data); ~> PutLe32(wire + Sptd::DataBuffer - 4, data);
win32-sense-clamp src/platform/win32/win32_blocks.h if (block[Sptd::SenseInfoLength] > offered) ~> if (block[Sptd::SenseInfoLength] > 32)
# One program per drive, one route, no media polling, each command once.
claim-busy-probed src/discovery/target_enumeration.cpp if (claim != ClaimHeld) { ~> if (claim == ClaimNoDrive) {
lock-not-tested src/platform/linux/place.cpp if (flock(fd, LOCK_EX | LOCK_NB) != 0) { ~> if (false) {
sg-busy-to-sr src/platform/linux/place.cpp         if (errno == EBUSY) { ~>         if (false) {
poll-not-off src/platform/linux/place.cpp const bool written = out >= 0 && WriteAll(out, "0\n", 2); ~> const bool written = true;
poll-not-restored src/platform/linux/place.cpp         WriteAll(fd, place.PollValue, place.PollValueLength); ~>         (void)place.PollValueLength;
sg-io-resubmits src/platform/linux/device.cpp IsGenericNode(fd) ? SubmitAndWait(fd, &header) : ioctl(fd, SG_IO, &header); ~> ioctl(fd, SG_IO, &header);
box-misses-hangup src/platform/linux/message_box.cpp ppoll(&wait, 1, nullptr, &original); ~> ppoll(&wait, 1, nullptr, nullptr);
exit-not-by-signal src/run/main_linux.cpp if (HeldInterrupt() != 0) PlatformEndByHeldSignal(); ~> if (false) PlatformEndByHeldSignal();
# The machine kept up while a drive is written, and the battery rule.
inhibit-mode src/platform/linux/power.cpp const char* const InhibitMode = "block"; ~> const char* const InhibitMode = "delay";
inhibit-kept src/platform/linux/power.cpp         close(Inhibitor); ~>         Inhibitor = Inhibitor;
hold-never src/base/drive_writing.cpp if (State.MachineHeld == 0) { ~> if (State.MachineHeld != 0) {
hold-not-continuous src/base/drive_writing.cpp PlatformSetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED, letter); ~> PlatformSetThreadExecutionState(ES_SYSTEM_REQUIRED, letter);
hold-not-released src/base/drive_writing.cpp PlatformSetThreadExecutionState(ES_CONTINUOUS, ~> PlatformSetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED,
battery-threshold src/base/battery.h constexpr int LowBatteryPercent = 25; ~> constexpr int LowBatteryPercent = 20;
battery-bound src/base/battery.cpp state.Percent < LowBatteryPercent; ~> state.Percent <= LowBatteryPercent;
battery-scope src/base/battery.cpp return TypeIs(supply, "Battery") && !TextIs(supply.Scope, "Device"); ~> return TypeIs(supply, "Battery");
battery-online src/base/battery.cpp if (IsExternalSupply(supply) && supply.Online == 1) state.OnBattery = false; ~> if (IsExternalSupply(supply)) state.OnBattery = false;
battery-usb-pd src/base/battery.cpp std::strncmp(supply.Type, "USB", 3) == 0; ~> std::strncmp(supply.Type, "USB", 4) == 0;
battery-nt4-zeros src/base/battery.cpp         status.BatteryFlag == 0) { ~>         status.BatteryFlag == 1) {
battery-no-system-battery src/base/battery.cpp if (status.BatteryFlag == BatteryFlagNoSystemBattery || ~> if (status.BatteryFlag == 0x80 + 1 ||
battery-not-checked src/update/current_generation.cpp if (!PowerAllowsDriveUpdate()) return PassEnd::Finished; ~> if (false && !PowerAllowsDriveUpdate()) return PassEnd::Finished;
battery-not-checked-legacy src/update/legacy_generation.cpp if (!PowerAllowsDriveUpdate()) return 1; ~> if (false && !PowerAllowsDriveUpdate()) return 1;
# The bytes written are the bytes checked: each image's digest as it was checked.
digest-normal-not-compared src/update/current_generation.cpp return LoadNormalImage() && SameFingerprint(State.LoadedImage, State.CheckedNormalImage); ~> return LoadNormalImage();
digest-kernel-not-compared src/update/current_generation.cpp !SameFingerprint(State.LoadedImage, State.CheckedKernelImage)) { ~> false) {
digest-not-fresh-on-retry src/update/current_generation.cpp State.CheckedNormalImage = State.LoadedImage; ~> if (State.CheckedNormalImage.Bytes == 0) State.CheckedNormalImage = State.LoadedImage;
digest-first-byte-only src/base/image_fingerprint.cpp digest ^= bytes[i]; ~> digest ^= bytes[0];
digest-legacy-not-compared src/update/legacy_generation.cpp if (LoadHexImage() != 0 || !SameFingerprint(ImageNow(), checked)) { ~> if (LoadHexImage() != 0) {
# A normal image shorter than the entry's size is refused.
size-not-checked src/update/firmware_image.cpp if (part == ImagePartNormal && bytes < ExpectedNormalBytes()) { ~> if (false) {
size-exact-refused src/update/firmware_image.cpp if (part == ImagePartNormal && bytes < ExpectedNormalBytes()) { ~> if (part == ImagePartNormal && bytes <= ExpectedNormalBytes()) {
size-one-short-taken src/update/firmware_image.cpp if (part == ImagePartNormal && bytes < ExpectedNormalBytes()) { ~> if (part == ImagePartNormal && bytes + 1 < ExpectedNormalBytes()) {
# The run's enumeration clears the vendor page before each drive's probe.
page-clear-spti src/discovery/target_enumeration.cpp ClearVendorPage();  // a drive that answers a shorter page ~> // a drive that answers a shorter page
page-clear-aspi src/discovery/target_enumeration.cpp ClearVendorPage();  // a shorter page must not ~> // a shorter page must not
# Windows: close, log-off and shut-down held as Ctrl-C is.
win-close-not-held src/platform/console_events.h case ConsoleEventClose: ~> case 0x7F:
win-end-as-ctrl-c src/platform/console_events.h return HeldSignalEnd; ~> return HeldSignalCtrlC;
# The route checked before the question.
route-denied-ignored src/discovery/target_enumeration.cpp if (error == ERROR_ACCESS_DENIED) { ~> if (false) {
route-queue-unchecked src/platform/linux/place.cpp if (kb >= 0 && static_cast<unsigned long>(kb) * 1024 < transferBytes) { ~> if (false) {
route-refused-started src/run/run_driver.cpp if (State.RouteRefusal[i] != RouteWritable) continue; ~> if (false) continue;
route-rawio-unchecked src/platform/linux/place.cpp if (!place->RouteGeneric && !HasRawIo()) return ERROR_ACCESS_DENIED; ~> if (false) return ERROR_ACCESS_DENIED;
# The dry run.
dry-run-stops-unit src/update/target_preparation.cpp if (State.DryRun == 0) StopUnit(); ~> StopUnit();
dry-run-goes-on src/update/current_generation.cpp if (State.DryRun != 0) { ~> if (false) {
dry-run-last-message src/console/message.cpp if (State.DryRunMessage == 0) { ~> if (true) {
# Drives named on the command line, consent given with --yes, the terminal's lines.
named-filter-ignored src/discovery/target_enumeration.cpp if (!LetterConsidered(letter)) continue; ~> if (false) continue;
named-filter-shifted src/discovery/target_enumeration.cpp return (State.NamedLetters >> (letter - FirstLetter) & 1u) != 0; ~> return (State.NamedLetters >> (letter - FirstLetter + 1) & 1u) != 0;
named-list-ignored src/discovery/drive_listing.cpp if (!LetterConsidered(letter)) continue; ~> if (false) continue;
named-not-said src/discovery/target_enumeration.cpp } else if (named) { ~> } else if (false) {
named-sg-to-sr src/platform/linux/named_device.cpp if (stat(entry, &info) == 0) return sr; ~> if (stat(entry, &info) == 0) return generic - 1 + 1;
named-letter-word src/run/command_line.cpp const char letter = static_cast<char>(word[0] & ~0x20); ~> const char letter = static_cast<char>(word[0]);
yes-retry-unbounded src/console/message.cpp if (State.YesRetryTarget == State.SelectedTarget + 1) return AnswerNo; ~> if (false) return AnswerNo;
yes-retry-never src/console/message.cpp if (State.YesRetryTarget == State.SelectedTarget + 1) return AnswerNo; ~> if (State.YesRetryTarget == 0) return AnswerNo;
yes-report-waits src/console/message.cpp if (State.AssumeYes != 0) return AnswerOk; ~> if (false) return AnswerOk;
yes-exit-plain src/run/run_driver.cpp return EndRun(State.AssumeYes != 0 && !allAtRevision ? 1 : 0); ~> return EndRun(allAtRevision ? 0 : 0);
yes-newer-counts src/run/run_driver.cpp State.DriveRevisionNumber == State.NewRevision; ~> State.DriveRevisionNumber >= State.NewRevision;
held-line-joins src/platform/linux/signals.cpp if (LineOpen != 0 && SharedOutput != 0) WriteToStderr("\n", 1); ~> if (false) WriteToStderr("\n", 1);
held-line-always-breaks src/platform/linux/signals.cpp SharedOutput = OutputsShared() ? 1 : 0; ~> SharedOutput = (OutputsShared() || true) ? 1 : 0;
not-started-unsaid src/run/run_driver.cpp if (held != 0) ReportNotStarted(i); ~> if (false) ReportNotStarted(i);
# The record in the system log.
log-start-missing src/base/drive_writing.cpp     RecordWritingStart(); ~>     (void)0;
log-start-after-write src/update/current_generation.cpp     if (PreUpdateWrite() != 0) return PassEnd::Finished; ~>     State.WritingRecorded = 1; if (PreUpdateWrite() != 0) return PassEnd::Finished; State.WritingRecorded = 0; BeginDriveWriting();
log-not-reset-per-drive src/run/run_driver.cpp         BeginDriveRecord(); ~>         (void)0;
log-retry-question-named src/base/drive_record.cpp     if (question && State.DecidingMessage != NoDecidingMessage) return; ~>     if (question && false) return;
log-progress-named src/base/drive_record.cpp     if (TellsProgress(code)) return; ~>     if (TellsProgress(code) && false) return;
log-update-mode-as-failed src/base/drive_record.cpp "result=%s %s", updateMode ? "update-mode" : "failed", ~> "result=%s %s", updateMode ? "failed" : "failed",
log-declined-recorded src/run/run_driver.cpp RecordDriveOutcome(result == 0, result == ResultDeclined, held); ~> RecordDriveOutcome(result == 0, false, held);
log-signal-dropped src/base/drive_record.cpp     if (held != 0) { ~>     if (false) {
log-battery-unnamed src/base/battery.cpp     NoteBatteryRefusal(state.Percent); ~>     (void)0;
log-ident-options src/platform/linux/log.cpp         openlog("odd-fwupdate", LOG_PID, LOG_USER); ~>         openlog("odd-fwupdate", 0, LOG_DAEMON);
# The fleet playbook and the fake's drives kept across processes (caught by fleet.playbook).
fleet-plan-latest fleet/update-drives.yml selectattr('plan', 'equalto', 'update') ~> selectattr('plan', 'equalto', 'latest')
fleet-refusals-ignored fleet/update-drives.yml {%- for drive in odd_refused -%} ~> {%- for drive in [] -%}
fleet-after-unchecked fleet/update-drives.yml {%-   elif found[0].revision != odd_revision or found[0].update_mode -%} ~> {%-   elif false -%}
fleet-exit-ignored fleet/update-drives.yml for run in odd_updates.results | default([]) if run.rc != 0 ~> for run in odd_updates.results | default([]) if run.rc > 1
fleet-state-not-saved sim/sg_preload/fake_sr.cpp     if (p.StateDir.empty()) return; ~>     if (true) return;
fleet-state-not-loaded sim/sg_preload/fake_sr.cpp if (!in) return;  // a drive not seen before starts as the scenario says ~> if (true) return;
fleet-state-mode-lost sim/sg_preload/fake_sr.cpp if (key == "mode") ~> if (key == "mode-")
fleet-state-any-process sim/sg_preload/fake_sr.cpp if (p.GenericOpens[i] == 0 && p.BlockOpens[i] == 0) continue; ~> if (false) continue;
fleet-syslog-file-dropped sim/sg_preload/fake_sr.cpp if (syslogFile != nullptr) p.SyslogFile = syslogFile; ~> (void)syslogFile;
# The JSON documents of --list and --dry-run.
json-busy-flag src/run/json_output.cpp + Bool(drive.Busy); ~> + Bool(false);
json-package-is-swapped src/run/json_output.cpp return package > current ? "newer" : package == current ? "same" : "older"; ~> return package < current ? "newer" : package == current ? "same" : "older";
json-escape-raw src/run/json_output.cpp             text += "\\u00" + Hex2(c); ~>             text += static_cast<char>(c) + Hex2(c).substr(2);
json-untrimmed src/run/json_output.cpp     while (length > 0 && (bytes[length - 1] == ' ' || bytes[length - 1] == '\0')) --length; ~>     while (false) --length;
json-quote-unescaped src/run/json_output.cpp         if (c == '"' || c == '\\') { ~>         if (c == '\\') {
json-latest-as-refused src/run/dry_run.cpp     if (State.DryRunMessage == AlreadyLatest) outcome.Plan = "latest"; ~>     (void)0;
json-update-mode-compared src/run/command_line.cpp if (drive.ForPackage && !drive.UpdateMode) { ~> if (drive.ForPackage) {
json-generic-missing src/run/command_line.cpp if (PlatformGenericNodeName(from.Letter, generic, sizeof generic)) drive.Generic = generic; ~> (void)generic;
json-busy-identity src/run/command_line.cpp         if (drive.Busy) continue; ~>         (void)0;
json-target-update-mode src/discovery/target_enumeration.cpp State.InUpdateMode == 1 || IdentifiesKernelOnly(State.WorkBuffer) ? 1 : 0; ~> 0;
json-message-dropped src/run/json_output.cpp (drive.Message != 0 ? std::to_string(drive.Message) : "null") ~> std::string("null")
list-header-missing src/run/command_line.cpp         Print(ListHeader); ~>         (void)ListHeader;
