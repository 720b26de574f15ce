#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform_device.h"
#include "platform/platform_memory.h"
#include "test_support.h"
#include "update/hex_image.h"

namespace {

// One Intel HEX record with its checksum (the reader ignores it, files carry it anyway).
std::string Record(uint32_t address, uint32_t type, const std::vector<uint8_t>& data) {
    char text[16];
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                  address & 0xFFFF, type);
    std::string line = text;
    uint32_t sum = static_cast<uint32_t>(data.size()) + (address >> 8) + address + type;
    for (uint8_t byte : data) {
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
        sum += byte;
    }
    std::snprintf(text, sizeof text, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + text;
}
std::string Segment(uint32_t segment) {
    return Record(0, 2, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)});
}
const std::string End = ":00000001FF\r\n";

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
    static void PutText(const char* name, const std::string& text) {
        SimPutFile(name, std::vector<uint8_t>(text.begin(), text.end()));
    }
    static bool Shown(const char* text) { return Sim.Console.find(text) != std::string::npos; }
};

const char* const Loaded = "\r\nF/W file load success.";
const char* const NoStart = "\r\nStart Charactor is not fouund.";

TEST_F(LegacyHexTest, RecordsLandAtSegmentPlusAddressAndGapsStayFF) {
    PutText("QX510107.HEX", Record(0x0010, 0, {0x11, 0x22, 0x33}) + Segment(0x1000) +
                                Record(0x0010, 0, {0x44}) + Record(0x0020, 5, {0x99}) + End +
                                Record(0x0030, 0, {0x55}));
    ASSERT_EQ(LoadHexImage(), 0);
    const uint8_t* image = State.ImageBuffer;
    EXPECT_EQ(image[0x0F], 0xFF);
    EXPECT_EQ(image[0x10], 0x11);
    EXPECT_EQ(image[0x12], 0x33);
    EXPECT_EQ(image[0x13], 0xFF);
    EXPECT_EQ(image[0x10010], 0x44);  // type 02 of 0x1000, then address 0x0010
    EXPECT_EQ(image[0x10020], 0xFF);  // type 05 is ignored
    EXPECT_EQ(image[0x10030], 0xFF);  // behind the end record
    EXPECT_EQ(image[0x1FFFF], 0xFF);
    EXPECT_TRUE(Shown(Loaded));
    EXPECT_EQ(Sim.FilesOpen, 0);
}

TEST_F(LegacyHexTest, ReadingStopsOnceImageSizeDataBytesWereRead) {
    State.ImageSize = 4;
    PutText("QX510107.HEX",
            Record(0, 0, {1, 2}) + Record(2, 0, {3, 4}) + Record(0, 0, {9, 9}) + "garbage\n");
    ASSERT_EQ(LoadHexImage(), 0);
    EXPECT_EQ(State.ImageBuffer[0], 1);
    EXPECT_EQ(State.ImageBuffer[3], 4);
    EXPECT_EQ(State.ImageBuffer[4], 0);  // only ImageSize bytes are copied
    EXPECT_TRUE(Shown(Loaded));
}

TEST_F(LegacyHexTest, ALineWithoutStartCharacterFailsWithMessage16) {
    const std::string lines[] = {
        Record(0, 0, {1}) + "\r\n" + End,                   // an empty line
        Record(0, 0, {1}) + " " + Record(1, 0, {2}) + End,  // a blank before ':'
        // 1100 characters: the reader takes 1023, and the rest does not begin with ':'
        ":10000000" + std::string(1091, '0') + "\n" + End,
    };
    for (const std::string& text : lines) {
        Sim.Console.clear();
        PutText("QX510107.HEX", text);
        EXPECT_NE(LoadHexImage(), 0);
        EXPECT_TRUE(Shown(NoStart));
        EXPECT_FALSE(Shown(Loaded));
        EXPECT_EQ(Sim.FilesOpen, 0);
    }
}

TEST_F(LegacyHexTest, OddDataFieldsReadAsTwoDigitHexAndNeverPastTheLine) {
    // The second line is shorter than its count: what the first left in the line buffer
    // must not be read as its data.
    PutText("QX510107.HEX", Record(0, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}) +
                                ":04000800AA\n:0400100012G4 5\n" + End);
    ASSERT_EQ(LoadHexImage(), 0);
    const std::vector<uint8_t> expected = {0xAA, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0, 5, 0};
    EXPECT_EQ(std::vector<uint8_t>(State.ImageBuffer + 8, State.ImageBuffer + 20), expected);
}

TEST_F(LegacyHexTest, AByteOutsideWorkBufferRefusesTheFile) {
    State.WorkBufferSize = 0x10000;  // the real block is larger: a stray write would land
    State.ImageSize = 0x8000;
    PutText("QX510107.HEX",
            Record(0, 0, {1}) + Segment(0x0FFF) + Record(0x000E, 0, {7, 8, 9}) + End);
    EXPECT_NE(LoadHexImage(), 0);
    EXPECT_EQ(State.WorkBuffer[0xFFFE], 7);
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
    EXPECT_EQ(State.ImageBuffer[0x20000], 0xC1);
    EXPECT_EQ(State.ImageBuffer[0x20001], 0xC2);
    EXPECT_EQ(State.ImageBuffer[0x20FFF], 0xFF);
    EXPECT_EQ(State.ImageBuffer[0], 0x5A);  // the main image is not the patch's business
    EXPECT_TRUE(Shown("\r\nG6 Patch load success."));
    EXPECT_FALSE(Shown(Loaded));
}

}  // namespace
