#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "legacy_test_support.h"
#include "test_support.h"
#include "update/legacy_generation.h"

namespace {

using namespace legacy_test;

class LegacyValidateTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        State.ImageBuffer = PlatformAllocateBlock(ImageLength);
        State.ImageBufferSize = ImageLength;
    }
    void TearDown() override { PlatformFreeBlock(State.ImageBuffer); }
    // A drive at 1.05 of `kind` whose memory holds what an image of the kind holds, and the
    // image of 1.07 in ImageBuffer.
    void Prepare(int kind) {
        ResetSim();
        DefineEntry(kind, "1.07");
        SelectDefinitionEntry(0);
        std::memcpy(State.InquiryData + 8, "KESTREL DVD-RW  QXR-510 1.05", 28);
        State.DriveRevisionNumber = 0x105;
        const std::vector<uint8_t> image = MakeImage(kind, "1.07", 1);
        std::memcpy(State.ImageBuffer, image.data(), image.size());
        const KindPlaces at = PlacesOf(kind);
        const bool plain = kind == 8 || kind == 10;
        std::memcpy(State.DriveModelCode,
                    plain ? reinterpret_cast<const uint8_t*>(ModelCode) : &image[at.Model], 16);
        std::memcpy(State.DriveCpuType, &image[at.Cpu], 16);
    }
};

TEST_F(LegacyValidateTest, EachCheckOfEachKind) {
    const char* const m4 = "\nFW is already latest version.";
    const char* const m40 = "\r\nSelected file is illegal fw file.";
    const char* const m49 = "\r\nCurrent Firmware is not supported by this program.";
    const char* const m64 = "\nModel code is not matched.";
    const char* const m65 = "\nCPU type is not matched.";
    for (int kind : {7, 8, 9, 10, 11, 3}) {
        const KindPlaces at = PlacesOf(kind);
        const bool shortFields = kind == 8 || kind == 10;  // the image compares 12 bytes
        const uint32_t imageLength = shortFields ? 12 : 16;
        // Drive CPU bytes that count: all of S0, 12 for kind 10, the entry's 6 for the others.
        const uint32_t cpuLength = kind == 9 || kind == 11 ? 16 : kind == 10 ? 12 : 6;
        auto flip = [](uint8_t* bytes, uint32_t offset) { return [=] { bytes[offset] ^= 0x01; }; };
        struct Mutation {
            std::function<void()> Apply;
            int Result;
            const char* Message;
        };
        std::vector<Mutation> cases = {
            {[] {}, 0, ""},
            {flip(State.InquiryData, 8), -1, m49},   // vendor
            {flip(State.InquiryData, 31), -1, m49},  // product end
            {[] { State.DriveRevisionNumber = 0x107; }, 1, m4},
            {[] { State.DriveRevisionNumber = 0x110; }, 1, m4},
            {flip(State.DriveModelCode, 15), -1, m64},
            {flip(State.DriveCpuType, cpuLength - 1), -1, m65},
            {flip(State.ImageBuffer, at.Model + imageLength - 1), -1, m64},
            {flip(State.ImageBuffer, at.Model), -1, m64},
            {flip(State.ImageBuffer, at.Cpu + imageLength - 1), -1, m40},
        };
        if (cpuLength < 16) cases.push_back({flip(State.DriveCpuType, cpuLength), 0, ""});
        if (shortFields) {
            cases.push_back({flip(State.ImageBuffer, at.Model + 12), 0, ""});
            cases.push_back({flip(State.ImageBuffer, at.Cpu + 12), 0, ""});
        }
        for (size_t i = 0; i < cases.size(); ++i) {
            Prepare(kind);
            cases[i].Apply();
            State.NewRevision = 0x122;
            EXPECT_EQ(ValidateLegacyImage(), cases[i].Result) << "kind " << kind << " case " << i;
            EXPECT_EQ(Sim.Console, cases[i].Message) << "kind " << kind << " case " << i;
            EXPECT_TRUE(Sim.Boxes.empty());
            EXPECT_EQ(State.NewRevision, 0x107);
        }
    }
}

