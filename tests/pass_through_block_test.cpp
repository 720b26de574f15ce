// The pass-through block that every platform layer checks before a driver sees it.
#include "platform/pass_through_block.h"

#include <gtest/gtest.h>

namespace {

// A block as the command executor builds it for a 6-byte data-in CDB.
void ValidBlock(uint8_t block[Sptd::BlockSize]) {
    const uint8_t address[8] = {8, 0, 0, 0, 1, 2, 3, 4};
    const uint8_t inquiry[6] = {0x12, 0, 0, 0, 96, 0};
    BuildPassThroughBlock(block, address, inquiry, 6, Sptd::DATA_IN, 96, 2, 18);
}

TEST(PassThroughBlock, OnlyBlocksThatStayInsideTheirBuffersReachTheDriver) {
    uint8_t data[96];
    struct Case {
        const char* name;
        void (*change)(uint8_t* block);
        bool withData;
        uint32_t expected;
    };
    const Case cases[] = {
        {"as built", [](uint8_t*) {}, true, ERROR_SUCCESS},
        {"length 45", [](uint8_t* b) { b[Sptd::Length] = 45; }, true, ERROR_INVALID_PARAMETER},
        {"no CDB", [](uint8_t* b) { b[Sptd::CdbLength] = 0; }, true, ERROR_INVALID_PARAMETER},
        {"16-byte CDB", [](uint8_t* b) { b[Sptd::CdbLength] = 16; }, true, ERROR_SUCCESS},
        {"17-byte CDB", [](uint8_t* b) { b[Sptd::CdbLength] = 17; }, true, ERROR_INVALID_PARAMETER},
        {"direction 3", [](uint8_t* b) { b[Sptd::DataIn] = 3; }, true, ERROR_INVALID_PARAMETER},
        {"data in, no buffer", [](uint8_t*) {}, false, ERROR_INVALID_PARAMETER},
        {"data out, no buffer", [](uint8_t* b) { b[Sptd::DataIn] = Sptd::DATA_OUT; }, false,
         ERROR_INVALID_PARAMETER},
        {"no data phase, no buffer",
         [](uint8_t* b) {
             b[Sptd::DataIn] = Sptd::DATA_UNSPECIFIED;
             PutLe32(b + Sptd::DataTransferLength, 0);
         },
         false, ERROR_SUCCESS},
        {"a length with no data phase",
         [](uint8_t* b) { b[Sptd::DataIn] = Sptd::DATA_UNSPECIFIED; }, true,
         ERROR_INVALID_PARAMETER},
        {"nothing to move, no buffer", [](uint8_t* b) { PutLe32(b + Sptd::DataTransferLength, 0); },
         false, ERROR_SUCCESS},
        {"sense fills the area", [](uint8_t* b) { b[Sptd::SenseInfoLength] = 32; }, true,
         ERROR_SUCCESS},
        {"sense past the block", [](uint8_t* b) { b[Sptd::SenseInfoLength] = 33; }, true,
         ERROR_INVALID_PARAMETER},
        {"sense over the structure", [](uint8_t* b) { PutLe32(b + Sptd::SenseInfoOffset, 40); },
         true, ERROR_INVALID_PARAMETER},
        {"sense offset wraps", [](uint8_t* b) { PutLe32(b + Sptd::SenseInfoOffset, 0xFFFFFFF8u); },
         true, ERROR_INVALID_PARAMETER},
        {"no sense asked, any offset",
         [](uint8_t* b) {
             b[Sptd::SenseInfoLength] = 0;
             PutLe32(b + Sptd::SenseInfoOffset, 0xFFFFFFF8u);
         },
         true, ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        uint8_t block[Sptd::BlockSize];
        ValidBlock(block);
        c.change(block);
        EXPECT_EQ(CheckPassThroughBlock(block, c.withData ? data : nullptr), c.expected) << c.name;
    }
}

}  // namespace
