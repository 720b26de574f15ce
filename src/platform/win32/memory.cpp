// The run's large blocks: movable, zero-filled global memory, locked for its whole life.
#include "platform/win32/win32_api.h"

uint8_t* PlatformAllocateBlock(uint32_t size) {
    const HGLOBAL memory = GlobalAlloc(GHND, size);
    if (memory == nullptr) return nullptr;
    void* block = GlobalLock(memory);
    if (block == nullptr) GlobalFree(memory);
    return static_cast<uint8_t*>(block);
}

void PlatformFreeBlock(uint8_t* block) {
    if (block == nullptr) return;
    const HGLOBAL memory = GlobalHandle(block);
    if (memory == nullptr) return;
    GlobalUnlock(memory);
    GlobalFree(memory);
}
