#include <cstring>
#include <string>
#include <vector>

#include "legacy_test_support.h"
#include "update/legacy_generation.h"

namespace {

using namespace legacy_test;

class LegacyTransferTest : public LegacyDriveTest {};

std::vector<uint8_t> WriteCdb(uint8_t buffer, uint32_t offset, uint32_t length) {
    return BufferCdb(0x3B, buffer, offset, length);
}

TEST_F(LegacyTransferTest, ChunksThenTheTailWithTheSixteenBytesBehindTheImage) {
    const struct {
        int32_t size;
        std::vector<uint32_t> chunks;
    } cases[] = {
        {0x20000, {0, 0x8000, 0x10000, 0x18000}},
        {0x19000, {0, 0x8000, 0x10000}},
        {0x19001, {0, 0x8000, 0x10000, 0x18000}},
        {0x1000, {0}},  // at least one chunk
    };
    for (const auto& c : cases) {
        VirtualDrive& drive = AddDrive(false, 7);
        State.ImageSize = c.size;
        for (uint32_t i = 0; i < 0x21000; ++i) State.ImageBuffer[i] = static_cast<uint8_t>(i * 3);
        ASSERT_EQ(TransferLegacyImage(), 0) << std::hex << c.size;
        const uint32_t tail = static_cast<uint32_t>(c.size) - 0x1000;
        ASSERT_EQ(Sim.Trace.size(), c.chunks.size() + 2);
        EXPECT_EQ(CdbOf(Sim.Trace[0]), WriteCdb(0x30, 0, 0));
        for (size_t i = 0; i < c.chunks.size(); ++i) {
            EXPECT_EQ(CdbOf(Sim.Trace[i + 1]), WriteCdb(0xFF, c.chunks[i], 0x8000));
        }
        EXPECT_EQ(CdbOf(Sim.Trace.back()), WriteCdb(0xFF, tail, 0x1010));
        const std::vector<uint8_t>& received = drive.Legacy.Received;
        ASSERT_GE(received.size(), tail + 0x1010);
        EXPECT_EQ(0, std::memcmp(received.data(), State.ImageBuffer, tail + 0x1010));
        EXPECT_EQ(0, std::memcmp(State.ImageBuffer + c.size, "WIN ", 4));
    }
}

TEST_F(LegacyTransferTest, MarkerForEachTransportIntelDriverAndPatchDrive) {
    // Index bits: 1 ASPI, 2 the Intel driver, 4 a patch drive.
    const char* const markers[] = {"WIN ", "WIN2", "WIN2", "WIN2", "WIN ", "WIN ", "WIN2", "WIN2"};
    for (int i = 0; i < 8; ++i) {
        VirtualDrive& drive = AddDrive(i & 1, 7);
        State.IntelAtaDriver = (i & 2) != 0;
        State.NeedsG6Patch = (i & 4) != 0;
        State.ImageSize = 0x20000;
        ASSERT_EQ(TransferLegacyImage(), 0);
        EXPECT_EQ(drive.Legacy.Marker, markers[i]) << i;
    }
}

// The count-down lines from `first` down to 0, as the console shows them.
std::string Countdown(int first) {
    std::string text = "\n";
    char line[40];
    for (int s = first; s >= 0; --s) {
        std::snprintf(line, sizeof line, "\rRemaining time is %02dsec", s);
        text += line;
    }
    return text;
}

TEST_F(LegacyTransferTest, TimedFlashCountsDownAndOnlyAFinishedFlashIsSuccess) {
    const struct {
        bool aspi;
        int kind;
        uint32_t flashMs;
        bool fails;
        int result, firstLine;
        uint32_t timeoutMs;  // pass-through: the command's; ASPI: the run's CommandTimeout
    } cases[] = {
        // ASPI always counts 30 s on the clock, and its poll ends the transfer.
        {true, 7, 2000, false, 0, 29, 0},
        {true, 9, 25000, false, 0, 29, 10000},
        {true, 7, 0, true, -1, 29, 0},
        {true, 7, 45000, false, -1, 29, 0},  // never ends within the 30 s
        // Pass-through counts from before the command: 8 s of it, then 1 s of the first step.
        {false, 7, 8000, false, 0, 21, 30000},
        {false, 9, 3000, false, 0, 6, 10000},
        {false, 11, 0, false, 0, 9, 10000},
        {false, 10, 29500, false, 0, 0, 30000},
    };
    for (const auto& c : cases) {
        VirtualDrive& drive = AddDrive(c.aspi, c.kind);
        State.ImageSize = 0x20000;
        ASSERT_EQ(TransferLegacyImage(), 0);
        Sim.Trace.clear();
        Sim.Sleeps.clear();
        Sim.Console.clear();
        drive.Legacy.FlashMs = c.flashMs;
        if (c.fails) drive.Faults.push_back(CheckConditionOn(0x3B, 0x04, 0x44, 0x00));
        State.CurrentKind = c.kind;
        const uint32_t start = Sim.ClockMs;
        const std::string name = std::to_string(c.aspi) + " kind " + std::to_string(c.kind);

        EXPECT_EQ(RunTimedFlash(), c.result) << name;
        EXPECT_EQ(Sim.Console, Countdown(c.firstLine)) << name;
        EXPECT_EQ(State.TimedTransferActive, 0) << name;
        EXPECT_EQ(Sim.TimerPeriodsHeld, 0u) << name;
        ASSERT_EQ(Sim.Trace.size(), 1u) << name;
        EXPECT_EQ(CdbOf(Sim.Trace[0]), WriteCdb(0x42, 0, 0)) << name;
        if (c.aspi) {
            EXPECT_EQ(Sim.ClockMs - start, 30000u) << name;
            EXPECT_EQ(Sim.Sleeps, std::vector<uint32_t>(30, 1000)) << name;
            EXPECT_EQ(State.CommandTimeout, c.timeoutMs) << name;
            EXPECT_EQ(Sim.HungWaits, 0u) << name;
        } else {
            EXPECT_GE(Sim.ClockMs - start, c.timeoutMs) << name;
            EXPECT_LT(Sim.ClockMs - start, c.timeoutMs + 1000) << name;
            EXPECT_EQ(Sim.Trace[0].TimeoutMs, c.timeoutMs) << name;
        }
    }
}

}  // namespace
