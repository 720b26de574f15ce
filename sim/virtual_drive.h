#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "virtual_drive_legacy.h"

// A drive of the family as the simulated PC sees it: a stateful model that answers every CDB
// the update program sends, in its normal mode and in its kernel (update) mode. The transports
// of the simulated PC (src/platform/sim/device.cpp) hand it one CDB at a time; everything it
// answers is worked out here from its own tables, never from the program's code.
//
// Text fields are kept as plain strings and put on the wire blank padded (or cut) to their
// field width, so a test can set any bytes it likes, odd ones included.

enum class VirtualDisc {
    Absent,         // TEST UNIT READY: NOT READY, MEDIUM NOT PRESENT (02/3A/00)
    Loaded,         // a disc, spinning: GOOD
    BecomingReady,  // a disc spinning up: NOT READY, BECOMING READY (02/04/01)
    Stopped,        // a disc, spun down: NOT READY, INITIALIZING COMMAND REQUIRED (02/04/02)
};

enum class VirtualDriveMode { Normal, Kernel };

// What an injected fault does to the command it catches.
enum class VirtualFaultEffect {
    Delay,           // the command runs normally, only ExtraMs later
    CheckCondition,  // CHECK CONDITION with SenseKey/Asc/Ascq; the drive does nothing else
    CallFails,       // the pass-through call fails with CallError; the drive never saw it
    CallFailsLate,   // the drive carries the command out, then the call fails with CallError
    PowerLoss,       // the drive loses power as the command arrives (see LoseVirtualDrivePower)
};

// A fault catches a command when every given criterion fits (-1 / 0: any). The command count
// is per drive: 1 is the first command that reached this drive since it was attached.
struct VirtualDriveFault {
    uint32_t NthCommand = 0;  // 0: any
    int Opcode = -1;
    int Mode = -1;      // READ/WRITE BUFFER mode (CDB byte 1, low 5 bits)
    int BufferId = -1;  // READ/WRITE BUFFER buffer id (CDB byte 2)
    int Times = 1;      // how often it fires; -1 without end
    VirtualFaultEffect Effect = VirtualFaultEffect::CheckCondition;
    uint8_t SenseKey = 0x02;  // sense byte 2 taken whole (0x82 is allowed)
    uint8_t Asc = 0x04;
    uint8_t Ascq = 0x00;
    uint32_t CallError = 1117;  // ERROR_IO_DEVICE
    uint32_t ExtraMs = 0;       // added to the command's time whatever the effect
};

// How the host reaches the drive. A drive may sit at a drive letter (SPTI), at an ASPI host
// adapter and target id, or both.
struct VirtualDrivePlace {
    char Letter = 0;             // 'D'..'Z'; 0: no drive letter
    int Adapter = -1;            // ASPI host adapter number; -1: not on ASPI
    int TargetId = -1;           // ASPI target id
    uint32_t OpenError = 0;      // opening for read/write fails with this (ERROR_ACCESS_DENIED)
    int32_t HeldByOther = 0;     // another program holds the place: its process id (-1: unknown)
    bool WriteDenied = false;    // the host would refuse this process a WRITE BUFFER
    uint32_t MaxTransferKb = 0;  // the host's limit for one command; 0: not known
    uint32_t CapabilitiesError = 0;  // IOCTL_SCSI_GET_CAPABILITIES fails with this
    bool OnIeee1394 = false;         // IOCTL_SCSI_GET_ADDRESS answers ERROR_NOT_SUPPORTED
    uint8_t PortNumber = 1;
    uint8_t PathId = 0;
    uint8_t ScsiTargetId = 0;
    uint8_t Lun = 0;
};

struct VirtualDrive {
    VirtualDrivePlace Place;

    // Identity in normal mode (INQUIRY).
    uint8_t DeviceType = 5;
    std::string Vendor = "KESTREL ";
    std::string Product = "DVD-RW  QXR-930D";
    std::string Revision = "1.20";
    // Bytes 37..46: "YY/MM/DD" (short), "YYYY/MM/DD" (long) or, with the vendor "Vantrel ",
    // "MmmDDCCYY" (partner). A re-flash keeps the form the drive used before.
    std::string DateText = "08/07/25";

    // Identity while only the kernel runs.
    std::string KernelVendor = "KESTREL ";
    std::string KernelProduct = "DVD-RW  QXR-930D";
    std::string KernelRevision = "0000";
    std::string KernelDateText = "08/05/12";

    // The F1h vendor page.
    std::string HardwareRevision = "SAT 0001";
    std::string KernelEdition = "GENERAL ";
    std::string NormalEdition = "GENERAL ";
    uint32_t InfoPageAnswered = 48;  // bytes of the page returned: a model may answer fewer
    uint8_t RpcScheme = 1;           // REPORT KEY, key format 8: byte 6
    uint8_t RegionMask = 0xFE;

