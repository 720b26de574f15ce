#include <cstdlib>

#include "platform/platform_memory.h"

uint8_t* PlatformAllocateBlock(uint32_t size) {
    return static_cast<uint8_t*>(std::calloc(size, 1));
}

void PlatformFreeBlock(uint8_t* block) {
    std::free(block);
}
