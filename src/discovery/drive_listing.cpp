#include "discovery/drive_listing.h"

#include <cstring>

#include "base/run_state.h"
#include "device/command_executor.h"
#include "discovery/target_enumeration.h"

namespace {

constexpr uint8_t WriteOnceDevice = 4;
constexpr uint8_t CdDvdDevice = 5;
constexpr int RevisionOffset = 32;
constexpr int IdentityOffset = 8;

}  // namespace

bool IdentifiesKernelOnly(const uint8_t* inquiry) {
    return std::memcmp(inquiry + RevisionOffset, "0000", 4) == 0 &&
           std::memcmp(inquiry + IdentityOffset, "KESTREL DVD-RW  QXR-", 20) == 0;
}

int ListOpticalDrives(ListedDrive drives[ListedDriveCapacity]) {
    if (State.UsesAspi == 1 || State.WorkBuffer == nullptr ||
        State.WorkBufferSize < InquiryLength) {
        return 0;
    }
    int count = 0;
    for (char letter = 'D'; letter <= 'Z' && count < ListedDriveCapacity; ++letter) {
        if (!LetterConsidered(letter)) continue;
        // A drive that answers with fewer bytes must not show the last drive's.
        std::memset(State.WorkBuffer, 0, InquiryLength);
        std::memset(State.FirmwareInfoPage, 0, sizeof State.FirmwareInfoPage);
        // Held only while the drive is asked.
        int32_t holder = 0;
        const int claim = ClaimDriveLetter(letter, &holder);
        if (claim == ClaimBusy) {
            ListedDrive& drive = drives[count++];
            std::memset(&drive, 0, sizeof drive);
            drive.Letter = letter;
            drive.Entry = -1;
            drive.Busy = 1;
            drive.Holder = holder;
            continue;
        }
        if (claim != ClaimHeld) continue;
        if (OpenDriveDevice(letter) != 0 || ProbeInquiry(0, 0) != 0) {
            CloseDriveDevice();
            ReleaseDriveLetter(letter);
            continue;
        }
        if (ProbeVendorPage(0, 0) != 0) {
            std::memset(State.FirmwareInfoPage, 0, sizeof State.FirmwareInfoPage);  // partly read
        }
        CloseDriveDevice();
        ReleaseDriveLetter(letter);

        // MatchDefinition only ever sets the flag; this drive's own answer is wanted.
        State.InUpdateMode = 0;
        const int entry = MatchDefinition(State.WorkBuffer);
        const uint8_t type = State.WorkBuffer[0];
        if (entry < 0 && type != WriteOnceDevice && type != CdDvdDevice) continue;

        ListedDrive& drive = drives[count++];
        drive.Letter = letter;
        std::memcpy(drive.Inquiry, State.WorkBuffer, InquiryLength);
        drive.Entry = entry;
        drive.InUpdateMode =
            entry >= 0 && (State.InUpdateMode == 1 || IdentifiesKernelOnly(drive.Inquiry));
        drive.Busy = 0;
        drive.Holder = 0;
    }
    State.InUpdateMode = 0;
    return count;
}
