#include <cstring>
#include <string>
#include <vector>

#include "legacy_test_support.h"
#include "update/legacy_generation.h"

namespace {

using namespace legacy_test;

class LegacyTransferTest : public LegacyDriveTest {};

std::vector<uint8_t> WriteCdb(uint8_t buffer, uint32_t offset, uint32_t length) {
    return {0x3B,
            0x01,
            buffer,
            static_cast<uint8_t>(offset >> 16),
            static_cast<uint8_t>(offset >> 8),
            static_cast<uint8_t>(offset),
            0x00,
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length),
            0x00};
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
        ResetSim();
        State.TargetCount = 0;
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
        // The drive got the image bytes, and behind them the marker.
        const std::vector<uint8_t>& received = drive.Legacy.Received;
        ASSERT_GE(received.size(), tail + 0x1010);
        EXPECT_EQ(0, std::memcmp(received.data(), State.ImageBuffer, tail + 0x1010));
        EXPECT_EQ(drive.Legacy.Marker, "WIN ");
        EXPECT_EQ(0, std::memcmp(State.ImageBuffer + c.size, "WIN ", 4));
    }
}

TEST_F(LegacyTransferTest, MarkerForEachTransportIntelDriverAndPatchDrive) {
    const struct {
        bool aspi;
        int32_t intelAta;
        int32_t g6;
        const char* marker;
    } cases[] = {
        {false, 0, 0, "WIN "}, {true, 0, 0, "WIN2"}, {false, 1, 0, "WIN2"}, {true, 1, 0, "WIN2"},
        {false, 0, 1, "WIN "}, {true, 0, 1, "WIN "}, {false, 1, 1, "WIN2"}, {true, 1, 1, "WIN2"},
    };
    for (const auto& c : cases) {
        ResetSim();
        State.TargetCount = 0;
        PlatformFreeBlock(State.ImageBuffer);
        State.ImageBuffer = nullptr;
        VirtualDrive& drive = AddDrive(c.aspi, 7);
        State.IntelAtaDriver = c.intelAta;
        State.NeedsG6Patch = c.g6;
        State.ImageSize = 0x20000;
        ASSERT_EQ(TransferLegacyImage(), 0);
        EXPECT_EQ(drive.Legacy.Marker, c.marker)
            << c.aspi << " intel " << c.intelAta << " g6 " << c.g6;
    }
}

// ---- RunTimedFlash -----------------------------------------------------------------------

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

// A drive that has the image and waits for the flash.
VirtualDrive& ReadyToFlash(VirtualDrive& drive) {
    State.ImageSize = 0x20000;
    EXPECT_EQ(TransferLegacyImage(), 0);
    Sim.Trace.clear();
    Sim.Sleeps.clear();
    return drive;
}

TEST_F(LegacyTransferTest, AspiAlwaysCountsThirtySecondsAndThePollEndsTheTransfer) {
    for (int kind : {7, 9}) {
        for (uint32_t flashMs : {2000u, 25000u}) {
            ResetSim();
            State.TargetCount = 0;
            PlatformFreeBlock(State.ImageBuffer);
            State.ImageBuffer = nullptr;
            VirtualDrive& drive = ReadyToFlash(AddDrive(true, kind));
            drive.Legacy.FlashMs = flashMs;
            State.CurrentKind = kind;
            const uint32_t start = Sim.ClockMs;
            Sim.Console.clear();

            EXPECT_EQ(RunTimedFlash(), 0) << kind << " " << flashMs;
            EXPECT_EQ(Sim.Console, Countdown(29));
            EXPECT_EQ(Sim.ClockMs - start, 30000u);
            EXPECT_EQ(Sim.Sleeps, std::vector<uint32_t>(30, 1000));
            EXPECT_EQ(State.TimedTransferActive, 0);
            EXPECT_EQ(State.CommandTimeout, kind == 9 ? 10000u : 0u);
            EXPECT_EQ(Sim.TimerPeriodsHeld, 0u);
            EXPECT_EQ(drive.Legacy.FlashCount, 1u);
            ASSERT_EQ(Sim.Trace.size(), 1u);
            EXPECT_EQ(CdbOf(Sim.Trace[0]), WriteCdb(0x42, 0, 0));
            EXPECT_EQ(Sim.HungWaits, 0u);
        }
    }
}

TEST_F(LegacyTransferTest, AspiFlashThatFailsOrNeverEndsIsNoSuccess) {
    for (bool fails : {true, false}) {
        ResetSim();
        State.TargetCount = 0;
        PlatformFreeBlock(State.ImageBuffer);
        State.ImageBuffer = nullptr;
        VirtualDrive& drive = ReadyToFlash(AddDrive(true, 7));
        if (fails) {
            drive.Faults.push_back(CheckConditionOn(0x3B, 0x04, 0x44, 0x00));
        } else {
            drive.Legacy.FlashMs = 45000;
        }
        State.CurrentKind = 7;
        Sim.Console.clear();
        EXPECT_EQ(RunTimedFlash(), -1) << fails;
        EXPECT_EQ(Sim.Console, Countdown(29));
        EXPECT_EQ(State.TimedTransferActive, 0);
    }
}

TEST_F(LegacyTransferTest, PassThroughCountsFromBeforeTheCommand) {
    const struct {
        int kind;
        uint32_t flashMs;
        uint32_t timeoutMs;
        int firstLine;
    } cases[] = {
        {7, 8000, 30000, 21},  // 8 s of the command, then 1 s of the first step
        {9, 3000, 10000, 6},
        {11, 0, 10000, 9},
        {10, 29500, 30000, 0},
    };
    for (const auto& c : cases) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = ReadyToFlash(AddDrive(false, c.kind));
        drive.Legacy.FlashMs = c.flashMs;
        State.CurrentKind = c.kind;
        const uint32_t start = Sim.ClockMs;
        Sim.Console.clear();

        EXPECT_EQ(RunTimedFlash(), 0) << c.kind;
        EXPECT_EQ(Sim.Console, Countdown(c.firstLine)) << c.kind;
        EXPECT_GE(Sim.ClockMs - start, c.timeoutMs);
        EXPECT_LT(Sim.ClockMs - start, c.timeoutMs + 1000);
        ASSERT_EQ(Sim.Trace.size(), 1u);
        EXPECT_EQ(Sim.Trace[0].TimeoutMs, c.timeoutMs);
        EXPECT_EQ(Sim.TimerPeriodsHeld, 0u);
    }
}

}  // namespace
