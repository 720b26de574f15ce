#include "device/drive_commands.h"

#include <cstring>

#include "base/drive_writing.h"
#include "base/run_state.h"
#include "device/command_executor.h"
#include "device/transport.h"
#include "platform/platform_device.h"

namespace {

constexpr uint8_t OpTestUnitReady = 0x00;
constexpr uint8_t OpInquiry = 0x12;
constexpr uint8_t OpStartStopUnit = 0x1B;
constexpr uint8_t OpWriteBuffer = 0x3B;
constexpr uint8_t OpReadBuffer = 0x3C;
constexpr uint8_t OpReportKey = 0xA4;

constexpr int32_t InquiryTimeoutMs = 5000;
constexpr int32_t InquiryTimeoutIeee1394Ms = 1000;

constexpr uint8_t ModeVendor = 1;
constexpr uint8_t ModeData = 2;
constexpr uint8_t ModeDownload = 7;
constexpr uint8_t ModeCommit = 5;

constexpr uint8_t BufferPreUpdate = 0xD4;
constexpr uint8_t BufferKernel = 0xFE;
constexpr uint8_t BufferNormal = 0xF0;
constexpr uint8_t BufferLegacyPrepare = 0x30;
constexpr uint8_t BufferLegacyImage = 0xFF;
constexpr uint8_t BufferLegacyFlash = 0x42;
constexpr uint8_t BufferLegacyMemory = 0x80;
constexpr uint8_t BufferFirmwareInfo = 0xF1;

constexpr uint8_t SenseKeyUnitAttention = 0x06;

constexpr uint32_t PreUpdateOffset = 0x780;
constexpr uint32_t ChunkTimeoutMs = 20000;

// MCN control input: hold notifications off while the program runs, give them back at the end.
constexpr uint8_t HoldMediaNotification = 1;
constexpr uint8_t ReleaseMediaNotification = 0;

CommandRequest NewRequest(int target, int cdbLength, int32_t direction, uint32_t length,
                          uint8_t* buffer, uint32_t timeoutMs) {
    CommandRequest request;
    std::memset(&request, 0, sizeof request);
    request.Target = target;
    request.CdbLength = cdbLength;
    request.Direction = direction;
    request.TransferLength = static_cast<int32_t>(length);
    request.Buffer = buffer;
    request.Timeout = static_cast<int32_t>(timeoutMs);
    return request;
}

void PutBufferFields(uint8_t* cdb, uint8_t op, int mode, int bufferId, uint32_t offset,
                     uint32_t length) {
    cdb[0] = op;
    cdb[1] = static_cast<uint8_t>(mode);
    cdb[2] = static_cast<uint8_t>(bufferId);
    cdb[3] = static_cast<uint8_t>(offset >> 16);
    cdb[4] = static_cast<uint8_t>(offset >> 8);
    cdb[5] = static_cast<uint8_t>(offset);
    cdb[6] = 0;  // the top byte of the length field: no transfer exceeds FFFFh
    cdb[7] = static_cast<uint8_t>(length >> 8);
    cdb[8] = static_cast<uint8_t>(length);
}

// The CDB carries 16 bits of length; the transfer moves no more than the drive is told.
uint32_t CdbLength16(uint32_t length) {
    return length & 0xFFFF;
}

void FillProbeCdb(uint8_t* cdb, bool vendorPage) {
    if (vendorPage) {
        PutBufferFields(cdb, OpReadBuffer, ModeData, BufferFirmwareInfo, 0, FirmwareInfoPageLength);
    } else {
        cdb[0] = OpInquiry;
        cdb[4] = static_cast<uint8_t>(InquiryLength);
    }
}

int Probe(int hostAdapter, int targetId, bool vendorPage) {
    uint8_t cdb[CdbCapacity] = {};
    FillProbeCdb(cdb, vendorPage);
    const int cdbLength = vendorPage ? 10 : 6;
    uint8_t* buffer = vendorPage ? State.FirmwareInfoPage : State.WorkBuffer;
    const uint32_t length = vendorPage ? FirmwareInfoPageLength : InquiryLength;
    if (buffer == nullptr) return CommandFailed;
    return State.UsesAspi ? AspiProbe(hostAdapter, targetId, cdb, cdbLength, buffer, length)
                          : SptiProbe(cdb, cdbLength, buffer, length);
}

bool CurrentSlotValid() {
    return State.Notifications.Current >= 0 &&
           State.Notifications.Current < NotificationSlotCapacity;
}

}  // namespace