    // The mode switch: the kind whose block the drive accepts and its mode-switch value.
    uint16_t Kind = 0x100D;
    uint32_t ModeSwitchValue = 0x3C6A1D27;
    bool TakesPartInUnlock = true;  // false: step 0 is refused with 05/24/00
    bool RequiresUnlock = false;    // true: mode 4 is refused with 05/2C/00 until unlocked

    // Medium and power.
    VirtualDisc Disc = VirtualDisc::Absent;
    bool StopSpinsDown = false;  // STOP UNIT turns a loaded disc into a stopped one
    bool UnitAttentionPending = false;
    uint32_t CommandMs = 0;    // virtual time every command takes
    uint32_t RebootMs = 4000;  // NOT READY after a re-flash or a power loss

    // Faults.
    std::vector<VirtualDriveFault> Faults;
    uint32_t PowerLossAtChunk = 0;          // the n-th chunk command (1-based) loses power
    uint32_t StayInKernelAfterReflash = 0;  // that many re-flashes come back in kernel mode

    // State.
    VirtualDriveMode Mode = VirtualDriveMode::Normal;
    bool NormalPartPresent = true;
    bool Rebooting = false;
    uint32_t RebootUntilMs = 0;
    uint32_t CommandCount = 0;   // commands that reached the drive
    uint32_t ChunkCommands = 0;  // mode-7 chunk commands received (power loss counts these)
    // Kernel chunks go straight to flash; the kernel in flash runs from the next boot (the
    // re-flash's reboot or a power-up) once a whole one is there. A transfer cut short leaves
    // the kernel that ran before.
    uint32_t KernelTransferEnd = 0;  // bytes of the kernel transfer at hand, from offset 0 on
    bool KernelFlashed = false;      // a whole kernel in flash, not yet booted
    bool NormalReceived = false;     // chunks since the last boot, taken over by the re-flash
    uint32_t ReflashCount = 0;
    uint32_t PowerLosses = 0;

    // The unlock exchange.
    uint32_t ExchangeCount = 0;
    bool ChallengeIssued = false;
    uint8_t Challenge[16] = {};
    bool ResponseAccepted = false;
    bool Unlocked = false;

    // What the drive received. The flash arrays are sized on the first chunk.
    uint32_t KernelFlashSize = 0x20000;
    uint32_t NormalFlashSize = 0x400000;
    std::vector<uint8_t> KernelFlash;
    std::vector<uint8_t> NormalFlash;
    uint32_t KernelChunks = 0;
    uint32_t NormalChunks = 0;
    uint32_t KernelBytesEnd = 0;  // highest offset + length written
    uint32_t NormalBytesEnd = 0;
    uint8_t PreUpdateArea[0x800] = {};  // buffer D4h
    uint32_t PreUpdateWrites = 0;
    uint8_t LastModeSwitchBlock[256] = {};  // the last mode-4 or mode-5 block received

    // A drive of the older generation answers the mode-1 buffers instead.
    VirtualLegacyModel Legacy;
};

// The data phase of one command, as the transport offers it.
struct VirtualDriveData {
    uint8_t* In = nullptr;  // data-in buffer (drive to host)
    uint32_t InCapacity = 0;
    const uint8_t* Out = nullptr;  // data-out bytes (host to drive)
    uint32_t OutLength = 0;
};

// What the drive made of one command.
struct VirtualDriveAnswer {
    bool CallFails = false;  // no SCSI status: the transport reports CallError
    uint32_t CallError = 0;
    uint8_t Status = 0;  // 0 GOOD, 2 CHECK CONDITION
    uint8_t Sense[18] = {};
    uint32_t DurationMs = 0;
    uint32_t DataInLength = 0;  // bytes put into VirtualDriveData::In
};

// The drive loses power at nowMs: the command at hand never lands and its call fails with
// ERROR_IO_DEVICE. A drive in its update mode comes back running its kernel only, since its
// normal part may have been half rewritten; a drive in normal mode comes back with the
// firmware it had. A whole kernel written before runs from this power-up on. Either way it
// is NOT READY for RebootMs, then reports UNIT ATTENTION.
void LoseVirtualDrivePower(VirtualDrive& drive, VirtualDriveAnswer& answer, uint32_t nowMs);

// Runs one CDB (the first cdbLength bytes count) at virtual time nowMs.
VirtualDriveAnswer RunVirtualDriveCommand(VirtualDrive& drive, const uint8_t* cdb, int cdbLength,
                                          const VirtualDriveData& data, uint32_t nowMs);

// What a drive's record (srN.state) says of the drive itself, one key=value a line: revision,
// mode, the chunks and ends of both parts, re-flashes and pre-update writes. The preloaded
// fake and the kernel tests' drive handler add what only their side knows.
std::string VirtualDriveStateLines(const VirtualDrive& drive);

// The 256-byte block the drive accepts with WRITE BUFFER mode 4 (entering) or mode 5.
void VirtualDriveExpectedBlock(const VirtualDrive& drive, bool entering, uint8_t block[256]);
