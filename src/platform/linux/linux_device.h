#pragma once
#include <scsi/sg.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform_device.h"

// The pass-through block of the drive layer carried by SG_IO. Pure mappings, kept apart
// from the device calls so that they can be tested without a drive.

// /dev/sr0 to /dev/sr22 stand for the drive letters D to Z. False for any other letter.
bool DevicePathForLetter(char letter, char* path, size_t size);

// The drive as the lines on standard error name it: "D: (/dev/sr0)".
void DriveNameForLetter(char letter, char* name, size_t size);

// An entry of /sys/block/srN/device/scsi_generic ("sg3") as its node ("/dev/sg3"). False for
// any other entry, or when the path does not fit.
bool GenericPathForEntry(const char* entry, char* path, size_t size);

// errno of a failed call as the Windows error code the drive layer knows.
uint32_t ErrorFromErrno(int error);

// True when a sysfs device path runs through an IEEE 1394 (SBP-2) bus.
bool IsFireWirePath(const char* path);

// SCSI_IOCTL_GET_IDLUN's first word (id | lun << 8 | channel << 16 | host << 24) as the
// 8-byte SCSI_ADDRESS (Length, PortNumber, PathId, TargetId, Lun).
void ScsiAddressFromIdLun(uint32_t fourInOne, uint8_t address[8]);

// Fills `header` from the 80-byte block: direction, CDB, data, time-out in milliseconds
// (TimeOutValue x 1000) and the sense area of the block itself. ERROR_SUCCESS, or the
// error code of a block that cannot be sent.
uint32_t SgIoFromBlock(uint8_t block[Sptd::BlockSize], uint8_t* data, sg_io_hdr_t* header);

// Writes the outcome of SG_IO back into the block (ScsiStatus, SenseInfoLength,
// DataTransferLength). ERROR_SUCCESS when the drive's answer is in the block; the error code
// when the call failed, or the host adapter or driver failed the command with no SCSI
// status (the command may not have reached the drive).
uint32_t BlockFromSgIo(const sg_io_hdr_t& header, int ioctlResult, int ioctlErrno,
                       uint8_t block[Sptd::BlockSize]);
