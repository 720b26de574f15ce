// Interrupts and the drive-state line on the simulated PC: whole runs of the program with a
// signal delivered at a chosen command or box, and runs that leave a drive in its update mode.
#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "console/catalogue.h"
#include "platform/console_events.h"
#include "run/run_driver.h"
#include "sample_package.h"
#include "test_support.h"

namespace {

constexpr int SigHup = 1;
constexpr int SigInt = 2;
constexpr int Yes = 6;
constexpr int Ok = 1;

using Pick = std::function<bool(const SimCommandRecord&)>;

bool Chunk(const SimCommandRecord& r, uint8_t buffer) {
    return r.Cdb[0] == 0x3B && (r.Cdb[1] & 0x1F) == 7 && r.Cdb[2] == buffer;
}
const Pick NormalChunk = [](const SimCommandRecord& r) { return Chunk(r, 0xF0); };
const Pick RegionQuery = [](const SimCommandRecord& r) { return r.Cdb[0] == 0xA4; };

class InterruptTest : public SimTest {
protected:
    // Drives at D: (and E:) on 1.21 and 1.20, the package for 1.22 with 16 normal chunks.
    void StartPc(int drives) {
        ResetSim();
        ResetRunState();
        VirtualDrive& first = SimAttachDrive('D');
        first.Revision = "1.21";
        first.DateText = "08/07/01";
        if (drives > 1) SimAttachDrive('E').Revision = "1.20";
        package = SamplePackageFor(first, "1.22", "08/07/25", 0x80000);
        PutSamplePackage(package);
        normal = BuildSampleImage(package.Normal);
        kernel = BuildSampleImage(package.Kernel);
    }

    // The program as a process: a signal outside the critical section ends it at once.
    static int Run() {
        try {
            return RunProgramExpectingSize(0x80000);
        } catch (const SimProcessEnded& ended) {
            ReleaseRun();  // what the system takes back from an ended process
            return 128 + ended.Signal;
        }
    }

    // The 1-based number of the `nth` command that `pick` selects in a run without interrupt.
    uint32_t CommandNumber(int drives, const Pick& pick, int nth, const std::deque<int>& answers) {
        StartPc(drives);
        Sim.BoxAnswers = answers;
        Run();
        int seen = 0;
        for (size_t i = 0; i < Sim.Trace.size(); ++i) {
            if (pick(Sim.Trace[i]) && ++seen == nth) return static_cast<uint32_t>(i + 1);
        }
        ADD_FAILURE() << "no such command in the reference run";
        return 0;
    }

    bool OnNewFirmware(const VirtualDrive& drive) const {
        return drive.Mode == VirtualDriveMode::Normal && drive.Revision == "1.22" &&
               drive.NormalFlash.size() >= normal.size() &&
               std::equal(normal.begin(), normal.end(), drive.NormalFlash.begin()) &&
               drive.KernelFlash.size() >= 0x20000 &&
               std::equal(kernel.begin(), kernel.begin() + 0x20000, drive.KernelFlash.begin());
    }

    static bool ConsoleShows(uint32_t code) {
        return Sim.Console.find(MessageTextEn[code]) != std::string::npos;
    }

