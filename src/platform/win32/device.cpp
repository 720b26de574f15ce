// SCSI pass-through on the drive-letter device: CreateFileA on \\.\X: and DeviceIoControl.
#include <cstddef>
#include <cstring>

#include "platform/win32/win32_api.h"
#include "platform/win32/win32_blocks.h"

// The program builds the block by offsets; these are the SDK's own for 32-bit Windows.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == Sptd::StructSize, "44 bytes on 32-bit Windows");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == Sptd::Length, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == Sptd::ScsiStatus, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == Sptd::PathId, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == Sptd::TargetId, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == Sptd::Lun, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == Sptd::CdbLength, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == Sptd::SenseInfoLength, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == Sptd::DataIn, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == Sptd::DataTransferLength,
              "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == Sptd::TimeOutValue, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == Sptd::DataBuffer, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == Sptd::SenseInfoOffset, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == Sptd::Cdb, "");
static_assert(SCSI_IOCTL_DATA_OUT == Sptd::DATA_OUT && SCSI_IOCTL_DATA_IN == Sptd::DATA_IN &&
                  SCSI_IOCTL_DATA_UNSPECIFIED == Sptd::DATA_UNSPECIFIED,
              "");
static_assert(IOCTL_SCSI_GET_CAPABILITIES == 0x41010 && IOCTL_SCSI_GET_ADDRESS == 0x41018 &&
                  IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014,
              "");
static_assert(sizeof(SCSI_ADDRESS) == 8, "");
static_assert(sizeof(IO_SCSI_CAPABILITIES) == 24, "");

namespace {

// The error of a failed call; never "success" for a call that failed.
uint32_t LastError() {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

}  // namespace

DeviceHandle PlatformOpenDevice(char letter, uint32_t access, uint32_t* error) {
    const char name[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    const HANDLE device = CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        *error = LastError();
        return InvalidDeviceHandle;
    }
    *error = ERROR_SUCCESS;
    return FromHandle(device);
}

// Windows has no lock of its own that the program could take here: the drive is held by the
// open handles of each command and by the media-notification control.
uint32_t PlatformClaimDevice(char, int32_t* holder) {
    *holder = 0;
    return ERROR_SUCCESS;
}

void PlatformReleaseDevice(char) {}

void PlatformReportDeviceBusy(char, int32_t) {}

// The handle's rights and the port's transfer limit show only when a command is sent.
uint32_t PlatformCheckWriteRoute(char, uint32_t, uint32_t* limitKb) {
    *limitKb = 0;
    return ERROR_SUCCESS;
}

// The Windows program reads no command line: no drive is ever named.
void PlatformReportNotTarget(char) {}

bool PlatformGenericNodeName(char, char*, size_t) {
    return false;
}

bool PlatformLetterOfDevicePath(const char*, char*) {
    return false;
}

void PlatformCloseDevice(DeviceHandle handle) {
    if (handle != InvalidDeviceHandle) CloseHandle(AsHandle(handle));
}

uint32_t PlatformGetCapabilities(DeviceHandle handle) {
    IO_SCSI_CAPABILITIES capabilities = {};
    DWORD returned = 0;
    if (!DeviceIoControl(AsHandle(handle), IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &capabilities,
                         sizeof capabilities, &returned, nullptr)) {
        return LastError();
    }
    return ERROR_SUCCESS;
}

uint32_t PlatformGetScsiAddress(DeviceHandle handle, uint8_t address[8]) {
    SCSI_ADDRESS answer = {};
    DWORD returned = 0;
    if (!DeviceIoControl(AsHandle(handle), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &answer,
                         sizeof answer, &returned, nullptr)) {
        return LastError();
    }
    PutLe32(address, answer.Length);
    address[4] = answer.PortNumber;
    address[5] = answer.PathId;
    address[6] = answer.TargetId;
    address[7] = answer.Lun;
    return ERROR_SUCCESS;
}

uint32_t PlatformPassThroughDirect(DeviceHandle handle, uint8_t block[Sptd::BlockSize],
                                   uint8_t* data) {
    const uint32_t refused = CheckPassThroughBlock(block, data);
    if (refused != ERROR_SUCCESS) {
        ClearPassThroughAnswer(block);
        return refused;
    }
    // The structure's own alignment, whatever the program's block has.
    union {
        SCSI_PASS_THROUGH_DIRECT Aligned;
        uint8_t Bytes[Sptd::BlockSize];
    } wire;
    Win32Blocks::PackPassThroughDirect(
        block, static_cast<Win32Blocks::Pointer32>(reinterpret_cast<uintptr_t>(data)), wire.Bytes);
    DWORD returned = 0;
    if (!DeviceIoControl(AsHandle(handle), IOCTL_SCSI_PASS_THROUGH_DIRECT, wire.Bytes,
                         Sptd::BlockSize, wire.Bytes, Sptd::BlockSize, &returned, nullptr)) {
        // No answer of the drive: the status byte must not be read as one.
        ClearPassThroughAnswer(block);
        return LastError();
    }
    Win32Blocks::UnpackPassThroughDirect(wire.Bytes, block);
    return ERROR_SUCCESS;
}

int PlatformMediaNotificationControl(DeviceHandle handle, uint8_t value) {
    BYTE input = value;  // PREVENT_MEDIA_REMOVAL
    DWORD returned = 0;
    return DeviceIoControl(AsHandle(handle), IoctlStorageMcnControl, &input, sizeof input, nullptr,
                           0, &returned, nullptr)
               ? 1
               : 0;
}

bool PlatformDeviceName(char letter, char* name, size_t size) {
    if (letter < 'D' || letter > 'Z' || size < 7) return false;
    const char device[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    std::memcpy(name, device, sizeof device);
    return true;
}
