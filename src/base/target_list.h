#pragma once
#include <cstdint>

#include "platform/platform_device.h"

// The drives that enumeration accepted, in the order of discovery. The index of an entry is
// the target index used everywhere else (SelectedTarget, the target of a command request).
struct TargetEntry {
    int32_t HostAdapter;  // ASPI only: host adapter number
    int32_t TargetId;     // ASPI only: target id on that adapter (the LUN is always 0)
    char DriveLetter;     // pass-through only: 'D'..'Z'
};

constexpr int TargetListCapacity = 256;

// The CD and DVD drive letters whose media change notification the pass-through transport
// controls, matching or not, with the second handle held for each until the process ends.
constexpr int NotificationSlotCapacity = 28;
constexpr int NotificationHandleCapacity = 257;

struct NotificationTable {
    char Letters[NotificationSlotCapacity];
    int8_t Filled;    // slots filled
    int32_t Current;  // the slot that the media-notification controls act on
    DeviceHandle Handles[NotificationHandleCapacity];
};

// The places another program held when enumeration reached them: nothing was sent to them.
constexpr int BusyPlaceCapacity = 'Z' - 'D' + 1;
struct BusyPlaces {
    int32_t Count;
    char Letters[BusyPlaceCapacity];
    int32_t Holders[BusyPlaceCapacity];  // process id of the holder, 0 when not known
};
