#pragma once
#include <cstdint>

#include "device/command_executor.h"
#include "platform/pass_through_block.h"

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

// The CDB length a request may carry.
inline int ClampCdbLength(int32_t length) {
    if (length < 0) return 0;
    return length > CdbCapacity ? CdbCapacity : length;
}
