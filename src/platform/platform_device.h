#pragma once
#include <cstddef>
#include <cstdint>

// Drive I/O on both transports. The request blocks are built by the command executor as
// bytes at the offsets of their published layouts; pointers and handles, whose width
// depends on the host, travel beside the block and the platform puts them in place.

// ---- SCSI pass-through on the drive-letter device (SPTI) ----------------------------------
// Windows: \\.\X: with DeviceIoControl. Linux: /dev/sr0../dev/sr22 for D..Z with SG_IO.
// The simulated PC: its virtual drives at letters D..Z.

using DeviceHandle = intptr_t;
constexpr DeviceHandle InvalidDeviceHandle = -1;

// Windows error codes as the platform reports them (Linux maps errno onto these).
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_BAD_LENGTH = 24;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_SEM_TIMEOUT = 121;
constexpr uint32_t ERROR_BUSY = 170;
constexpr uint32_t ERROR_IO_DEVICE = 1117;

// CreateFileA on the drive-letter device. `access` is 0 (query only, for media-notification
// control) or GENERIC_READ|GENERIC_WRITE (0xC0000000). On failure returns
// InvalidDeviceHandle with the error code in *error.
DeviceHandle PlatformOpenDevice(char letter, uint32_t access, uint32_t* error);
void PlatformCloseDevice(DeviceHandle handle);

// Keeps the drive at `letter` to this program until PlatformReleaseDevice: another copy of
// the program, or any program that asks the host for the drive alone, sends it nothing
// meanwhile, and the drive's commands all take one route. Taken without waiting, before
// anything is sent to the drive. ERROR_SUCCESS (also where the host has no such guard),
// ERROR_FILE_NOT_FOUND for a letter without a drive, or ERROR_BUSY with the process id of the
// holder in *holder (0 when unknown: a program other than this one).
uint32_t PlatformClaimDevice(char letter, int32_t* holder);
// Lets the drive go again; nothing for a letter that was not claimed.
void PlatformReleaseDevice(char letter);
// One line on standard error: the drive is in use by another program and is left out.
void PlatformReportDeviceBusy(char letter, int32_t holder);

// Whether the claimed drive at `letter` can be sent a WRITE BUFFER of `transferBytes`, as far
// as the host can tell without sending anything: ERROR_SUCCESS (also when the host cannot
// tell), ERROR_ACCESS_DENIED (this process may not write to it), or ERROR_BAD_LENGTH with the
// host's limit for one command in *limitKb (KiB).
uint32_t PlatformCheckWriteRoute(char letter, uint32_t transferBytes, uint32_t* limitKb);

// A drive named on the command line (Linux) that turned out not to be one the package is for,
// or not to be there: one line on standard error, naming it as the user did.
void PlatformReportNotTarget(char letter);

// A DEVICE word of the command line that is a path (/dev/sr0, /dev/sg1, /dev/cdrom, a
// /dev/disk/by-path name): true with the letter of the drive it leads to; false when it leads
// to no drive the host shows under a letter. Only names are looked up: no device is opened.
bool PlatformLetterOfDevicePath(const char* path, char* letter);

// The name under which the host shows the drive-letter device, for lists meant for the user
// ("/dev/sr0" for D on Linux, "\\.\D:" on Windows). False for a letter without one.
bool PlatformDeviceName(char letter, char* name, size_t size);

// The SCSI generic node the host gives the drive at `letter` ("/dev/sg1" on Linux), for the
// machine-readable list. False where there is none (no sg module, Windows, the simulated PC).
bool PlatformGenericNodeName(char letter, char* name, size_t size);

// IOCTL_SCSI_GET_CAPABILITIES: ERROR_SUCCESS or the error code; the output is not used.
uint32_t PlatformGetCapabilities(DeviceHandle handle);

// IOCTL_SCSI_GET_ADDRESS into the 8-byte SCSI_ADDRESS (Length, PortNumber, PathId,
// TargetId, Lun): ERROR_SUCCESS, or the error code (ERROR_NOT_SUPPORTED: no SCSI address).
uint32_t PlatformGetScsiAddress(DeviceHandle handle, uint8_t address[8]);

