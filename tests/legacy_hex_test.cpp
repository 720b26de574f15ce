#include <cstdio>
#include <string>
#include <vector>

#include "legacy_test_support.h"
#include "platform/platform_device.h"
#include "test_support.h"
#include "update/hex_image.h"

namespace {

using namespace legacy_test;

class LegacyHexTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        State.WorkBuffer = PlatformAllocateBlock(0x200000);
        State.WorkBufferSize = 0x200000;
        State.ImageBuffer = PlatformAllocateBlock(0x800000);
        State.ImageBufferSize = 0x800000;
        std::snprintf(State.Selection.ImageFileName, sizeof State.Selection.ImageFileName,
                      "QX510107.HEX");
        State.ImageSize = 0x20000;
    }
    void TearDown() override {
        PlatformFreeBlock(State.WorkBuffer);
        PlatformFreeBlock(State.ImageBuffer);
    }
    static bool Shown(const char* text) { return Sim.Console.find(text) != std::string::npos; }
    static std::vector<uint8_t> Image(uint32_t from, uint32_t to) {
        return {State.ImageBuffer + from, State.ImageBuffer + to};
    }
};

const char* const Loaded = "\r\nF/W file load success.";

TEST_F(LegacyHexTest, RecordsLandAtSegmentPlusAddressAndGapsStayFF) {
    PutText("QX510107.HEX", Record(0x0010, 0, {0x11, 0x22, 0x33}) + Segment(0x1000) +
                                Record(0x0010, 0, {0x44}) + Record(0x0020, 5, {0x99}) + End +
                                Record(0x0030, 0, {0x55}));
    ASSERT_EQ(LoadHexImage(), 0);
    EXPECT_EQ(Image(0x0F, 0x14), std::vector<uint8_t>({0xFF, 0x11, 0x22, 0x33, 0xFF}));
    EXPECT_EQ(State.ImageBuffer[0x10010], 0x44);  // type 02 of 0x1000, then address 0x0010
    EXPECT_EQ(State.ImageBuffer[0x10020], 0xFF);  // type 05 is ignored
    EXPECT_EQ(State.ImageBuffer[0x10030], 0xFF);  // behind the end record
    EXPECT_EQ(State.ImageBuffer[0x1FFFF], 0xFF);
    EXPECT_TRUE(Shown(Loaded));
    EXPECT_EQ(Sim.FilesOpen, 0);
}

TEST_F(LegacyHexTest, ReadingStopsOnceImageSizeDataBytesWereRead) {
    State.ImageSize = 4;
    PutText("QX510107.HEX",
            Record(0, 0, {1, 2}) + Record(2, 0, {3, 4}) + Record(0, 0, {9, 9}) + "garbage\n");
    ASSERT_EQ(LoadHexImage(), 0);
    EXPECT_EQ(Image(0, 5), std::vector<uint8_t>({1, 2, 3, 4, 0}));  // only ImageSize copied
    EXPECT_TRUE(Shown(Loaded));
}

TEST_F(LegacyHexTest, ALineWithoutStartCharacterFailsWithMessage16) {
    const std::string texts[] = {
        Record(0, 0, {1}) + "\r\n" + End,                   // an empty line
        Record(0, 0, {1}) + " " + Record(1, 0, {2}) + End,  // a blank before ':'
        ":10000000" + std::string(1091, '0') + "\n" + End,  // 1023 taken, the rest no ':'
    };
    for (const std::string& text : texts) {
        Sim.Console.clear();
        PutText("QX510107.HEX", text);
        EXPECT_NE(LoadHexImage(), 0);
        EXPECT_EQ(Sim.Console, "\r\nStart Charactor is not fouund.");
        EXPECT_EQ(Sim.FilesOpen, 0);
    }
}

TEST_F(LegacyHexTest, OddDataFieldsReadAsTwoDigitHexAndNeverPastTheLine) {
    // The second line is shorter than its count: the first's leftovers are not its data.
    PutText("QX510107.HEX", Record(0, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}) +
                                ":04000800AA\n:0400100012G4 5\n" + End);
    ASSERT_EQ(LoadHexImage(), 0);
    EXPECT_EQ(Image(8, 20),
              std::vector<uint8_t>({0xAA, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0, 5, 0}));
}

TEST_F(LegacyHexTest, AByteOutsideWorkBufferRefusesTheFile) {
    State.WorkBufferSize = 0x10000;  // the real block is larger: a stray write would land
    State.ImageSize = 0x8000;
    PutText("QX510107.HEX",
            Record(0, 0, {1}) + Segment(0x0FFF) + Record(0x000E, 0, {7, 8, 9}) + End);
    EXPECT_NE(LoadHexImage(), 0);
    EXPECT_EQ(State.WorkBuffer[0xFFFF], 8);
    EXPECT_EQ(State.WorkBuffer[0x10000], 0);
    EXPECT_EQ(State.ImageBuffer[0], 0);  // nothing copied
    EXPECT_FALSE(Shown(Loaded));
}

TEST_F(LegacyHexTest, FileFailuresPrintTheirCause) {
    const struct {
        bool present;
        uint32_t openError;
        bool readFails;
        const char* line;
    } cases[] = {
        {false, 0, false, "\r\nFile Exception Error 2 : File not found"},
        {true, ERROR_ACCESS_DENIED, false, "\r\nFile Exception Error 5 : File access denied"},
        {true, 32, false, "\r\nFile Exception Error b : File sharing violation"},
        {true, 0, true, "\r\nFile Exception Error a : Hardware I/O error"},
    };
    for (const auto& c : cases) {
        ResetSim();
        if (c.present) {
            SimFile& file = SimPutFile("QX510107.HEX", {':', '0', '0'});
            file.OpenError = c.openError;
            file.ReadFails = c.readFails;
        }
        EXPECT_NE(LoadHexImage(), 0);
        EXPECT_EQ(Sim.Console, c.line);
        EXPECT_EQ(Sim.FilesOpen, 0);
    }
}

TEST_F(LegacyHexTest, PatchFillsOnlyItsWindowOfImageBuffer) {
    State.ImageBuffer[0] = 0x5A;
    State.ImageBuffer[0x20FFF] = 0x5A;
    State.WorkBuffer[0x20FFF] = 0x5A;  // left over from an earlier load
    PutText("G6PATCH.HEX", Segment(0x2000) + Record(0, 0, {0xC1, 0xC2}) + End);
    ASSERT_EQ(LoadPatchHex(), 0);
    EXPECT_EQ(Sim.FileOpens.back(), "G6PATCH.HEX");
    EXPECT_EQ(Image(0x20000, 0x20002), std::vector<uint8_t>({0xC1, 0xC2}));
    EXPECT_EQ(State.ImageBuffer[0x20FFF], 0xFF);
    EXPECT_EQ(State.ImageBuffer[0], 0x5A);  // the main image is not the patch's business
    EXPECT_EQ(Sim.Console, "\r\nG6 Patch load success.");
}

}  // namespace
