#include "virtual_drive_legacy.h"

#include <algorithm>
#include <cstring>

#include "virtual_drive.h"

namespace {

constexpr uint8_t OpWriteBuffer = 0x3B;
constexpr uint8_t OpReadBuffer = 0x3C;
constexpr uint8_t ModeVendor = 1;
constexpr uint8_t BufferMemory = 0x80;
constexpr uint8_t BufferPrepare = 0x30;
constexpr uint8_t BufferImage = 0xFF;
constexpr uint8_t BufferFlash = 0x42;

constexpr uint32_t ReceiveCapacity = 0x200010;  // the largest image and the 16 bytes behind
constexpr uint32_t BehindImage = 0x10;
constexpr uint32_t OwnAreaStart = 0x400;
constexpr uint32_t OwnAreaEnd = 0x450;

void Refuse(VirtualDriveAnswer& answer, uint8_t key, uint8_t asc) {
    answer.Status = 2;
    std::memset(answer.Sense, 0, sizeof answer.Sense);
    answer.Sense[0] = 0x70;
    answer.Sense[2] = key;
    answer.Sense[7] = 10;
    answer.Sense[12] = asc;
}

uint32_t Be24(const uint8_t* at) {
    return (uint32_t{at[0]} << 16) | (uint32_t{at[1]} << 8) | at[2];
}

std::vector<uint8_t>& MemoryOf(VirtualLegacyModel& legacy) {
    if (legacy.Memory.empty()) legacy.Memory.assign(VirtualLegacyMemorySize, 0xFF);
    return legacy.Memory;
}

void ReadMemory(VirtualLegacyModel& legacy, VirtualDriveAnswer& answer, uint32_t offset,
                uint32_t length, const VirtualDriveData& data) {
    const std::vector<uint8_t>& memory = MemoryOf(legacy);
    if (offset > memory.size() || length > memory.size() - offset) {
        Refuse(answer, 0x05, 0x21);  // LOGICAL BLOCK ADDRESS OUT OF RANGE
        return;
    }
    const uint32_t count = std::min(length, data.InCapacity);
    if (count > 0 && data.In != nullptr) std::memcpy(data.In, memory.data() + offset, count);
    answer.DataInLength = count;
}

void ReceiveImage(VirtualLegacyModel& legacy, VirtualDriveAnswer& answer, uint32_t offset,
                  uint32_t length, const uint8_t* bytes) {
    if (!legacy.Prepared) {
        Refuse(answer, 0x05, 0x2C);  // COMMAND SEQUENCE ERROR
        return;
    }
    if (offset > ReceiveCapacity || length > ReceiveCapacity - offset) {
        Refuse(answer, 0x05, 0x24);
        return;
    }
    if (legacy.Received.size() < offset + length) legacy.Received.resize(offset + length, 0);
    if (length > 0) std::memcpy(legacy.Received.data() + offset, bytes, length);
    legacy.Chunks.push_back({offset, length});
    // Whole chunks are multiples of 4 KiB; the tail command carries 16 bytes more.
    if (length % 0x1000 == BehindImage) {
        legacy.ImageEnd = offset + length - BehindImage;
        const uint8_t* behind = bytes + length - BehindImage;
        legacy.Marker.assign(reinterpret_cast<const char*>(behind), 4);
        legacy.Behind.assign(behind, behind + BehindImage);
    }
}

void Flash(VirtualDrive& drive, VirtualDriveAnswer& answer, uint32_t nowMs) {
    VirtualLegacyModel& legacy = drive.Legacy;
    if (!legacy.Prepared || legacy.ImageEnd == 0) {
        Refuse(answer, 0x05, 0x2C);
        return;
    }
    if (legacy.Marker != "WIN " && legacy.Marker != "WIN2") {
        Refuse(answer, 0x05, 0x26);  // INVALID FIELD IN PARAMETER LIST
        return;
    }
    std::vector<uint8_t>& memory = MemoryOf(legacy);
    if (memory.size() < legacy.ImageEnd) memory.resize(legacy.ImageEnd, 0xFF);
    for (uint32_t i = 0; i < legacy.ImageEnd; ++i) {
        if (legacy.KeepsOwnArea && i >= OwnAreaStart && i < OwnAreaEnd) continue;
        memory[i] = legacy.Received[i];
    }
    if (legacy.FlashCorruptsAt >= 0 &&
        static_cast<uint32_t>(legacy.FlashCorruptsAt) < legacy.ImageEnd) {
        memory[static_cast<uint32_t>(legacy.FlashCorruptsAt)] ^= 0xFF;
    }
    if (legacy.RevisionAt <= memory.size() && memory.size() - legacy.RevisionAt >= 4) {
        drive.Revision.assign(reinterpret_cast<const char*>(memory.data()) + legacy.RevisionAt, 4);
    }
    ++legacy.FlashCount;
    ++drive.ReflashCount;
    legacy.Prepared = false;
    legacy.Received.clear();
    legacy.ImageEnd = 0;
    answer.DurationMs += legacy.FlashMs;
    drive.Rebooting = true;
    drive.RebootUntilMs = nowMs + answer.DurationMs + drive.RebootMs;
}

}  // namespace

bool RunVirtualLegacyBuffer(VirtualDrive& drive, VirtualDriveAnswer& answer, const uint8_t* cdb,
                            const VirtualDriveData& data, uint32_t nowMs) {
    VirtualLegacyModel& legacy = drive.Legacy;
    const bool buffer = cdb[0] == OpReadBuffer || cdb[0] == OpWriteBuffer;
    if (!legacy.Enabled || !buffer || (cdb[1] & 0x1F) != ModeVendor) return false;
    const uint8_t bufferId = cdb[2];
    const uint32_t offset = Be24(cdb + 3);
    const uint32_t length = Be24(cdb + 6);

    if (cdb[0] == OpReadBuffer) {
        if (bufferId == BufferMemory) {
            ReadMemory(legacy, answer, offset, length, data);
        } else {
            Refuse(answer, 0x05, 0x24);
        }
        return true;
    }
    if (length > 0 && (data.Out == nullptr || data.OutLength < length)) {
        Refuse(answer, 0x05, 0x1A);  // PARAMETER LIST LENGTH ERROR
        return true;
    }
    switch (bufferId) {
        case BufferPrepare:
            legacy.Prepared = true;
            legacy.Received.clear();
            legacy.ImageEnd = 0;
            legacy.Marker.clear();
            legacy.Behind.clear();
            ++legacy.PrepareCount;
            break;
        case BufferImage:
            ReceiveImage(legacy, answer, offset, length, data.Out);
            break;
        case BufferFlash:
            Flash(drive, answer, nowMs);
            break;
        default:
            Refuse(answer, 0x05, 0x24);
            break;
    }
    return true;
}