    SamplePackage package;
    std::vector<uint8_t> normal;
    std::vector<uint8_t> kernel;
};

// A held interrupt lets the drive's update run to its end, then ends the run with
// 128 + the signal; one outside the critical section ends the program before anything is
// written.
TEST_F(InterruptTest, AtAChosenCommand) {
    struct Case {
        const char* Name;
        int Drives;
        int Signal;
        Pick At;
        int Nth;
        bool Held;
    };
    // (An interrupt at every command: tests/campaign.)
    const Case cases[] = {
        {"REPORT KEY, before the first write", 1, SigInt, RegionQuery, 1, false},
        {"normal chunk 10", 1, SigInt, NormalChunk, 10, true},
        {"normal chunk 10 of the first of two", 2, SigInt, NormalChunk, 10, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::deque<int> answers = {Yes, Yes, Yes, Ok};
        const uint32_t at = CommandNumber(c.Drives, c.At, c.Nth, answers);
        const std::string fullConsole = Sim.Console;

        StartPc(c.Drives);
        Sim.BoxAnswers = answers;
        Sim.InterruptSignal = c.Signal;
        Sim.InterruptAtCommand = at;
        const int exit = Run();

        EXPECT_EQ(exit, 128 + c.Signal);
        const VirtualDrive& first = Sim.Drives.front();
        EXPECT_TRUE(Sim.UpdateModeReports.empty());
        if (!c.Held) {
            EXPECT_TRUE(Sim.HeldNotices.empty());
            EXPECT_EQ(first.Revision, "1.21");
            EXPECT_EQ(first.KernelChunks + first.NormalChunks + first.PreUpdateWrites, 0u);
            continue;
        }
        EXPECT_EQ(Sim.HeldNotices, std::vector<char>{'D'});
        EXPECT_TRUE(OnNewFirmware(first));
        EXPECT_TRUE(ConsoleShows(12));
        // Standard output is that of the full run up to the first drive's success: no
        // summary, and nothing of a second drive.
        const size_t success = fullConsole.find(MessageTextEn[12]);
        ASSERT_NE(success, std::string::npos);
        EXPECT_EQ(Sim.Console, fullConsole.substr(0, success + std::strlen(MessageTextEn[12])));
        if (c.Drives == 2) {
            const VirtualDrive& second = Sim.Drives.back();
            EXPECT_EQ(second.Revision, "1.20");
            EXPECT_EQ(second.CommandCount, 2u);  // the enumeration's INQUIRY and vendor page
        }
    }
}

// On Windows, closing the console window, logging off and shutting down are held as Ctrl-C is
// while a drive is written: the first drive's update runs to its end, the second is never
// started, and the run ends with 128 + 15 (the C runtime's SIGTERM). Outside the stretch the
// program ends at once, before anything is written.
TEST_F(InterruptTest, WindowsConsoleEndEventsHoldTheLoop) {
    const struct {
        const char* name;
        uint32_t event;
    } events[] = {
        {"close", ConsoleEventClose},
        {"log-off", ConsoleEventLogoff},
        {"shut-down", ConsoleEventShutdown},
    };
    const std::deque<int> answers = {Yes, Yes, Yes, Ok};
    const uint32_t chunk = CommandNumber(2, NormalChunk, 10, answers);
    const uint32_t region = CommandNumber(2, RegionQuery, 1, answers);
    for (const auto& e : events) {
        for (const bool writing : {true, false}) {
            SCOPED_TRACE(::testing::Message() << e.name << (writing ? ", chunk" : ", before"));
            StartPc(2);
            Sim.BoxAnswers = answers;
            Sim.InterruptConsoleEvent = static_cast<int>(e.event);
            Sim.InterruptAtCommand = writing ? chunk : region;
            EXPECT_EQ(Run(), 128 + 15);
            const VirtualDrive& first = Sim.Drives.front();
            const VirtualDrive& second = Sim.Drives.back();
            EXPECT_EQ(second.Revision, "1.20");
            EXPECT_EQ(second.CommandCount, 2u);  // the enumeration's INQUIRY and vendor page
            if (writing) {
                EXPECT_EQ(Sim.HeldNotices, std::vector<char>{'D'});
                EXPECT_TRUE(OnNewFirmware(first));
            } else {
                EXPECT_TRUE(Sim.HeldNotices.empty());
                EXPECT_EQ(first.KernelChunks + first.NormalChunks + first.PreUpdateWrites, 0u);
            }
        }
    }
}

// Boxes: the consent comes before anything is written, so an interrupt there ends the run at
// once. The retry offer comes while the drive is in its update mode: Ctrl-C leaves the answer
// to the user (Yes finishes the drive); after a hang-up it counts as No, the run stops, and
// the drive is named as left in its update mode.
TEST_F(InterruptTest, AtABox) {
    struct Case {
        const char* Name;
        int Signal;
        uint32_t Box;
        int Exit;
        bool NewFirmware;
        bool Reported;
    };
    // Boxes: 82 consent, 42 chunk lost, 47 retry, 82 consent again, 35 summary.
    const Case cases[] = {
        {"Ctrl-C at the consent", SigInt, 1, 130, false, false},
        {"Ctrl-C at the retry offer", SigInt, 3, 130, true, false},
        {"hang-up at the retry offer", SigHup, 3, 129, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        StartPc(1);
        VirtualDriveFault lost;
        lost.Opcode = 0x3B;
        lost.Mode = 7;
        lost.BufferId = 0xF0;
        lost.Effect = VirtualFaultEffect::CheckCondition;
        lost.SenseKey = 0x04;
        lost.Asc = 0x44;
        Sim.Drives.front().Faults.push_back(lost);
        Sim.BoxAnswers = {Yes, Ok, Yes, Yes, Ok};
        Sim.InterruptSignal = c.Signal;
        Sim.InterruptAtBox = c.Box;
        const int exit = Run();

        EXPECT_EQ(exit, c.Exit);
        EXPECT_EQ(OnNewFirmware(Sim.Drives.front()), c.NewFirmware);
        EXPECT_EQ(Sim.UpdateModeReports, c.Reported ? std::vector<char>{'D'} : std::vector<char>{});
        if (c.Signal == SigHup) {
            // The retry offer and the closing warning could not be shown: both answered 0.
            ASSERT_EQ(Sim.Boxes.size(), 4u);
            EXPECT_EQ(Sim.Boxes[2].Answer, 0);
            EXPECT_EQ(Sim.Boxes[3].Text, MessageTextEn[36]);
            EXPECT_EQ(Sim.Boxes[3].Answer, 0);
        }
    }
}

// The drive-state line names each drive the run wrote to and left in its update mode, and
// no other. (After a power loss or a retry declined: tests/e2e.)
TEST_F(InterruptTest, DriveLeftInUpdateModeIsNamed) {
    struct Case {
        const char* Name;
        std::function<void(VirtualDrive&)> Setup;
        std::deque<int> Answers;
        bool Reported;
    };
    auto fault = [](int mode, VirtualFaultEffect effect) {
        VirtualDriveFault f;
        f.Opcode = 0x3B;
        f.Mode = mode;
        f.Effect = effect;
        f.SenseKey = 0x05;
        f.Asc = 0x24;
        return f;
    };
    const Case cases[] = {
        {"updated", [](VirtualDrive&) {}, {Yes, Ok}, false},
        {"switch refused with a status",
         [&](VirtualDrive& d) { d.Faults.push_back(fault(4, VirtualFaultEffect::CheckCondition)); },
         {Yes, Ok},
         false},
        {"switch answer lost after the drive switched",
         [&](VirtualDrive& d) { d.Faults.push_back(fault(4, VirtualFaultEffect::CallFailsLate)); },
         {Yes, Ok},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        StartPc(1);
        c.Setup(Sim.Drives.front());
        Sim.BoxAnswers = c.Answers;
        Run();
        EXPECT_EQ(Sim.UpdateModeReports, c.Reported ? std::vector<char>{'D'} : std::vector<char>{});
        EXPECT_EQ(Sim.Drives.front().Mode == VirtualDriveMode::Kernel, c.Reported);
        EXPECT_TRUE(Sim.HeldNotices.empty());
    }
}

}  // namespace
