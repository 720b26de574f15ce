#pragma once
#include <cstddef>
#include <cstdint>

#include "run/update_definition.h"

constexpr size_t RunTextCapacity = 2048;

// All run-wide state: one instance per process (`State`), read and written directly by every
// part of the program.
struct RunState {
    // Run driver
    uint32_t OemCodePage;
    int32_t UpdateAll;
    int32_t SelectedTarget;
    int32_t SuccessCount;
    int32_t TimedTransferActive;
    uint8_t AutoInsertCount;
    uint32_t TimerPeriod;        // granted by StartPreciseTimer, returned by StopPreciseTimer
    uint32_t TimerStart;         // clock reading at StartPreciseTimer
    uint32_t TimerLatest;        // latest ReadPreciseTimer reading
    char Text[RunTextCapacity];  // formatted console lines

    // Targets and host
    int32_t TargetCount;
    int32_t UsesAspi;
    int32_t IntelAtaDriver;
    int32_t Ieee1394Marker;
    uint32_t CommandTimeout;

    // Memory blocks of the host probe (null until allocated)
    uint8_t* ImageBuffer;
    uint32_t ImageBufferSize;
    uint8_t* WorkBuffer;
    uint32_t WorkBufferSize;
    uint8_t* CommandData;
    uint32_t CommandDataSize;

    // The package and the selected entry
    UpdateDefinition Definition;
    CurrentSelection Selection;
    int32_t CurrentKind;
    int32_t ImageSize;
    uint16_t NewRevision;
    char NewRevisionText[5];

    // The selected drive
    uint8_t InquiryData[96];
    uint8_t FirmwareInfoPage[64];
    int32_t InUpdateMode;
    int32_t NeedsUnlock;
    uint16_t DriveRevisionNumber;
    int32_t EditionClass;
};

extern RunState State;

// Back to the state of a freshly started process (tests start every case from it).
void ResetRunState();
