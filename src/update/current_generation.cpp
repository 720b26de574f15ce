#include "update/current_generation.h"

#include <cstdio>
#include <cstring>

#include "base/battery.h"
#include "base/drive_writing.h"
#include "base/run_state.h"
#include "base/timing.h"
#include "console/message.h"
#include "device/drive_commands.h"
#include "device/mode_control.h"
#include "update/drive_identity.h"
#include "update/firmware_image.h"
#include "update/target_preparation.h"

namespace {

constexpr int ResultUpdated = 0;
constexpr int ResultStopRun = -1;
constexpr int ResultNotUpdated = 1;
constexpr int ResultDeclined = 7;

constexpr int32_t ChunkSize = 0x8000;

// CheckKernelNeedsUpdate's answer for a drive that runs the package's kernel already.
constexpr int KernelAlreadyRunning = 1;

constexpr uint32_t PauseAfterSwitchMs = 1000;
constexpr uint32_t PauseAfterKernelMs = 2000;
constexpr uint32_t PauseAfterCommitMs = 5000;
constexpr uint32_t PauseAfterFailedCommitMs = 2000;

// Kind 0x1006 below 0.23 needs a power cycle rather than the one-way question.
constexpr int32_t KindEarlyVersionNotice = 0x1006;
constexpr uint16_t EarlyVersionBound = 0x23;
// From this kind on the drive re-flashes itself after the transfer and says so.
constexpr int32_t KindReflashText = 0x1005;

constexpr int InquiryRevisionOffset = 32;

const char* const ClosingShortEn = "\rProcessing 100%% --> Complete";
// "\rProcessing 100%% --> 完了" in Shift-JIS
const char* const ClosingShortJa = "\rProcessing 100%% --> \x8a\xae\x97\xb9";
const char* const ClosingReflashEn =
    "\rProcessing 100%% --> Data transfer complete\r\nNow internal re-flashing...";
// "\rProcessing 100%% --> ﾌｧｰﾑｳｪｱ転送完了\r\n現在ﾄﾞﾗｲﾌﾞ内部でｱｯﾌﾟﾃﾞｰﾄ中です..." in Shift-JIS
const char* const ClosingReflashJa =
    "\rProcessing 100%% --> \xcc\xa7\xb0\xd1\xb3\xaa\xb1\x93]\x91\x97\x8a\xae\x97\xb9\r\n"
    "\x8c\xbb\x8d\xdd\xc4\xde\xd7\xb2\xcc\xde\x93\xe0\x95\x94\x82\xc5\xb1\xaf\xcc\xdf\xc3\xde"
    "\xb0\xc4\x92\x86\x82\xc5\x82\xb7...";

// On the Intel ATA driver under ASPI the drive reboots as soon as the last chunk arrives, so
// the progress and the pauses follow another pattern.
bool IntelOnAspi() {
    return State.IntelAtaDriver != 0 && State.UsesAspi != 0;
}

bool Japanese() {
    return State.OemCodePage == CodePageJapanese;
}

// Progress and closing texts go through the formatter, so "%%" prints as one sign.
void PrintFormatted(const char* format, int value = 0) {
    std::snprintf(State.Text, sizeof State.Text, format, value);
    ConsolePrint(State.Text);
}

// The normal image in ImageBuffer, with a size the transfer can take.
bool LoadNormalImage() {
    if (LoadFirmwareImage(ImagePartNormal) != 0) return false;
    return State.ImageSize > 0 && static_cast<uint32_t>(State.ImageSize) <= State.ImageBufferSize;
}

// The normal image in ImageBuffer again, as it was checked: a file replaced or cut since then
// counts as one that could not be read.
bool ReloadNormalImage() {
    return LoadNormalImage() && SameFingerprint(State.LoadedImage, State.CheckedNormalImage);
}

// Message 46 or 70 before a firmware that cannot be taken back. False when declined.
bool PassOneWayWarning() {
    if (State.Selection.OneWayWarning == 0) return true;
    if (State.CurrentKind == KindEarlyVersionNotice &&
        State.DriveRevisionNumber < EarlyVersionBound) {
        ShowMessage(70, StyleInformation);
        return true;
    }
    if (ShowMessage(46, StyleYesNo) == AnswerYes) return true;
    ShowMessage(33, StyleWarning);
    return false;
}

// The first write to the drive. A refusal for lack of privilege is told as such, since the
// run stops on it.
int PreUpdateWrite() {
    const int32_t deniedBefore = State.DeviceAccessDenied;
    State.DeviceAccessDenied = 0;
    const int rc = SendPreUpdateCommand();
    const bool denied = State.DeviceAccessDenied != 0;
    State.DeviceAccessDenied |= deniedBefore;
    if (rc != 0 && denied) ShowMessage(87, StyleError);
    return rc;
}

// Into update mode unless the drive runs its kernel already. False when it did not get there.
bool SwitchIntoUpdateMode() {
    if (State.InUpdateMode != 0) return true;
    if (State.NeedsUnlock == 1) {
        // The exchange reports its own step errors; what counts is where the drive ended up.
        UnlockUpdateMode();
        return State.InUpdateMode != 0;
    }
    if (EnterUpdateMode(State.CurrentKind) != 0) return false;
    WaitMilliseconds(PauseAfterSwitchMs);
    return ConfirmUpdateMode() == 0;
}

// The kernel image file, loaded and checked as the kernel part will load it, while nothing
// has been written yet: a bad or missing file must stop the run before the drive is switched
// into its update mode, which a second run with the same file could not undo. The normal
// image is then put back in the buffer. False after message 72 (and 11 when the normal image
// could not be read again as it was checked).
bool KernelImageLoads() {
    if (State.Selection.PartsFlag != 0) return true;
    if (LoadFirmwareImage(ImagePartKernel) != 0) {
        ShowMessage(72, StyleReport);
        return false;
    }
    State.CheckedKernelImage = State.LoadedImage;
    if (!ReloadNormalImage()) {
        ShowMessage(11, StyleError);
        return false;
    }
    return true;
}

// The kernel image's first 128 KiB in four chunks, then the normal image back in the buffer.
// A drive that already runs this kernel (message 10) gets no kernel chunks and no pause: it
// is there after a power loss during the normal part, or after a reboot into the new kernel,
// and the normal part still has to be written.
bool WriteKernelPart() {
    // Loaded again: the file may have changed since it was checked before the switch, and a
    // changed one is not the file that was checked.
    if (LoadFirmwareImage(ImagePartKernel) != 0 ||
        !SameFingerprint(State.LoadedImage, State.CheckedKernelImage)) {
        ShowMessage(72, StyleReport);
        return false;
    }
    const int check = CheckKernelNeedsUpdate();
    if (check != 0 && check != KernelAlreadyRunning) return false;
    if (check == 0) {
        for (uint32_t offset = 0; offset < KernelPartLength; offset += ChunkSize) {
            if (WriteKernelChunk(offset, ChunkSize, State.ImageBuffer + offset) != 0) {
                ShowMessage(41, StyleError);
                return false;
            }
        }
        WaitMilliseconds(PauseAfterKernelMs);
    }
    if (!ReloadNormalImage()) {
        ShowMessage(11, StyleReport);
        return false;
    }
    return true;
}

// The normal image in chunks with the progress line. False when a chunk was not written.
bool WriteNormalPart() {
    ConsolePrint("\n");
    const int32_t size = State.ImageSize;
    int32_t offset = 0;
    int32_t chunk = ChunkSize;
    while (offset < size) {
        // Tested before the last chunk is cut, so only a size of whole chunks gets the line.
        if (IntelOnAspi() && offset == size - chunk) {
            PrintFormatted("\rProcessing 100%%");
            ShowMessage(44, StyleReport);
        } else {
            PrintFormatted("\rProcessing %d%%", offset * 100 / size);
        }
        if (size - offset < chunk) chunk = size - offset;
        if (WriteNormalChunk(static_cast<uint32_t>(offset), static_cast<uint32_t>(chunk),
                             State.ImageBuffer + offset) != 0) {
            ShowMessage(42, StyleError);
            return false;
        }
        offset += chunk;
    }
    return true;
}

void PrintClosingText() {
    if (IntelOnAspi()) return;
    if (State.CurrentKind < KindReflashText) {
        PrintFormatted(Japanese() ? ClosingShortJa : ClosingShortEn);
        ShowMessage(44, StyleReport);
    } else {
        PrintFormatted(Japanese() ? ClosingReflashJa : ClosingReflashEn);
    }
}

// The drive stores the new firmware and restarts; a failed commit is judged by verification.
void Commit() {
    const int rc = LeaveUpdateMode(State.CurrentKind);
    if (State.Ieee1394Marker != -1 || IntelOnAspi()) {
        WaitMilliseconds(PauseAfterCommitMs);
    } else if (rc != 0) {
        WaitMilliseconds(PauseAfterFailedCommitMs);
    }
}

// Back in normal mode with the firmware just written: not the kernel's "000" revision, and
// the revision of the image rather than the one the drive had before.
bool RunsNewFirmware() {
    const uint8_t* revision = State.InquiryData + InquiryRevisionOffset;
    if (std::memcmp(revision, "000", 3) == 0) return false;
    return RevisionNumber(revision) == State.NewRevision;
}

enum class PassEnd {
    Finished,      // the result is final
    NotInNormal,   // the drive did not come back with the new firmware: offer a retry
    PartialImage,  // a normal chunk was lost and nothing was committed: offer a retry
};

PassEnd RunPass(int& result) {
    State.InUpdateMode = 0;
    result = ResultStopRun;

    // Loaded and checked afresh on every pass, a retry's too.
    if (!LoadNormalImage()) {
        ShowMessage(11, StyleError);
        return PassEnd::Finished;
    }
    State.CheckedNormalImage = State.LoadedImage;
    if (ReadDriveIdentity(IdentityPhaseBefore) != 0) return PassEnd::Finished;

    result = ResultNotUpdated;
    if (ValidateFirmwareImage() != 0) return PassEnd::Finished;
    if (!KernelImageLoads()) {
        result = ResultStopRun;
        return PassEnd::Finished;
    }
    if (!PassOneWayWarning()) return PassEnd::Finished;
    State.DryRunMessage = 0;  // a warning passed is not what would stop the drive
    if (EnsureNoDisc() != 0) return PassEnd::Finished;

    if (State.InUpdateMode == 0) {
        const int rc = CheckRegionControlState();
        if (rc != 0) {
            ShowMessage(71, StyleError);
            result = rc;
            return PassEnd::Finished;
        }
    }
    // Not started on a battery that may run out halfway: checked before the question, or,
    // when every drive is updated without one, before the first write.
    if (!PowerAllowsDriveUpdate()) return PassEnd::Finished;
    // A dry run ends where the run would ask: everything it could check has passed.
    if (State.DryRun != 0) {
        result = ResultUpdated;
        return PassEnd::Finished;
    }
    // Only an explicit Yes is consent; a box that could not be shown declines.
    if (State.UpdateAll == 0 && ShowMessage(82, StyleYesNo) != AnswerYes) {
        result = ResultDeclined;
        return PassEnd::Finished;
    }

    result = ResultStopRun;
    ShowMessage(61, StyleReport);
    BeginDriveWriting();
    if (PreUpdateWrite() != 0) return PassEnd::Finished;
    if (!SwitchIntoUpdateMode()) return PassEnd::Finished;
    if (State.Selection.PartsFlag == 0 && !WriteKernelPart()) return PassEnd::Finished;

    const bool written = WriteNormalPart();
    if (written) {
        PrintClosingText();
        Commit();
    }

    if (ReadDriveIdentity(IdentityPhaseAfter) != 0) return PassEnd::Finished;
    if (!written) return PassEnd::PartialImage;
    if (!RunsNewFirmware()) return PassEnd::NotInNormal;
    ShowMessage(12, StyleReport);
    result = ResultUpdated;
    return PassEnd::Finished;
}

}  // namespace

int UpdateCurrentGeneration() {
    // A drive that cannot be identified, or no longer matches, is not touched.
    if (SelectDefinitionForTarget() != 0) return ResultNotUpdated;
    for (;;) {
        int result = ResultStopRun;
        const PassEnd end = RunPass(result);
        if (end == PassEnd::Finished) return result;
        // The repeated commit applies only to a complete transfer: a partial image must
        // never be committed.
        if (end == PassEnd::NotInNormal && IntelOnAspi()) {
            LeaveUpdateMode(State.CurrentKind);
            WaitMilliseconds(PauseAfterCommitMs);
        }
        if (ShowMessage(47, StyleYesNo) != AnswerYes) return ResultStopRun;
    }
}
