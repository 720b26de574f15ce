#pragma once
#include <cstdint>

// The run's large memory blocks (GlobalAlloc + GlobalLock on Windows): zero-filled, fixed for
// their whole life. Returns null when the block cannot be had.
uint8_t* PlatformAllocateBlock(uint32_t size);
void PlatformFreeBlock(uint8_t* block);
