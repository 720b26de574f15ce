#include "update/legacy_generation.h"

#include "base/battery.h"
#include "base/drive_writing.h"
#include "base/run_state.h"
#include "base/timing.h"
#include "console/message.h"
#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "update/drive_identity.h"
#include "update/hex_image.h"
#include "update/legacy_models.h"

namespace {

constexpr uint32_t ComparedMemory = 0x20000;
constexpr uint32_t PauseAfterFlashMs = 2000;

// The main image as LoadHexImage left it in ImageBuffer.
ImageFingerprint ImageNow() {
    return FingerprintOf(State.ImageBuffer, static_cast<uint32_t>(State.ImageSize));
}

bool ComparesMemory() {
    return State.CurrentKind <= LegacyKindLastCompared;
}

}  // namespace

int UpdateLegacyGeneration() {
    if (LegacySelectDefinition() == -1) return 1;
    // A definition whose image does not fit the buffers is refused before any file is read
    // or anything is written.
    if (!LegacyImageFitsBuffers()) {
        ShowMessage(67, StyleReport);
        return 1;
    }
    if (LoadHexImage() != 0) {
        ShowMessage(20, StyleReport);
        return -1;
    }
    const ImageFingerprint checked = ImageNow();
    if (ReadDriveIdentity(IdentityPhaseBefore) != 0) return -1;
    if (State.NeedsG6Patch != 0 && LoadPatchHex() != 0) {
        ShowMessage(21, StyleReport);
        return -1;
    }
    const int validation = ValidateLegacyImage();
    if (validation != 0) return validation;
    if (ComparesMemory() && CompareDriveMemory(ComparedMemory) == 0) {
        ShowMessage(4, State.UpdateAll == 1 ? StyleReport : StyleInformation);
        return 1;
    }
    // The comparison used WorkBuffer, and the patch load reset the image part of it. A file
    // changed since the check is not the image that was checked.
    if (LoadHexImage() != 0 || !SameFingerprint(ImageNow(), checked)) {
        ShowMessage(20, StyleReport);
        return -1;
    }

    // Nothing is written without consent: unless the user agreed to update every drive,
    // this one is asked for, and only Yes goes on (a box that could not be shown declines).
    // Not started on a battery that may run out halfway (before the question, or before the
    // first write when there is none).
    if (!PowerAllowsDriveUpdate()) return 1;
    if (State.UpdateAll == 0 && ShowMessage(99, StyleYesNo) != AnswerYes) return 7;

    ShowMessage(61, StyleReport);
    BeginDriveWriting();
    int result = LegacyPrepareDownload();
    if (result != 0) {
        ShowMessage(22, StyleReport);
        return result;
    }
    if (StopUnit() != 0) CaptureSense();
    result = TransferLegacyImage();
    if (result != 0) {
        ShowMessage(23, StyleReport);
        return result;
    }
    result = RunTimedFlash();
    if (result != 0) {
        ShowMessage(24, StyleReport);
        return result;
    }
    WaitMilliseconds(PauseAfterFlashMs);

    if (ComparesMemory() && CompareDriveMemory(ComparedMemory) != 0) {
        ShowMessage(25, StyleReport);
        return 1;
    }
    if (ReadDriveIdentity(IdentityPhaseAfter) != 0) return -1;
    ShowMessage(12, StyleReport);
    return 0;
}