int TestUnitReady(int target) {
    CommandRequest request = NewRequest(target, 6, DataNone, 0, nullptr, State.CommandTimeout);
    request.Cdb[0] = OpTestUnitReady;
    return ExecuteCommand(request);
}

int Inquiry(int target, uint8_t* buffer) {
    // Read before ExecuteCommand opens the device again and refreshes the marker.
    const uint32_t timeout =
        State.Ieee1394Marker == -1 ? InquiryTimeoutMs : InquiryTimeoutIeee1394Ms;
    CommandRequest request = NewRequest(target, 6, DataIn, InquiryLength, buffer, timeout);
    request.Cdb[0] = OpInquiry;
    request.Cdb[4] = static_cast<uint8_t>(InquiryLength);
    const int result = ExecuteCommand(request);
    if (result == CommandSucceeded && buffer != nullptr) NoteDriveIdentity(target, buffer);
    return result;
}

int StartStopUnit(int target, int byte1, int powerCondition, int loadEject, int start) {
    CommandRequest request = NewRequest(target, 6, DataNone, 0, nullptr, State.CommandTimeout);
    request.Cdb[0] = OpStartStopUnit;
    request.Cdb[1] = static_cast<uint8_t>(byte1);
    request.Cdb[4] = static_cast<uint8_t>(powerCondition * 16 + loadEject * 2 + start);
    return ExecuteCommand(request);
}

int ReadBuffer(int target, int mode, int bufferId, uint32_t offset, uint32_t length,
               uint8_t* buffer) {
    length = CdbLength16(length);
    CommandRequest request = NewRequest(target, 10, DataIn, length, buffer, State.CommandTimeout);
    PutBufferFields(request.Cdb, OpReadBuffer, mode, bufferId, offset, length);
    return ExecuteCommand(request);
}

int WriteBuffer(int target, int mode, int bufferId, uint32_t offset, uint32_t length,
                uint8_t* buffer) {
    length = CdbLength16(length);
    // The commit on a pass-through device without SCSI address gets the driver's own limit.
    const bool unlimitedCommit =
        !State.UsesAspi && State.Ieee1394Marker == State.SelectedTarget && mode == ModeCommit;
    const uint32_t timeout = unlimitedCommit ? 0 : State.CommandTimeout;
    CommandRequest request =
        NewRequest(target, 10, length != 0 ? DataOut : DataNone, length, buffer, timeout);
    PutBufferFields(request.Cdb, OpWriteBuffer, mode, bufferId, offset, length);
    return ExecuteCommand(request);
}

int ReportKey(int target, int keyClass, int keyFormat, int agid, uint32_t length, uint8_t* buffer) {
    length = CdbLength16(length);
    CommandRequest request = NewRequest(target, 12, DataIn, length, buffer, State.CommandTimeout);
    request.Cdb[0] = OpReportKey;
    request.Cdb[7] = static_cast<uint8_t>(keyClass);
    request.Cdb[8] = static_cast<uint8_t>(length >> 8);
    request.Cdb[9] = static_cast<uint8_t>(length);
    request.Cdb[10] = static_cast<uint8_t>(agid * 64 + keyFormat);
    return ExecuteCommand(request);
}

int StopUnit() {
    State.CommandTimeout = 0;
    return StartStopUnit(State.SelectedTarget, 0, 0, 0, 0);
}