class LegacyMemoryTest : public LegacyDriveTest {};

std::vector<uint8_t> ReadCdb(uint32_t offset, uint32_t length) {
    return BufferCdb(0x3C, 0x80, offset, length);
}

TEST_F(LegacyMemoryTest, ModelInfoComesFromTheFirstPlaceThatHoldsIt) {
    const struct {
        uint32_t putAt;            // where the model code is put (0: nowhere)
        const uint8_t* signature;  // or a signature at 0x1F000
        uint32_t modelAt;          // where it is read from (0: not recognised)
        size_t reads;
    } cases[] = {
        {0x1000, nullptr, 0x1000, 1},
        {0x1010, nullptr, 0x1010, 1},
        {0x1C010, nullptr, 0x1C010, 2},
        {0x1C000, nullptr, 0, 3},  // byte 0 does not count
        {0, LegacySignatureModel9, 0x1F000, 3},
        {0, LegacySignatureModel11, 0x1F000, 3},
        {0, LegacySignatureModelOther, 0x1F000, 3},
        {0, LegacySignatureCpu, 0, 3},
    };
    const std::vector<std::vector<uint8_t>> cdbs = {ReadCdb(0x1000, 0x40), ReadCdb(0x1C000, 0x40),
                                                    ReadCdb(0x1F000, 0x20)};
    for (const auto& c : cases) {
        std::vector<uint8_t>& memory = AddDrive(false, 9).Legacy.Memory;
        std::memset(&memory[0x1F000], 0, 16);  // the kind-9 image's S1
        if (c.putAt != 0) std::memcpy(&memory[c.putAt], "KESTREL QX-777  ", 16);
        if (c.signature != nullptr) std::memcpy(&memory[0x1F000], c.signature, 16);
        ASSERT_EQ(ReadLegacyModelInfo(), 0) << std::hex << c.putAt;
        const uint8_t* model = c.modelAt ? &memory[c.modelAt] : nullptr;
        const uint8_t* const none = reinterpret_cast<const uint8_t*>("Not recognize   ");
        EXPECT_EQ(0, std::memcmp(State.DriveModelCode, model ? model : none, 16)) << c.putAt;
        EXPECT_EQ(0, std::memcmp(State.DriveCpuType, model ? model + 16 : none, 16)) << c.putAt;
        ASSERT_EQ(Sim.Trace.size(), c.reads) << c.putAt;
        for (size_t i = 0; i < c.reads; ++i) EXPECT_EQ(CdbOf(Sim.Trace[i]), cdbs[i]);
        EXPECT_EQ(Sim.Trace[0].TimeoutMs, 5000u);
    }
}

TEST_F(LegacyMemoryTest, CompareFindsEachKindOfDifferenceAndSkipsTheDrivesOwnBytes) {
    const struct {
        int32_t differsAt;  // -1: nowhere
        int result;
    } cases[] = {{-1, 0},      {0x03FF, -1}, {0x0400, 0},  {0x044F, 0},
                 {0x0450, -2}, {0x7FFF, -2}, {0x8000, -3}, {0x1FFFF, -3}};
    for (const auto& c : cases) {
        VirtualDrive& drive = AddDrive(false, 7);
        std::memcpy(State.ImageBuffer, drive.Legacy.Memory.data(), ImageLength);
        if (c.differsAt >= 0) drive.Legacy.Memory[static_cast<uint32_t>(c.differsAt)] ^= 0x40;
        EXPECT_EQ(CompareDriveMemory(0x20000), c.result) << std::hex << c.differsAt;
        ASSERT_EQ(Sim.Trace.size(), 4u);
        for (uint32_t i = 0; i < 4; ++i)
            EXPECT_EQ(CdbOf(Sim.Trace[i]), ReadCdb(i * 0x8000, 0x8000));
    }
}

}  // namespace
