#pragma once
#include <cstdint>

// One CDB to one listed target over the run's transport (SPTI or ASPI).

enum DataDirection : int32_t {
    DataNone = 0,  // no data
    DataIn = 1,    // drive to host
    DataOut = 2,   // host to drive
};

constexpr int CdbCapacity = 16;
constexpr int SenseLength = 18;

// Built by the command wrappers, which zero the whole record before filling it.
struct CommandRequest {
    int32_t Target;          // index into the TargetList
    int32_t Direction;       // DataDirection
    int32_t CdbLength;       // 6, 10 or 12 in use, at most 16
    int32_t Timeout;         // milliseconds; 0 means no limit
    int32_t TransferLength;  // bytes to move
    uint8_t* Buffer;         // the caller's data, moved directly (never copied)
    uint8_t Cdb[CdbCapacity];
};

// Results of ExecuteCommand.
constexpr int CommandSucceeded = 0;
constexpr int CommandCheckCondition = 2;  // SPTI: the drive answered with a non-zero status
constexpr int CommandFailed = -1;         // bad index, failed call, ASPI failure or poll time-out
constexpr int CommandNotDelivered = -2;   // SPTI: no device; ASPI: completion wait timed out

int ExecuteCommand(const CommandRequest& request);

// Claims of a drive letter: a place is claimed before anything is sent to it, and kept
// until the run lets it go, so that no other copy of the program reaches the drive meanwhile.
constexpr int ClaimHeld = 0;
constexpr int ClaimNoDrive = 1;
constexpr int ClaimBusy = 2;  // another program holds it; *holder is its process id or 0
int ClaimDriveLetter(char letter, int32_t* holder);
void ReleaseDriveLetter(char letter);

// Opens the drive-letter device into the one device slot and reads its SCSI address:
// 0 opened (address known, or unreadable and noted in Ieee1394Marker), -1 failure.
int OpenDriveDevice(char letter);
int CloseDriveDevice();

// Packs the sense bytes of the last failed command into SenseCode; always 0.
int CaptureSense();

// After a command submitted while TimedTransferActive was set (ASPI): 1 still running,
// 0 completed with success, -1 completed with failure.
int PollPendingCommand();

// ASPI: the layer may still write into the request block and a command's data: a command
// has not ended, or a slot was retired after a failed abort.
bool AspiLayerMayStillWrite();
