#include "update/target_preparation.h"

#include <cstring>

#include "base/run_state.h"
#include "base/update_definition.h"
#include "console/message.h"
#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "discovery/target_enumeration.h"

namespace {

constexpr int FirmwareInfoMode = 2;  // READ BUFFER data mode
constexpr int FirmwareInfoBufferId = 0xF1;
constexpr int NormalModelNameOffset = 32;

constexpr int InquiryRevisionOffset = 32;
constexpr int InquiryIdentityOffset = 8;
const char* const KernelModeRevisionMark = "000";
const char* const KernelIdentityPrefix = "KESTREL DVD-RW  QXR-";

// Sense bytes as EnsureNoDisc reads them: byte 2 whole, with its flag bits.
constexpr int SenseKeyByte = 2;
constexpr int SenseAscByte = 12;
constexpr int SenseAscqByte = 13;
constexpr uint8_t NotReady = 0x02;
constexpr uint8_t UnitAttention = 0x06;
constexpr uint8_t MediumNotPresent = 0x3A;
constexpr uint8_t LogicalUnitNotReady = 0x04;
constexpr uint8_t BecomingReady = 0x01;
constexpr uint8_t InitializingCommandRequired = 0x02;

// A drive that keeps reporting UNIT ATTENTION is not left to spin the run forever.
constexpr int UnitAttentionRepeats = 10;

// A loaded disc is no obstacle for this kind.
constexpr int32_t KindDiscAllowed = 0x1041;

}  // namespace

bool ReportsKernelIdentity(const uint8_t* inquiry) {
    return std::memcmp(inquiry + InquiryRevisionOffset, KernelModeRevisionMark, 3) == 0 &&
           std::memcmp(inquiry + InquiryIdentityOffset, KernelIdentityPrefix, 20) == 0;
}

int SelectDefinitionForTarget() {
    int rc = Inquiry(State.SelectedTarget, State.InquiryData);
    if (rc != 0) {
        ShowMessage(9, StyleError);
        return rc;
    }
    rc = ReadFirmwareInfo();
    if (rc != 0) {
        ShowMessage(0, StyleError);
        return rc;
    }
    const int index = MatchDefinition(State.InquiryData);
    if (index < 0) {
        // The drive changed its identity since enumeration. An earlier drive's entry must
        // never be applied to it: the caller leaves it alone.
        ShowMessage(49, StyleError);
        return -1;
    }
    SelectDefinitionEntry(index);
    return 0;
}

int ReadFirmwareInfo() {
    State.NormalPartAbsent = -1;
    std::memset(State.SenseBuffer, 0, sizeof State.SenseBuffer);
    int rc = ReadBuffer(State.SelectedTarget, FirmwareInfoMode, FirmwareInfoBufferId, 0,
                        FirmwareInfoPageLength, State.FirmwareInfoPage);
    // A drive that rebooted since it was last asked (the commit before a retry, a power loss)
    // answers its first command other than INQUIRY with UNIT ATTENTION, which reports only
    // that: the page is asked once more, or the retry after a reboot could never go on.
    if (rc != 0) {
        CaptureSense();
        if (State.SenseBuffer[SenseKeyByte] == UnitAttention) {
            rc = ReadBuffer(State.SelectedTarget, FirmwareInfoMode, FirmwareInfoBufferId, 0,
                            FirmwareInfoPageLength, State.FirmwareInfoPage);
        }
    }
    if (rc != 0) return rc;
    // A blank first character means the drive has no normal part and runs only its kernel.
    const int kernelOnly = State.FirmwareInfoPage[NormalModelNameOffset] == ' ' ? 1 : 0;
    State.NormalPartAbsent = kernelOnly;
    State.InUpdateMode = kernelOnly;
    return 0;
}

int EnsureNoDisc() {
    // Its result does not matter: TEST UNIT READY tells the state. A dry run changes nothing
    // on the drive, so it asks TEST UNIT READY alone.
    if (State.DryRun == 0) StopUnit();
    for (int attempt = 0; attempt <= UnitAttentionRepeats; ++attempt) {
        if (TestUnitReady(State.SelectedTarget) == 0) {
            if (State.CurrentKind == KindDiscAllowed) return 0;
            ShowMessage(5, StyleInformation);
            return -1;
        }
        CaptureSense();
        const uint8_t key = State.SenseBuffer[SenseKeyByte];
        const uint8_t asc = State.SenseBuffer[SenseAscByte];
        const uint8_t ascq = State.SenseBuffer[SenseAscqByte];
        if (key == NotReady && asc == MediumNotPresent) return 0;
        if (key == NotReady && asc == LogicalUnitNotReady && ascq == InitializingCommandRequired) {
            return 0;
        }
        if (key == NotReady && asc == LogicalUnitNotReady && ascq == BecomingReady) {
            ShowMessage(6, StyleReport);
            return -1;
        }
        if (key == UnitAttention) continue;
        // The Intel ATA driver fails TEST UNIT READY on an empty drive without sense data.
        if (State.IntelAtaDriver == 1 && State.SenseCode == 0) return 0;
        break;
    }
    ShowMessage(7, StyleReport);
    return -1;
}

int ConfirmUpdateMode() {
    if (Inquiry(State.SelectedTarget, State.InquiryData) != 0) {
        ShowMessage(62, StyleReport);  // 62 has no text: the unknown-message text is shown
        return -1;
    }
    if (ReportsKernelIdentity(State.InquiryData)) {
        State.InUpdateMode = 1;
        return 0;
    }
    State.InUpdateMode = 0;
    return -1;
}
