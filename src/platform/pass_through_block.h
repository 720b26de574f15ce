#pragma once
// The SPTI request block as bytes: the command layer builds it, and every platform layer
// (Linux, Windows, the simulated PC) checks and reads it through these same few lines before
// a driver or a virtual drive sees it. Portable on purpose: no host header.
#include <cstdint>
#include <cstring>

#include "platform/platform_device.h"

// Little-endian fields of the request blocks (SPTI and ASPI alike).
inline void PutLe16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
inline void PutLe32(uint8_t* at, uint32_t value) {
    PutLe16(at, value);
    PutLe16(at + 2, value >> 16);
}
inline uint32_t GetLe16(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8;
}
inline uint32_t GetLe32(const uint8_t* at) {
    return GetLe16(at) | GetLe16(at + 2) << 16;
}

// SCSI_ADDRESS: Length (4 bytes), PortNumber, PathId, TargetId, Lun.
namespace ScsiAddressField {
constexpr int PathId = 5;
constexpr int TargetId = 6;
constexpr int Lun = 7;
}  // namespace ScsiAddressField

// A block for one command to the device at `address` (its 8-byte SCSI_ADDRESS), with the
// sense area right behind the structure. `cdbLength` is at most 16.
inline void BuildPassThroughBlock(uint8_t block[Sptd::BlockSize], const uint8_t address[8],
                                  const uint8_t* cdb, int cdbLength, uint8_t dataIn,
                                  uint32_t length, uint32_t timeoutSeconds, uint8_t senseLength) {
    std::memset(block, 0, Sptd::BlockSize);
    PutLe16(block + Sptd::Length, Sptd::StructSize);
    block[Sptd::PathId] = address[ScsiAddressField::PathId];
    block[Sptd::TargetId] = address[ScsiAddressField::TargetId];
    block[Sptd::Lun] = address[ScsiAddressField::Lun];
    block[Sptd::CdbLength] = static_cast<uint8_t>(cdbLength);
    block[Sptd::SenseInfoLength] = senseLength;
    block[Sptd::DataIn] = dataIn;
    PutLe32(block + Sptd::DataTransferLength, length);
    PutLe32(block + Sptd::TimeOutValue, timeoutSeconds);
    PutLe32(block + Sptd::SenseInfoOffset, Sptd::SenseArea);
    std::memcpy(block + Sptd::Cdb, cdb, static_cast<size_t>(cdbLength));
}

// Whether a driver may be given the block: a request that would make it read or write outside
// the block or the caller's data, or move data with no direction, is refused
// (ERROR_INVALID_PARAMETER) before it reaches the drive.
inline uint32_t CheckPassThroughBlock(const uint8_t block[Sptd::BlockSize], const uint8_t* data) {
    const uint8_t cdbLength = block[Sptd::CdbLength];
    const uint8_t direction = block[Sptd::DataIn];
    const uint32_t transfer = GetLe32(block + Sptd::DataTransferLength);
    const uint32_t senseOffset = GetLe32(block + Sptd::SenseInfoOffset);
    const uint8_t senseLength = block[Sptd::SenseInfoLength];
    if (GetLe16(block + Sptd::Length) != Sptd::StructSize) return ERROR_INVALID_PARAMETER;
    if (cdbLength == 0 || cdbLength > 16) return ERROR_INVALID_PARAMETER;
    if (direction > Sptd::DATA_UNSPECIFIED) return ERROR_INVALID_PARAMETER;
    if (transfer != 0 && (direction == Sptd::DATA_UNSPECIFIED || data == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (senseLength != 0 && (senseOffset < static_cast<uint32_t>(Sptd::StructSize) ||
                             senseOffset > static_cast<uint32_t>(Sptd::BlockSize) ||
                             senseLength > Sptd::BlockSize - senseOffset)) {
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

// A call that failed by itself carries no answer of the drive: no status, no sense.
inline void ClearPassThroughAnswer(uint8_t block[Sptd::BlockSize]) {
    block[Sptd::ScsiStatus] = 0;
    block[Sptd::SenseInfoLength] = 0;
}
