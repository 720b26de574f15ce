#pragma once
#include <cstdint>

// Chooses the transport from the operating system's version, prepares it, allocates the
// run's memory blocks and records the host facts (Intel ATA driver, IEEE 1394 adapter,
// automatic insert notification). 0 ready; -1 a memory block was not obtained; on ASPI
// also 1 library not loadable, 2 ASPI failed to initialise, 3 no host adapter.
int ProbeHost();

// The two branches of ProbeHost, with its results.
int PrepareSptiHost();
int PrepareAspiHost();

// Adds the "AutoInsertNotification" bytes of the present IEEE 1394 drives of the QXR-710
// model on adapter Ieee1394Marker to AutoInsertCount. 0, or the last registry error.
int ScanAutoInsertNotification();

// 0 when the Configuration Manager lists a present device whose hardware key matches the
// Enum\SCSI subkey `name`, else -1.
int IsDevicePresent(const char* name);

// Sizes of the run's memory blocks.
constexpr uint32_t WorkBufferBytes = 0x200000;
constexpr uint32_t SptiImageBufferBytes = 0x800000;
constexpr uint32_t SptiCommandDataBytes = 512;
constexpr uint32_t AspiBlockBytes = 0x200000;  // each of the four blocks on ASPI
