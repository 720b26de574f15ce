#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "legacy_test_support.h"
#include "test_support.h"
#include "update/legacy_generation.h"

namespace {

using namespace legacy_test;

// ---- ValidateLegacyImage: the drive and the loaded image against the selection ----------

class LegacyValidateTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        State.ImageBuffer = PlatformAllocateBlock(0x800000);
        State.ImageBufferSize = 0x800000;
    }
    void TearDown() override { PlatformFreeBlock(State.ImageBuffer); }

    // A drive at 1.05 of `kind` whose memory holds what an image of the kind holds, and the
    // image of 1.07 in ImageBuffer.
    void Prepare(int kind) {
        DefineEntry(kind, "1.07");
        SelectDefinitionEntry(0);
        std::memcpy(State.InquiryData + 8, "KESTREL DVD-RW  QXR-510 1.05", 28);
        State.DriveRevisionNumber = 0x105;
        const std::vector<uint8_t> image = MakeImage(kind, "1.07", 1);
        std::memcpy(State.ImageBuffer, image.data(), image.size());
        const KindPlaces places = PlacesOf(kind);
        std::memcpy(State.DriveModelCode,
                    kind == 8 || kind == 10 ? reinterpret_cast<const uint8_t*>(ModelCode)
                                            : &image[places.Model],
                    16);
        std::memcpy(State.DriveCpuType, &image[places.Cpu], 16);
    }
};

struct Mutation {
    std::string Name;
    std::function<void()> Apply;
    int Result;
    const char* Message;  // nullptr: none
};

std::vector<Mutation> MutationsFor(int kind) {
    const KindPlaces at = PlacesOf(kind);
    const bool shortFields = kind == 8 || kind == 10;  // the image compares 12 bytes
    const uint32_t imageLength = shortFields ? 12 : 16;
    // Bytes of the drive's CPU type that count: all of S0, 12 for kind 10, the length of the
    // entry's text (6) for the others.
    const uint32_t driveCpuLength = kind == 9 || kind == 11 ? 16 : kind == 10 ? 12 : 6;
    const char* const m4 = "\nFW is already latest version.";
    const char* const m40 = "\r\nSelected file is illegal fw file.";
    const char* const m49 = "\r\nCurrent Firmware is not supported by this program.";
    const char* const m64 = "\nModel code is not matched.";
    const char* const m65 = "\nCPU type is not matched.";
    auto flipImage = [](uint32_t offset) { return [=] { State.ImageBuffer[offset] ^= 0x01; }; };
    std::vector<Mutation> cases = {
        {"as built", [] {}, 0, nullptr},
        {"vendor", [] { State.InquiryData[8] = 'k'; }, -1, m49},
        {"product end", [] { State.InquiryData[31] = '9'; }, -1, m49},
        {"same revision", [] { State.DriveRevisionNumber = 0x107; }, 1, m4},
        {"drive newer", [] { State.DriveRevisionNumber = 0x110; }, 1, m4},
        {"drive model", [] { State.DriveModelCode[15] ^= 1; }, -1, m64},
        {"drive cpu last", [=] { State.DriveCpuType[driveCpuLength - 1] ^= 1; }, -1, m65},
        {"image model last", flipImage(at.Model + imageLength - 1), -1, m64},
        {"image cpu last", flipImage(at.Cpu + imageLength - 1), -1, m40},
        {"image model first", flipImage(at.Model), -1, m64},
    };
    if (driveCpuLength < 16) {
        cases.push_back(
            {"drive cpu beyond", [=] { State.DriveCpuType[driveCpuLength] ^= 1; }, 0, nullptr});
    }
    if (shortFields) {
        cases.push_back({"image model beyond", flipImage(at.Model + 12), 0, nullptr});
        cases.push_back({"image cpu beyond", flipImage(at.Cpu + 12), 0, nullptr});
    }
    return cases;
}

TEST_F(LegacyValidateTest, EachCheckOfEachKind) {
    for (int kind : {7, 8, 9, 10, 11, 3}) {
        for (const Mutation& m : MutationsFor(kind)) {
            ResetSim();
            Prepare(kind);
            m.Apply();
            State.NewRevision = 0x122;
            EXPECT_EQ(ValidateLegacyImage(), m.Result) << "kind " << kind << ": " << m.Name;
            EXPECT_EQ(Sim.Console, m.Message ? m.Message : "") << "kind " << kind << ": " << m.Name;
            EXPECT_TRUE(Sim.Boxes.empty());
            EXPECT_EQ(State.NewRevision, 0x107) << "kind " << kind << ": " << m.Name;
        }
    }
}

}  // namespace

