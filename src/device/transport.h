#pragma once
#include <cstdint>

#include "device/command_executor.h"

// The two transports behind ExecuteCommand and the enumeration probes. Internal to the
// command layer.

// SPTI on the drive-letter device.
int ExecuteSptiCommand(const CommandRequest& request);
// The enumeration probe on the device OpenDriveDevice opened: 0, 2 or -1 as a command.
int SptiProbe(const uint8_t* cdb, int cdbLength, uint8_t* buffer, uint32_t length);
void CaptureSptiSense();

// ASPI through the loaded layer.
int ExecuteAspiCommand(const CommandRequest& request);
// The enumeration probe on adapter/target: 0 on SS_COMP, else -1.
int AspiProbe(int hostAdapter, int targetId, const uint8_t* cdb, int cdbLength, uint8_t* buffer,
              uint32_t length);
int PollPendingAspiCommand();

// Little-endian fields of the request blocks.
inline void PutLe16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
inline void PutLe32(uint8_t* at, uint32_t value) {
    PutLe16(at, value);
    PutLe16(at + 2, value >> 16);
}
inline uint32_t GetLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// The CDB length a request may carry.
inline int ClampCdbLength(int32_t length) {
    if (length < 0) return 0;
    return length > CdbCapacity ? CdbCapacity : length;
}
