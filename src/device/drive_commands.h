#pragma once
#include <cstdint>

// The drive command set: every CDB the procedures send, built here and nowhere else.

// Generic wrappers on a target index. Offsets are 24 bits wide and lengths 16 bits wide
// in the CDB; wider values are cut to their CDB bytes, and so is the transfer.
int TestUnitReady(int target);
int Inquiry(int target, uint8_t* buffer);  // 96 bytes
int StartStopUnit(int target, int byte1, int powerCondition, int loadEject, int start);
int ReadBuffer(int target, int mode, int bufferId, uint32_t offset, uint32_t length,
               uint8_t* buffer);
int WriteBuffer(int target, int mode, int bufferId, uint32_t offset, uint32_t length,
                uint8_t* buffer);
int ReportKey(int target, int keyClass, int keyFormat, int agid, uint32_t length, uint8_t* buffer);

constexpr uint32_t InquiryLength = 96;
constexpr uint32_t FirmwareInfoPageLength = 48;

// Named operations on SelectedTarget.
int StopUnit();
int CheckRegionControlState();  // -1 when the drive's RPC scheme is not 1
int SendPreUpdateCommand();
int WriteKernelChunk(uint32_t offset, uint32_t length, uint8_t* data);
int WriteNormalChunk(uint32_t offset, uint32_t length, uint8_t* data);
int LegacyPrepareDownload();
int LegacyWriteChunk(uint32_t offset, uint32_t length, uint8_t* data);
int LegacyStartFlash();
int LegacyReadMemory(uint32_t offset, uint32_t length, uint8_t* data);

// Enumeration probes, sent directly on the transport: on SPTI to the device that
// OpenDriveDevice opened (the arguments are not used), on ASPI to the given adapter and
// target id. ProbeInquiry reads 96 bytes into WorkBuffer, ProbeVendorPage 48 bytes into
// FirmwareInfoPage, asking once more when the drive answers UNIT ATTENTION. 0 on success.
int ProbeInquiry(int hostAdapter, int targetId);
int ProbeVendorPage(int hostAdapter, int targetId);

// Media change notification of the drive letter in the current NotificationTable slot
// (SPTI only; on ASPI nothing happens). Begin opens and keeps a second handle to the drive.
int BeginMediaNotificationControl();
void EndMediaNotificationControl();