namespace {

// ---- ReadLegacyModelInfo and CompareDriveMemory on a drive ------------------------------

class LegacyMemoryTest : public LegacyDriveTest {};

TEST_F(LegacyMemoryTest, ModelInfoComesFromTheFirstPlaceThatHoldsIt) {
    const std::string maker = "KESTREL QX-777  ";
    const struct {
        const char* name;
        uint32_t putAt;            // where the model code is put (0: nothing is put)
        const uint8_t* signature;  // or a signature at 0x1F000
        uint32_t modelAt;          // where the model code is read from
        size_t reads;              // READ BUFFER commands sent
    } cases[] = {
        {"0x1000 byte 0", 0x1000, nullptr, 0x1000, 1},
        {"0x1000 byte 16", 0x1010, nullptr, 0x1010, 1},
        {"0x1C000 byte 16", 0x1C010, nullptr, 0x1C010, 2},
        {"0x1C000 byte 0 does not count", 0x1C000, nullptr, 0, 3},
        {"S1", 0, LegacySignatureModel9, 0x1F000, 3},
        {"S2", 0, LegacySignatureModel11, 0x1F000, 3},
        {"S3", 0, LegacySignatureModelOther, 0x1F000, 3},
        {"S0 is no model code", 0, LegacySignatureCpu, 0, 3},
    };
    for (const auto& c : cases) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = AddDrive(false, 9);
        std::vector<uint8_t>& memory = drive.Legacy.Memory;
        std::memset(&memory[0x1F000], 0, 16);  // the kind-9 image's S1
        if (c.putAt != 0) std::memcpy(&memory[c.putAt], maker.data(), 16);
        if (c.signature != nullptr) std::memcpy(&memory[0x1F000], c.signature, 16);

        ASSERT_EQ(ReadLegacyModelInfo(), 0) << c.name;
        if (c.modelAt != 0) {
            EXPECT_EQ(0, std::memcmp(State.DriveModelCode, &memory[c.modelAt], 16)) << c.name;
            EXPECT_EQ(0, std::memcmp(State.DriveCpuType, &memory[c.modelAt + 16], 16)) << c.name;
        } else {
            EXPECT_EQ(0, std::memcmp(State.DriveModelCode, "Not recognize   ", 16)) << c.name;
            EXPECT_EQ(0, std::memcmp(State.DriveCpuType, "Not recognize   ", 16)) << c.name;
        }
        const std::vector<SimCommandRecord> reads = Commands(0x3C, 0x80);
        ASSERT_EQ(reads.size(), c.reads) << c.name;
        EXPECT_EQ(Sim.Trace.size(), c.reads) << c.name;
        const std::vector<std::vector<uint8_t>> cdbs = {
            {0x3C, 0x01, 0x80, 0x00, 0x10, 0x00, 0x00, 0x00, 0x40, 0x00},
            {0x3C, 0x01, 0x80, 0x01, 0xC0, 0x00, 0x00, 0x00, 0x40, 0x00},
            {0x3C, 0x01, 0x80, 0x01, 0xF0, 0x00, 0x00, 0x00, 0x20, 0x00},
        };
        for (size_t i = 0; i < reads.size(); ++i) EXPECT_EQ(CdbOf(reads[i]), cdbs[i]) << c.name;
        EXPECT_EQ(reads[0].TimeoutMs, 5000u);
    }
}

TEST_F(LegacyMemoryTest, CompareFindsEachKindOfDifferenceAndSkipsTheDrivesOwnBytes) {
    const struct {
        int32_t differsAt;  // -1: nowhere
        int result;
    } cases[] = {
        {-1, 0},      {0x0000, -1}, {0x03FF, -1}, {0x0400, 0},   {0x044F, 0},
        {0x0450, -2}, {0x7FFF, -2}, {0x8000, -3}, {0x1FFFF, -3},
    };
    for (const auto& c : cases) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = AddDrive(false, 7);
        std::memcpy(State.ImageBuffer, drive.Legacy.Memory.data(), ImageLength);
        if (c.differsAt >= 0) drive.Legacy.Memory[static_cast<uint32_t>(c.differsAt)] ^= 0x40;
        EXPECT_EQ(CompareDriveMemory(0x20000), c.result) << std::hex << c.differsAt;
        const std::vector<SimCommandRecord> reads = Commands(0x3C, 0x80);
        ASSERT_EQ(reads.size(), 4u);
        for (size_t i = 0; i < reads.size(); ++i) {
            const std::vector<uint8_t> cdb = {0x3C,
                                              0x01,
                                              0x80,
                                              static_cast<uint8_t>(i * 0x8000 >> 16),
                                              static_cast<uint8_t>(i * 0x8000 >> 8),
                                              0x00,
                                              0x00,
                                              0x80,
                                              0x00,
                                              0x00};
            EXPECT_EQ(CdbOf(reads[i]), cdb);
        }
    }
}

}  // namespace
