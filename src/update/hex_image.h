#pragma once
#include <cstdint>

// The legacy images: Intel HEX text files read into WorkBuffer, every byte no record sets
// left 0xFF, and the wanted part copied into ImageBuffer.

constexpr uint32_t PatchOffset = 0x20000;  // where the patch lives in both buffers
constexpr uint32_t PatchLength = 0x1000;

// The main image, named by the selection: its first ImageSize bytes into ImageBuffer, then
// message 17. 0 on success; otherwise non-zero after the file-error line or message 16.
int LoadHexImage();

// "G6PATCH.HEX": its 0x1000 bytes at 0x20000 into ImageBuffer, then message 19. 0 on
// success; otherwise non-zero after the file-error line or message 16.
int LoadPatchHex();