// Offsets in the 80-byte pass-through block: SCSI_PASS_THROUGH_DIRECT as laid out by
// 32-bit Windows, then the sense area at 48. DataBuffer (offset 20) is left zero by the
// caller; the data pointer is passed beside the block.
namespace Sptd {
constexpr int Length = 0;  // uint16
constexpr int ScsiStatus = 2;
constexpr int PathId = 3;
constexpr int TargetId = 4;
constexpr int Lun = 5;
constexpr int CdbLength = 6;
constexpr int SenseInfoLength = 7;
constexpr int DataIn = 8;
constexpr int DataTransferLength = 12;  // uint32
constexpr int TimeOutValue = 16;        // uint32, seconds
constexpr int DataBuffer = 20;          // pointer on 32-bit Windows
constexpr int SenseInfoOffset = 24;     // uint32
constexpr int Cdb = 28;                 // 16 bytes
constexpr int StructSize = 44;
constexpr int SenseArea = 48;  // 32 bytes
constexpr int BlockSize = 80;
constexpr uint8_t DATA_OUT = 0;          // SCSI_IOCTL_DATA_OUT
constexpr uint8_t DATA_IN = 1;           // SCSI_IOCTL_DATA_IN
constexpr uint8_t DATA_UNSPECIFIED = 2;  // SCSI_IOCTL_DATA_UNSPECIFIED
}  // namespace Sptd

// IOCTL_SCSI_PASS_THROUGH_DIRECT with the block as input and output. Returns ERROR_SUCCESS
// when the call itself succeeded (ScsiStatus and SenseInfoLength of the block then tell
// the drive's answer), else the error code of the failed call: the command may not have
// reached the drive, or its outcome is unknown.
uint32_t PlatformPassThroughDirect(DeviceHandle handle, uint8_t block[Sptd::BlockSize],
                                   uint8_t* data);

// IOCTL_STORAGE_MCN_CONTROL with a one-byte input and no output: non-zero on success. 1
// holds the host's own media-change checks off the drive, 0 lets them run again.
int PlatformMediaNotificationControl(DeviceHandle handle, uint8_t value);

// ---- ASPI for Win32 ----------------------------------------------------------------------
// Windows: WNASPI32.DLL loaded at run time. Linux: never loadable. The simulated PC: its
// virtual host adapters with virtual drives on them.

// LoadLibraryA("WNASPI32.DLL"): true when loaded.
bool PlatformLoadAspiLibrary();
// GetASPI32SupportInfo: bits 8..15 the status (0xE4 failed to initialise), bits 0..7 the
// number of host adapters.
uint32_t PlatformGetAspi32SupportInfo();

using AspiEvent = intptr_t;
constexpr AspiEvent NoAspiEvent = 0;

// Offsets of SRB_ExecSCSICmd (32-bit layout) and SRB_HAInquiry.
namespace Srb {
constexpr int Cmd = 0;
constexpr int Status = 1;
constexpr int HaId = 2;
constexpr int Flags = 3;
constexpr int Target = 8;
constexpr int Lun = 9;
constexpr int BufLen = 12;      // uint32
constexpr int BufPointer = 16;  // pointer on 32-bit Windows: passed beside the block
constexpr int SenseLen = 20;
constexpr int CDBLen = 21;
constexpr int HaStat = 22;
constexpr int TargStat = 23;
constexpr int PostProc = 24;   // event handle on 32-bit Windows: passed beside the block
constexpr int CDBByte = 48;    // 16 bytes
constexpr int SenseArea = 64;  // 16 declared + 2 more: SRB_SenseLen is 18
constexpr int ClearedSize = 84;
constexpr int HaInquiryIdentifier = 26;  // SRB_HAInquiry.HA_Identifier, 16 bytes
constexpr int HaInquirySize = 60;

constexpr uint8_t SC_HA_INQUIRY = 0;
constexpr uint8_t SC_EXEC_SCSI_CMD = 2;
constexpr uint8_t SC_ABORT_SRB = 3;
constexpr uint8_t SS_PENDING = 0;
constexpr uint8_t SS_COMP = 1;
constexpr uint8_t SS_ABORTED = 2;
constexpr uint8_t SRB_DIR_IN = 0x08;
constexpr uint8_t SRB_DIR_OUT = 0x10;
constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;
}  // namespace Srb

// SendASPI32Command. `srb` is the request block in memory that stays valid (the ASPI layer
// writes SRB_Status, the sense area and the data behind the program's back). `data` and
// `event` are the SRB_BufPointer and SRB_PostProc of an SC_EXEC_SCSI_CMD. For SC_ABORT_SRB
// `data` is the block to abort. Returns the immediate status (SS_PENDING while running).
uint8_t PlatformSendAspi32Command(uint8_t* srb, uint8_t* data, AspiEvent event);

// CreateEventA (auto-reset, not signalled), WaitForSingleObject, CloseHandle.
constexpr uint32_t INFINITE_WAIT = 0xFFFFFFFF;
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 0x102;
AspiEvent PlatformCreateEvent();
uint32_t PlatformWaitForEvent(AspiEvent event, uint32_t timeoutMs);
void PlatformCloseEvent(AspiEvent event);
