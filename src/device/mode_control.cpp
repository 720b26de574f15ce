#include "device/mode_control.h"

#include <cstdio>
#include <cstring>

#include "base/drive_writing.h"
#include "base/run_state.h"
#include "base/timing.h"
#include "console/message.h"
#include "device/command_executor.h"
#include "device/drive_commands.h"

namespace {

constexpr int ModelStringLength = 16;
constexpr int ValueOffset = 16;
constexpr int EditionOffset = 24;  // KernelModelName in the FirmwareInfoPage
constexpr int EditionLength = 8;

constexpr int ModeIntoKernel = 4;
constexpr int ModeIntoNormal = 5;
constexpr int BufferModeSwitch = 0xFF;

constexpr int BufferUnlockChallenge = 0xE0;
constexpr int BufferUnlockResponse = 0xE1;
constexpr int BufferUnlockCommit = 0xE2;
constexpr int UnlockLength = 16;
constexpr uint32_t NotTakingPart = 0x052400;  // ILLEGAL REQUEST, INVALID FIELD IN CDB

constexpr int32_t EditionClassScsiGeneral = 0x300;

bool EditionIs(const uint8_t* edition, const char* code) {
    return std::memcmp(edition, code, EditionLength) == 0;
}

// The model string the drive expects for its kind, or null for kinds without one.
const char* ModelStringFor(int32_t kind, SwitchDirection direction) {
    switch (kind) {
        case 0x1003:
            return "KESTREL QXR-T510";
        case 0x1004:
            return "KESTREL DVD-Q720";
        case 0x1005:
            return "KESTREL  QXR-730";
        case 0x100D:
        case 0x1048:
            return "KESTREL  QXR-M28";
        case 0x1041:
            return direction == SwitchToKernel ? "KESTREL  QXR-730" : "KESTREL  QXR-M21";
        default:
            return nullptr;
    }
}

bool CarriesModeSwitchValue(int32_t kind) {
    return kind == 0x100D || kind == 0x1048;
}

bool InRange(int32_t kind, int32_t low, int32_t high) {
    return kind >= low && kind <= high;
}

bool IsKernelModeIdentity(const uint8_t* inquiry) {
    return std::memcmp(inquiry + 32, "0000", 4) == 0 &&
           std::memcmp(inquiry + 8, "KESTREL DVD-RW  QXR-", 20) == 0;
}

int StepFailed(int step, int result) {
    std::snprintf(State.Text, sizeof State.Text, "\nError occurred at step %d.", step);
    ConsolePrint(State.Text);
    return result;
}

// The three buffer commands of the exchange: 0 done or skipped (the drive does not take
// part), otherwise the failing command's result, reported with its step.
int ExchangeUnlockKeys(uint8_t* buffer) {
    int result =
        ReadBuffer(State.SelectedTarget, 2, BufferUnlockChallenge, 0, UnlockLength, buffer);
    if (result != CommandSucceeded) {
        CaptureSense();
        if (State.SenseCode == NotTakingPart || State.IntelAtaDriver) return CommandSucceeded;
        return StepFailed(0, result);
    }
    uint8_t challenge[UnlockLength];
    std::memcpy(challenge, buffer, UnlockLength);
    ComputeUnlockResponse(challenge, State.Selection.ModeSwitchValue, buffer);
    result = WriteBuffer(State.SelectedTarget, 2, BufferUnlockResponse, 0, UnlockLength, buffer);
    if (result != CommandSucceeded) return StepFailed(1, result);
    result = WriteBuffer(State.SelectedTarget, 2, BufferUnlockCommit, 0, 0, buffer);
    if (result != CommandSucceeded) return StepFailed(2, result);
    return CommandSucceeded;
}

}  // namespace

uint32_t ModeSwitchValueFor(const uint8_t* edition, uint32_t value, SwitchDirection direction) {
    if (EditionIs(edition, "COMPO   ")) return value;
    if (EditionIs(edition, "HALDOR  ") || EditionIs(edition, "HALDOR2 ") ||
        EditionIs(edition, "GENERAL ")) {
        return value + 6;
    }
    if (EditionIs(edition, "FINCH   ") && direction == SwitchToKernel) {
        // Only the least significant byte moves: no carry into the upper bytes.
        return (value & 0xFFFFFF00u) | ((value + 5) & 0xFFu);
    }
    return value + 5;
}

