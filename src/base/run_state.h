#pragma once
#include <cstddef>
#include <cstdint>

#include "base/image_fingerprint.h"
#include "base/target_list.h"
#include "base/update_definition.h"
#include "platform/platform_device.h"

constexpr size_t RunTextCapacity = 2048;
constexpr int IdentifiedTargetCapacity = 'Z' - 'D' + 1;  // one per drive letter
constexpr int AdapterNameCapacity = 16;  // adapters beyond the 16th have no name entry
constexpr int AdapterNameSize = 32;

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
    // Per target: the run began writing to the drive; the drive was last seen in (or sent
    // into) its update mode. Told on standard error at the end of the run.
    uint8_t DriveWritten[TargetListCapacity];
    uint8_t DriveInUpdateMode[TargetListCapacity];
    // The machine is held up (no sleep, hibernation or shut-down) for the drive being written.
    int32_t MachineHeld;
    // Per target: why the host cannot carry its writes (RouteWritable: it can), told before
    // any question; such a target is left untouched.
    int8_t RouteRefusal[TargetListCapacity];
    // A dry run: the checks of a run up to its question, nothing shown, asked or written. The
    // first message a target's checks showed, and its text, say why it would not be updated.
    int32_t DryRun;
    uint32_t DryRunMessage;
    char DryRunText[RunTextCapacity];
    // Consent given on the command line (Linux --yes): questions are answered Yes without
    // waiting, report boxes are printed only. The retry offer is taken once per drive: this is
    // that drive's target index + 1 (0: none yet).
    int32_t AssumeYes;
    int32_t YesRetryTarget;
    // Drives named on the command line (Linux): only the letters of NamedLetters (bit
    // letter - 'D') are considered. Nothing sets it elsewhere.
    int32_t LettersNamed;
    uint32_t NamedLetters;
    // The system log's record of the selected drive: its procedure began writing; the last
    // message shown that tells an outcome (NoDecidingMessage: none); the battery rule refused
    // it, at this charge.
    int32_t WritingRecorded;
    int32_t DecidingMessage;
    int32_t BatteryRefused;
    int32_t BatteryRefusedPercent;

    // Targets and host
    int32_t TargetCount;
    TargetEntry TargetList[TargetListCapacity];
    // The first targets' INQUIRY as enumeration read it, and whether each matched in its
    // update mode: the dry run's document names the drives with them, asking nothing more.
    uint8_t TargetInquiry[IdentifiedTargetCapacity][96];
    uint8_t TargetUpdateMode[IdentifiedTargetCapacity];
    NotificationTable Notifications;
    BusyPlaces Busy;
    int32_t UsesAspi;
    int32_t IntelAtaDriver;
    int32_t Ieee1394Marker;
    uint32_t CommandTimeout;
    uint8_t AspiAdapterCount;   // low byte of GetASPI32SupportInfo; 0 until ASPI answered
    uint8_t* HostAdapterTable;  // one SRB_HAInquiry record per host adapter
    char AdapterNames[AdapterNameCapacity][AdapterNameSize];  // HA_Identifier of 0..15

    // Drive command layer
    uint8_t SenseBuffer[18];  // fixed-format sense data of the last failed command
    uint32_t SenseCode;       // byte 2 << 16 | ASC << 8 | ASCQ, set by CaptureSense
    uint8_t PassThroughBlock[Sptd::BlockSize];  // the SPTI request block
    DeviceHandle DeviceSlot;                    // the SPTI device of the command at hand
    int32_t DeviceSlotHeld;                     // DeviceSlot holds an open handle
    uint8_t ScsiAddress[8];                     // SCSI_ADDRESS of that device
    uint8_t* AspiRequestBlock;                  // 2 MiB, allocated by the host probe on ASPI
    int32_t AspiSrbSlot;                        // SRB slot of the request block in use
    AspiEvent PendingAspiEvent;       // event of a command submitted while TimedTransferActive
    uint32_t DeviceOpenError;         // error code of the last failed open or query
    int32_t DeviceAccessDenied;       // a device open failed for lack of privilege
    uint32_t MediaNotificationError;  // error code of the last failed notification open

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
    uint32_t ImageDate;        // BCD 0xCCYYMMDD of the loaded image; 0 when none was derived
    uint32_t NormalImageDate;  // the same of the last normal image loaded; 0: none
    // The image file last read into ImageBuffer, and each image as its checks passed: a
    // reload before the write must match what was checked.
    ImageFingerprint LoadedImage;
    ImageFingerprint CheckedNormalImage;
    ImageFingerprint CheckedKernelImage;

    // The selected drive
    uint8_t InquiryData[96];
    uint8_t FirmwareInfoPage[64];
    int32_t NormalPartAbsent;  // -1 page unread since the last try; 1 kernel only; 0 normal part
    int32_t InUpdateMode;
    int32_t NeedsUnlock;
    uint16_t DriveRevisionNumber;
    uint32_t DriveFirmwareDate;  // BCD 0xCCYYMMDD from INQUIRY; 0 when none was derived
    int32_t NeedsG6Patch;        // model flags of the identity read, set in its phase 0 only
    int32_t UtilityTooOld;
    int32_t KernelTooOld;
    int32_t EditionClass;

    // The legacy procedure: the model code and CPU type read from the drive's memory
    uint8_t DriveModelCode[16];
    uint8_t DriveCpuType[16];
};

extern RunState State;

// Back to the state of a freshly started process (tests start every case from it).
void ResetRunState();
