// SCSI pass-through on the drive-letter device: the 80-byte block of SCSI_PASS_THROUGH_DIRECT
// with its sense area at 48, built byte by byte.
#include <cstring>

#include "base/run_state.h"
#include "device/command_executor.h"
#include "device/transport.h"
#include "platform/platform_device.h"

namespace {

static_assert(Sptd::Cdb + CdbCapacity == Sptd::StructSize, "the CDB ends the structure");
static_assert(Sptd::SenseArea >= Sptd::StructSize, "the sense area follows the structure");
static_assert(Sptd::SenseArea + 32 == Sptd::BlockSize, "32 bytes of sense area");
static_assert(SenseLength <= 32, "the sense bytes fit the sense area");

constexpr uint32_t GenericReadWrite = 0xC0000000;  // GENERIC_READ | GENERIC_WRITE
constexpr uint32_t NoLimitSeconds = 60;            // what a request without limit gets
constexpr uint32_t ProbeSeconds = 2;

uint8_t DataInFor(int32_t direction) {
    switch (direction) {
        case DataIn:
            return Sptd::DATA_IN;
        case DataOut:
            return Sptd::DATA_OUT;
        default:
            return Sptd::DATA_UNSPECIFIED;
    }
}

void BuildBlock(const uint8_t* cdb, int cdbLength, uint8_t dataIn, uint32_t length,
                uint32_t timeoutSeconds) {
    BuildPassThroughBlock(State.PassThroughBlock, State.ScsiAddress, cdb, cdbLength, dataIn, length,
                          timeoutSeconds, SenseLength);
}

// How many sense bytes the last request returned, as far as SenseBuffer holds them.
size_t ReturnedSenseLength() {
    const size_t length = State.PassThroughBlock[Sptd::SenseInfoLength];
    return length < SenseLength ? length : SenseLength;
}

int Submit(uint8_t* data) {
    if (!State.DeviceSlotHeld) return CommandFailed;
    uint8_t* block = State.PassThroughBlock;
    const uint32_t error = PlatformPassThroughDirect(State.DeviceSlot, block, data);
    if (error != ERROR_SUCCESS) {
        // The call itself failed: the status byte says nothing, so this is never success,
        // and no sense of an earlier command may be mistaken for this one's.
        // A refusal for lack of privilege (SG_IO's EPERM without CAP_SYS_RAWIO) is kept
        // so that the user is told why.
        if (error == ERROR_ACCESS_DENIED) State.DeviceAccessDenied = 1;
        block[Sptd::SenseInfoLength] = 0;
        std::memset(State.SenseBuffer, 0, sizeof State.SenseBuffer);
        return CommandFailed;
    }
    if (block[Sptd::ScsiStatus] != 0) {
        std::memcpy(State.SenseBuffer, block + Sptd::SenseArea, ReturnedSenseLength());
        return CommandCheckCondition;
    }
    return CommandSucceeded;
}

void NoteFailedOpen(uint32_t error) {
    State.DeviceOpenError = error;
    if (error == ERROR_ACCESS_DENIED) State.DeviceAccessDenied = 1;
}

}  // namespace

int ClaimDriveLetter(char letter, int32_t* holder) {
    *holder = 0;
    const uint32_t error = PlatformClaimDevice(letter, holder);
    if (error == ERROR_BUSY) return ClaimBusy;
    return error == ERROR_SUCCESS ? ClaimHeld : ClaimNoDrive;
}

void ReleaseDriveLetter(char letter) {
    PlatformReleaseDevice(letter);
}

int OpenDriveDevice(char letter) {
    State.Ieee1394Marker = -1;
    if (State.DeviceSlotHeld) CloseDriveDevice();

    uint32_t error = ERROR_SUCCESS;
    const DeviceHandle handle = PlatformOpenDevice(letter, GenericReadWrite, &error);
    if (handle == InvalidDeviceHandle) {
        NoteFailedOpen(error);
        return -1;
    }
    State.DeviceSlot = handle;
    State.DeviceSlotHeld = 1;

    error = PlatformGetCapabilities(handle);
    if (error != ERROR_SUCCESS && error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) {
        State.DeviceOpenError = error;
        return -1;
    }

    std::memset(State.ScsiAddress, 0, sizeof State.ScsiAddress);
    error = PlatformGetScsiAddress(handle, State.ScsiAddress);
    if (error == ERROR_NOT_SUPPORTED) {
        // A port without SCSI addresses: the IEEE 1394 attachment, which gets other time-outs.
        State.Ieee1394Marker = State.SelectedTarget;
        std::memset(State.ScsiAddress, 0, sizeof State.ScsiAddress);
    } else if (error != ERROR_SUCCESS) {
        State.DeviceOpenError = error;
        return -1;
    }
    return 0;
}

int CloseDriveDevice() {
    if (State.DeviceSlotHeld) PlatformCloseDevice(State.DeviceSlot);
    State.DeviceSlot = InvalidDeviceHandle;
    State.DeviceSlotHeld = 0;
    return 0;
}

int ExecuteSptiCommand(const CommandRequest& request) {
    // Opened afresh for every command, so the address and Ieee1394Marker are this device's.
    if (OpenDriveDevice(State.TargetList[request.Target].DriveLetter) != 0) {
        return CommandNotDelivered;
    }
    const uint32_t timeoutMs = static_cast<uint32_t>(request.Timeout);
    const uint32_t seconds = timeoutMs == 0 ? NoLimitSeconds : timeoutMs / 1000;
    BuildBlock(request.Cdb, ClampCdbLength(request.CdbLength), DataInFor(request.Direction),
               static_cast<uint32_t>(request.TransferLength), seconds);
    return Submit(request.Buffer);
}

int SptiProbe(const uint8_t* cdb, int cdbLength, uint8_t* buffer, uint32_t length) {
    BuildBlock(cdb, ClampCdbLength(cdbLength), Sptd::DATA_IN, length, ProbeSeconds);
    return Submit(buffer);
}

void CaptureSptiSense() {
    std::memcpy(State.SenseBuffer, State.PassThroughBlock + Sptd::SenseArea, ReturnedSenseLength());
}
