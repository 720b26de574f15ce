#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The older drive generation's side of a virtual drive: its memory, read with READ BUFFER
// mode 1 buffer 80h, and its download: WRITE BUFFER mode 1 with buffer 30h (prepare), FFh
// (image bytes) and 42h (flash). A flash takes FlashMs, replaces the start of the memory
// with the received image, and reboots the drive, which then reports the revision that the
// image carries at RevisionAt.

struct VirtualDrive;
struct VirtualDriveAnswer;
struct VirtualDriveData;

struct VirtualLegacyChunk {
    uint32_t Offset;
    uint32_t Length;
};

struct VirtualLegacyModel {
    bool Enabled = false;          // false: mode 1 is refused as on the current generation
    std::vector<uint8_t> Memory;   // the firmware the drive runs; empty reads as 128 KiB of 0xFF
    uint32_t FlashMs = 8000;       // how long the flash command keeps the drive busy
    uint32_t RevisionAt = 0x1030;  // 4 revision characters of the image ("1.07")
    bool KeepsOwnArea = false;     // a flash leaves 0x400..0x44F (the drive's own data) alone
    int32_t FlashCorruptsAt = -1;  // >= 0: the flash stores this byte of the image inverted

    // State
    bool Prepared = false;          // buffer 30h seen since the last flash
    std::vector<uint8_t> Received;  // image bytes received since the last buffer 30h
    uint32_t ImageEnd = 0;          // set by the tail command, whose last 16 bytes lie behind
    std::string Marker;             // the first 4 of the 16 bytes behind the image in the tail
    std::vector<uint8_t> Behind;    // ... and all 16 of them
    uint32_t PrepareCount = 0;
    uint32_t FlashCount = 0;
    std::vector<VirtualLegacyChunk> Chunks;  // every buffer FFh write, in order
};

constexpr uint32_t VirtualLegacyMemorySize = 0x20000;

// Carries out READ BUFFER or WRITE BUFFER mode 1 on a legacy drive; false when the command is
// none of these (or the drive is not a legacy one) and the caller handles it as usual.
bool RunVirtualLegacyBuffer(VirtualDrive& drive, VirtualDriveAnswer& answer, const uint8_t* cdb,
                            const VirtualDriveData& data, uint32_t nowMs);
