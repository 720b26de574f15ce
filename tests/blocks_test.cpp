// The request blocks: the pass-through block that every platform layer checks before a driver
// sees it, and the parts of the Windows layer that compute, checked on the host (where the
// pointers go in the 32-bit blocks).
#include <gtest/gtest.h>

#include <cstring>

#include "platform/pass_through_block.h"
#include "platform/win32/win32_blocks.h"

namespace {

using namespace Win32Blocks;

// A block as the command executor builds it for a 6-byte data-in CDB.
void BuiltBlock(uint8_t block[Sptd::BlockSize]) {
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
        BuiltBlock(block);
        c.change(block);
        EXPECT_EQ(CheckPassThroughBlock(block, c.withData ? data : nullptr), c.expected) << c.name;
    }
}

// A block as the command executor builds it for a 6-byte data-in CDB.
void ValidBlock(uint8_t block[Sptd::BlockSize]) {
    std::memset(block, 0, Sptd::BlockSize);
    block[Sptd::Length] = Sptd::StructSize;
    block[Sptd::CdbLength] = 6;
    block[Sptd::SenseInfoLength] = 18;
    block[Sptd::DataIn] = Sptd::DATA_IN;
    PutLe32(block + Sptd::DataTransferLength, 96);
    PutLe32(block + Sptd::TimeOutValue, 2);
    PutLe32(block + Sptd::SenseInfoOffset, Sptd::SenseArea);
    block[Sptd::Cdb] = 0x12;
}

TEST(Win32PassThrough, DataPointerTravelsInTheBlockAndLeavesItAsTheProgramBuiltIt) {
    uint8_t block[Sptd::BlockSize];
    ValidBlock(block);
    uint8_t wire[Sptd::BlockSize];
    PackPassThroughDirect(block, 0x00A1B2C4u, wire);
    EXPECT_EQ(0, std::memcmp(wire, block, Sptd::DataBuffer));
    const uint8_t pointer[4] = {0xC4, 0xB2, 0xA1, 0x00};
    EXPECT_EQ(0, std::memcmp(wire + Sptd::DataBuffer, pointer, 4));
    EXPECT_EQ(0, std::memcmp(wire + Sptd::DataBuffer + 4, block + Sptd::DataBuffer + 4,
                             Sptd::BlockSize - Sptd::DataBuffer - 4));

    // The driver's answer: CHECK CONDITION with sense bytes, and a sense length larger than
    // what was offered (though inside the area), which must not reach the program.
    wire[Sptd::ScsiStatus] = 2;
    wire[Sptd::SenseInfoLength] = 24;
    wire[Sptd::SenseArea + 2] = 0x05;
    PutLe32(wire + Sptd::DataTransferLength, 36);
    UnpackPassThroughDirect(wire, block);
    EXPECT_EQ(block[Sptd::ScsiStatus], 2);
    EXPECT_EQ(block[Sptd::SenseInfoLength], 18);
    EXPECT_EQ(block[Sptd::SenseArea + 2], 0x05);
    EXPECT_EQ(GetLe32(block + Sptd::DataTransferLength), 36u);
    EXPECT_EQ(GetLe32(block + Sptd::DataBuffer), 0u);

    wire[Sptd::SenseInfoLength] = 14;
    UnpackPassThroughDirect(wire, block);
    EXPECT_EQ(block[Sptd::SenseInfoLength], 14);
}

TEST(Win32Aspi, PointersGoWhereEachRequestKeepsThem) {
    struct Case {
        uint8_t command;
        int dataAt;   // -1: nowhere
        int eventAt;  // -1: nowhere
    };
    const Case cases[] = {
        {Srb::SC_EXEC_SCSI_CMD, Srb::BufPointer, Srb::PostProc},
        {Srb::SC_ABORT_SRB, 8, -1},
        {Srb::SC_HA_INQUIRY, -1, -1},  // bytes 16.. are HA_ManagerId there
    };
    for (const Case& c : cases) {
        uint8_t srb[Srb::ClearedSize];
        std::memset(srb, 0xEE, sizeof srb);
        srb[Srb::Cmd] = c.command;
        uint8_t expected[Srb::ClearedSize];
        std::memcpy(expected, srb, sizeof srb);
        if (c.dataAt >= 0) PutLe32(expected + c.dataAt, 0x12345678u);
        if (c.eventAt >= 0) PutLe32(expected + c.eventAt, 0x9ABCDEF0u);
        PackSrbPointers(srb, 0x12345678u, 0x9ABCDEF0u);
        EXPECT_EQ(0, std::memcmp(srb, expected, sizeof srb)) << "command " << int{c.command};
    }
}

}  // namespace