void BuildModeSwitchBlock(int32_t kind, SwitchDirection direction, uint8_t* block) {
    std::memset(block, 0, ModeSwitchBlockSize);
    const char* model = ModelStringFor(kind, direction);
    if (model == nullptr) return;
    std::memcpy(block, model, ModelStringLength);
    if (!CarriesModeSwitchValue(kind)) return;
    const uint32_t value = ModeSwitchValueFor(State.FirmwareInfoPage + EditionOffset,
                                              State.Selection.ModeSwitchValue, direction);
    for (int i = 0; i < 4; ++i) block[ValueOffset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t LeaveUpdateModeTimeout(int32_t kind) {
    const bool selectedListed =
        State.SelectedTarget >= 0 && State.SelectedTarget < TargetListCapacity;
    if (kind == 0x1005 || kind == 0x1041) return 30000;
    if (InRange(kind, 0x1006, 0x100E) || InRange(kind, 0x1042, 0x1048)) return 180000;
    if (InRange(kind, 0x4001, 0x4003)) return 60000;
    if (State.UsesAspi && selectedListed &&
        State.Ieee1394Marker == State.TargetList[State.SelectedTarget].HostAdapter) {
        return 10000;
    }
    if (kind == 0x1003 && !State.UsesAspi && State.Ieee1394Marker == State.SelectedTarget) {
        return 20000;
    }
    if (kind == 0x1003 && State.UsesAspi) return 10000;
    return 5000;
}

int EnterUpdateMode(int32_t kind) {
    State.CommandTimeout = 10000;
    int result = CommandFailed;
    if (State.CommandData != nullptr) {
        BuildModeSwitchBlock(kind, SwitchToKernel, State.CommandData);
        result = WriteBuffer(State.SelectedTarget, ModeIntoKernel, BufferModeSwitch, 0,
                             ModeSwitchBlockSize, State.CommandData);
        // Only a drive that answered with a status refused; a lost answer may hide a switch.
        if (result != CommandCheckCondition) NoteUpdateModeEntered(State.SelectedTarget);
    }
    if (result != CommandSucceeded) {
        ShowMessage(14, StyleReport);
        return result;
    }
    State.CommandTimeout = 1000;
    if (!(State.IntelAtaDriver && State.UsesAspi)) WaitMilliseconds(2000);
    return CommandSucceeded;
}

int LeaveUpdateMode(int32_t kind) {
    State.CommandTimeout = LeaveUpdateModeTimeout(kind);
    int result = CommandFailed;
    if (State.CommandData != nullptr) {
        BuildModeSwitchBlock(kind, SwitchToNormal, State.CommandData);
        result = WriteBuffer(State.SelectedTarget, ModeIntoNormal, BufferModeSwitch, 0,
                             ModeSwitchBlockSize, State.CommandData);
    }
    State.CommandTimeout = 5000;

    if (result != CommandSucceeded) {
        CaptureSense();
        const uint32_t senseByte2 = (State.SenseCode >> 16) & 0xFF;
        if (State.EditionClass == EditionClassScsiGeneral && !State.UsesAspi) {
            result = CommandSucceeded;  // the SCSI drive drops the command as it re-flashes
        } else if (State.Ieee1394Marker != -1 && (senseByte2 == 2 || senseByte2 == 6)) {
            result = CommandSucceeded;  // already rebooting
        } else {
            ShowMessage(15, StyleReport);
            return result;
        }
    }
    WaitMilliseconds(5000);
    if (State.EditionClass == EditionClassScsiGeneral) TestUnitReady(State.SelectedTarget);
    return result;
}

int UnlockUpdateMode() {
    if (State.CommandData == nullptr) return StepFailed(0, CommandFailed);
    int result = ExchangeUnlockKeys(State.CommandData);
    if (result != CommandSucceeded) return result;

    result = EnterUpdateMode(State.CurrentKind);
    if (result == CommandSucceeded) {
        WaitMilliseconds(100);
        if (Inquiry(State.SelectedTarget, State.InquiryData) != CommandSucceeded) {
            ConsolePrint("\nFailed to execute Inquiry Command.");
            return -1;
        }
        if (IsKernelModeIdentity(State.InquiryData)) State.InUpdateMode = 1;
    }
    WaitMilliseconds(100);
    return result;
}

void ComputeUnlockResponse(const uint8_t challenge[16], uint32_t modeSwitchValue,
                           uint8_t response[16]) {
    for (int i = 0; i < 16; ++i) {
        const uint8_t key = static_cast<uint8_t>(modeSwitchValue >> (8 * (i % 4)));
        const unsigned mixed = static_cast<uint8_t>(challenge[i] ^ key);
        const int shift = i % 8;
        const unsigned rotated = shift == 0 ? mixed : ((mixed << shift) | (mixed >> (8 - shift)));
        response[i] = static_cast<uint8_t>(rotated + static_cast<unsigned>(i));
    }
}
