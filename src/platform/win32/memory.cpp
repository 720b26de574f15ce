// The run's large blocks: fixed, zero-filled global memory, locked for its whole life.
#include "platform/win32/win32_api.h"
#include "platform/win32/win32_blocks.h"

static_assert(Win32Blocks::GlobalMemFixed == GMEM_FIXED, "");
static_assert(Win32Blocks::GlobalMemMoveable == GMEM_MOVEABLE, "");
static_assert(Win32Blocks::GlobalMemZeroInit == GMEM_ZEROINIT, "");
static_assert(Win32Blocks::BlockAllocationFlags == GPTR, "");

uint8_t* PlatformAllocateBlock(uint32_t size) {
    const HGLOBAL memory = GlobalAlloc(Win32Blocks::BlockAllocationFlags, size);
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
