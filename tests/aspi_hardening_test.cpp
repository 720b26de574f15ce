// The ASPI transport as Windows 98 runs it: the Intel ATA driver's NOT READY after a flash the
// drive carried out, a layer that signals its events late, and a request block that the layer
// may still write into when the run ends. (A drive back from a reset: enumeration_test.)
#include <string>
#include <vector>

#include "base/update_definition.h"
#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "legacy_test_support.h"
#include "run/run_driver.h"
#include "update/legacy_generation.h"

namespace {

using namespace legacy_test;

bool ConsoleEndsWith(const std::string& tail) {
    const std::string& console = Sim.Console;
    return console.size() >= tail.size() &&
           console.compare(console.size() - tail.size(), std::string::npos, tail) == 0;
}

// Windows 98 with one drive at adapter 0, target 0, probed and enumerated as a run would.
VirtualDrive& StartWindows98(const char* adapterName) {
    ResetSim();
    ResetRunState();
    SimUseWindows98();
    SimAddAdapter(adapterName);
    VirtualDrive& drive = SimAttachAspiDrive(0, 0);
    FillUpdateDefinition();
    ProbeHost();
    return drive;
}

using IntelFlashTest = LegacyDriveTest;

TEST_F(IntelFlashTest, NotReadyFromTheIntelDriverIsAFlashTheDriveCarriedOut) {
    const struct {
        const char* name;
        bool intel;
        int key;  // the drive's own answer to the flash command; -1: it carries it out
        uint8_t asc;
        int result;
        std::string tail;
        uint32_t senseCode;  // what the last failed command left
        bool flashed;
    } cases[] = {
        {"Intel driver, drive busy re-flashing", true, -1, 0, 0,
         "\nSuccess to update the firmware.", 0x020401, true},
        {"Intel driver, flash refused", true, 0x05, 0x26, -1, "\r\nFailed to update FW.", 0x052600,
         false},
        {"Intel driver, hardware error", true, 0x04, 0x44, -1, "\r\nFailed to update FW.", 0x044400,
         false},
        // NOT READY counts as success only behind the Intel driver.
        {"SCSI adapter, drive not ready", false, 0x02, 0x04, -1, "\r\nFailed to update FW.",
         0x020400, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDrive& drive = AddDrive(true, 9);
        if (c.intel) Sim.Adapters[0].Name = "intelata";
        State.IntelAtaDriver = c.intel ? 1 : 0;
        const std::vector<uint8_t> image = Package(9);
        if (c.key >= 0) {
            VirtualDriveFault fault = CheckConditionOn(0x3B, static_cast<uint8_t>(c.key), c.asc, 0);
            fault.BufferId = 0x42;
            drive.Faults.push_back(fault);
        }
        EXPECT_EQ(UpdateLegacyGeneration(), c.result);
        EXPECT_TRUE(ConsoleEndsWith(c.tail)) << Sim.Console;
        EXPECT_EQ(State.SenseCode, c.senseCode);
        EXPECT_EQ(drive.Legacy.FlashCount, c.flashed ? 1u : 0u);
        EXPECT_EQ(drive.Revision, c.flashed ? "1.07" : "1.05");
    }
}

// A closed event's handle value goes to the next event. A late signal of a request whose
// event was closed too early then ends the next command's wait before that command is done.
class AspiEventTest : public DeviceTest {};

TEST_F(AspiEventTest, TimedCommandSignalledLateNeverEndsTheNextWait) {
    // The layer writes the status first and signals later: within the poll's grace, or after.
    for (uint32_t delay : {200u, 5000u}) {
        SCOPED_TRACE(delay);
        Restart();
        Sim.AspiSignalDelayMs = delay;
        VirtualDrive& drive = AddAspiTarget(0, 0);
        drive.Disc = VirtualDisc::Loaded;
        drive.CommandMs = 3000;
        State.TimedTransferActive = 1;
        ASSERT_EQ(TestUnitReady(0), 0);
        SimAdvanceClock(3000);
        EXPECT_EQ(PollPendingCommand(), 0);
        drive.CommandMs = 8000;
        State.CommandTimeout = 0;
        const uint32_t start = Sim.ClockMs;
        EXPECT_EQ(TestUnitReady(0), 0);
        EXPECT_EQ(Sim.ClockMs - start, 8000u + delay);
    }
}

TEST_F(AspiEventTest, TimedOutCommandIsAbortedBeforeItsEventIsClosed) {
    // Whether the layer honours the abort; the slot in use afterwards; events left open.
    const struct {
        bool ignoresAbort;
        int slot;
        int eventsOpen;
    } cases[] = {{false, 0, 0}, {true, 1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ignoresAbort);
        Restart();
        Sim.AspiIgnoresAbort = c.ignoresAbort;
        VirtualDrive& drive = AddAspiTarget(0, 0);
        drive.Disc = VirtualDisc::Loaded;
        drive.CommandMs = 3000;
        State.CommandTimeout = 1000;
        ASSERT_EQ(TestUnitReady(0), -2);
        EXPECT_EQ(State.AspiSrbSlot, c.slot);
        int open = 0;
        for (const SimEvent& event : Sim.Events) open += event.Open;
        EXPECT_EQ(open, c.eventsOpen);
        // The abandoned request ends while the next command runs: that command waits for its own.
        drive.CommandMs = 5000;
        State.CommandTimeout = 0;
        const uint32_t start = Sim.ClockMs;
        EXPECT_EQ(TestUnitReady(0), 0);
        EXPECT_EQ(Sim.ClockMs - start, 5000u);
    }
}

// The end of the run must not give back storage the layer may still write into, while a
// command is outstanding or a slot was retired after a failed abort: the request block and
// the blocks that hold commands' data stay.
TEST_F(SimTest, ReleaseKeepsTheBlocksWhileTheLayerMayWriteIntoThem) {
    enum Outstanding { Nothing, TimedCommand, RetiredSlot };
    const struct {
        const char* name;
        Outstanding outstanding;
        int blocksKept;
    } cases[] = {
        {"nothing outstanding", Nothing, 0},
        {"timed command still running", TimedCommand, 4},
        {"slot retired after a failed abort", RetiredSlot, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDrive& drive = StartWindows98("SCSI ADAPTER");
        ASSERT_EQ(EnumerateTargets(), 1);
        drive.CommandMs = c.outstanding == Nothing ? 0 : 60000;
        uint8_t* const page = State.WorkBuffer;
        if (c.outstanding == TimedCommand) {
            State.TimedTransferActive = 1;
            ASSERT_EQ(Inquiry(0, page), 0);
            ASSERT_EQ(PollPendingCommand(), 1);
        } else if (c.outstanding == RetiredSlot) {
            Sim.AspiIgnoresAbort = true;
            ASSERT_EQ(Inquiry(0, page), -2);
        } else {
            ASSERT_EQ(Inquiry(0, page), 0);
        }
        uint8_t* const blocks[] = {State.WorkBuffer, State.AspiRequestBlock, State.ImageBuffer,
                                   State.CommandData};
        ReleaseRun();
        ASSERT_EQ(Sim.HeldBlocks.size(), size_t(c.blocksKept));
        SimAdvanceClock(60000);  // the layer ends what it still had, in storage still there
        if (c.blocksKept != 0) {
            EXPECT_EQ(page[8], 'K');                                 // the INQUIRY data arrived
            for (uint8_t* block : blocks) PlatformFreeBlock(block);  // as the process's end would
        }
    }
}

}  // namespace