int CheckRegionControlState() {
    constexpr int KeyFormatRpcState = 8;
    constexpr int RpcSchemeByte = 6;
    uint8_t rpcState[8] = {};
    const int result =
        ReportKey(State.SelectedTarget, 0, KeyFormatRpcState, 0, sizeof rpcState, rpcState);
    if (result != CommandSucceeded) return result;
    return rpcState[RpcSchemeByte] == 1 ? 0 : -1;
}

int SendPreUpdateCommand() {
    State.CommandTimeout = 1000;
    if (State.CommandData == nullptr) return CommandFailed;
    State.CommandData[0] = 0x00;
    State.CommandData[1] = 0x3F;
    return WriteBuffer(State.SelectedTarget, ModeData, BufferPreUpdate, PreUpdateOffset, 2,
                       State.CommandData);
}

int WriteKernelChunk(uint32_t offset, uint32_t length, uint8_t* data) {
    State.CommandTimeout = ChunkTimeoutMs;
    return WriteBuffer(State.SelectedTarget, ModeDownload, BufferKernel, offset, length, data);
}

int WriteNormalChunk(uint32_t offset, uint32_t length, uint8_t* data) {
    State.CommandTimeout = ChunkTimeoutMs;
    return WriteBuffer(State.SelectedTarget, ModeDownload, BufferNormal, offset, length, data);
}

int LegacyPrepareDownload() {
    State.CommandTimeout = 1000;
    return WriteBuffer(State.SelectedTarget, ModeVendor, BufferLegacyPrepare, 0, 0, nullptr);
}

int LegacyWriteChunk(uint32_t offset, uint32_t length, uint8_t* data) {
    return WriteBuffer(State.SelectedTarget, ModeVendor, BufferLegacyImage, offset, length, data);
}

int LegacyStartFlash() {
    return WriteBuffer(State.SelectedTarget, ModeVendor, BufferLegacyFlash, 0, 0, nullptr);
}

int LegacyReadMemory(uint32_t offset, uint32_t length, uint8_t* data) {
    State.CommandTimeout = 5000;
    return ReadBuffer(State.SelectedTarget, ModeVendor, BufferLegacyMemory, offset, length, data);
}

int ProbeInquiry(int hostAdapter, int targetId) {
    return Probe(hostAdapter, targetId, false);
}

int ProbeVendorPage(int hostAdapter, int targetId) {
    // A drive that was powered on or reset since it was last asked answers its first command
    // other than INQUIRY with UNIT ATTENTION, which reports only that: the page is asked once
    // more, or a drive that has just come back from a power loss would not be found. The
    // pass-through probe tells that by its sense bytes; the ASPI probe asks for none, so on
    // ASPI any failure is asked once more.
    std::memset(State.SenseBuffer, 0, sizeof State.SenseBuffer);
    int result = Probe(hostAdapter, targetId, true);
    const bool askAgain = State.UsesAspi ? result != CommandSucceeded
                                         : result == CommandCheckCondition &&
                                               State.SenseBuffer[2] == SenseKeyUnitAttention;
    if (askAgain) result = Probe(hostAdapter, targetId, true);
    return result;
}

int BeginMediaNotificationControl() {
    if (State.UsesAspi || !CurrentSlotValid()) return 0;
    const int slot = State.Notifications.Current;
    uint32_t error = ERROR_SUCCESS;
    const DeviceHandle handle = PlatformOpenDevice(State.Notifications.Letters[slot], 0, &error);
    State.Notifications.Handles[slot] = handle;
    if (handle == InvalidDeviceHandle) {
        State.MediaNotificationError = error;
        return 0;
    }
    return PlatformMediaNotificationControl(handle, HoldMediaNotification);
}

void EndMediaNotificationControl() {
    if (State.UsesAspi || !CurrentSlotValid()) return;
    const DeviceHandle handle = State.Notifications.Handles[State.Notifications.Current];
    if (handle == InvalidDeviceHandle) return;
    PlatformMediaNotificationControl(handle, ReleaseMediaNotification);
}
