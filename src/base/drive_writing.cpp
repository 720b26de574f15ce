#include "base/drive_writing.h"

#include <cstring>

#include "base/drive_record.h"
#include "base/run_state.h"
#include "platform/platform_power.h"
#include "platform/platform_signals.h"

namespace {

constexpr int InquiryRevisionOffset = 32;

bool Listed(int target) {
    return target >= 0 && target < TargetListCapacity;
}

}  // namespace

void BeginDriveWriting() {
    const int target = State.SelectedTarget;
    if (!Listed(target)) return;
    State.DriveWritten[target] = 1;
    RecordWritingStart();
    const char letter = State.TargetList[target].DriveLetter;
    PlatformBeginCriticalSection(letter);
    // A machine that sleeps or shuts down halfway cuts the drive off just as an interrupt
    // would: held for the same stretch.
    if (State.MachineHeld == 0) {
        PlatformSetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED, letter);
        State.MachineHeld = 1;
    }
}

void EndDriveWriting() {
    PlatformEndCriticalSection();
    if (State.MachineHeld != 0) {
        const int target = State.SelectedTarget;
        PlatformSetThreadExecutionState(ES_CONTINUOUS,
                                        Listed(target) ? State.TargetList[target].DriveLetter : 0);
        State.MachineHeld = 0;
    }
}

int HeldInterrupt() {
    return PlatformHeldInterrupt();
}

void NoteUpdateModeEntered(int target) {
    if (Listed(target)) State.DriveInUpdateMode[target] = 1;
}

// Only the kernel reports a revision of "000..."; any other is the normal firmware.
void NoteDriveIdentity(int target, const uint8_t* inquiry) {
    if (!Listed(target)) return;
    const bool kernel = std::memcmp(inquiry + InquiryRevisionOffset, "000", 3) == 0;
    State.DriveInUpdateMode[target] = kernel ? 1 : 0;
}

void ReportDrivesLeftInUpdateMode() {
    for (int target = 0; target < State.TargetCount && target < TargetListCapacity; ++target) {
        if (State.DriveWritten[target] != 0 && State.DriveInUpdateMode[target] != 0) {
            PlatformReportUpdateModeLeft(State.TargetList[target].DriveLetter);
        }
    }
}
