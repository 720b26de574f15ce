// The system log's record of each drive on the simulated PC: the start line before the first
// write, the end line with its result, and the line of a drive that a check refused.
#include "base/drive_record.h"

#include <deque>
#include <string>
#include <vector>

#include "run/run_driver.h"
#include "sample_package.h"
#include "test_support.h"

namespace {

constexpr int Yes = 6;
constexpr int No = 7;
constexpr int Ok = 1;
constexpr int SigInt = 2;

const char* const Start = "start vendor=\"KESTREL\" product=\"DVD-RW  QXR-930D\" from=1.21 to=1.22";

// "LEVEL LETTER EVENT DETAILS", LEVEL n(otice), w(arning) or e(rror).
std::vector<std::string> Records() {
    std::vector<std::string> lines;
    for (const SimLogRecord& record : Sim.LogRecords) {
        const char level = record.Level == LogLevel::Notice    ? 'n'
                           : record.Level == LogLevel::Warning ? 'w'
                                                               : 'e';
        lines.push_back(std::string(1, level) + " " + std::string(1, record.Letter) + " " +
                        record.Event + " " + record.Details);
    }
    return lines;
}

size_t FirstWriteTo(char letter) {
    for (size_t i = 0; i < Sim.Trace.size(); ++i) {
        if (Sim.Trace[i].Letter == letter && Sim.Trace[i].Cdb[0] == 0x3B) return i;
    }
    return Sim.Trace.size();
}

struct Case {
    const char* Name;
    int Drives;
    const char* DriveRevision;
    std::deque<int> Answers;
    int FailNormalChunk;  // the n-th normal chunk fails every time (0: none)
    int BatteryPercent;   // on battery at this charge (0: on mains)
    uint32_t InterruptAtCommand;
    bool KernelStuck;  // found on the package's kernel, and it stays there after the re-flash
    std::vector<std::string> Expected;
};

class DriveRecordTest : public SimTest {};

TEST_F(DriveRecordTest, EachDriveLeavesItsRecord) {
    const std::string start = std::string("n D ") + Start;
    const std::string kernelStart =
        "n D start vendor=\"KESTREL\" product=\"DVD-RW  QXR-930D\" from=0000 to=1.22";
    const std::string updated = "n D end result=updated revision=1.22";
    const std::string chunkLost = "e D end result=update-mode message=42";
    // clang-format off
    const Case cases[] = {
        {"updated", 1, "1.21", {Yes, Ok}, 0, 0, 0, false, {start, updated}},
        // The failure is named, not the retry question after it; the drive stays in its
        // kernel.
        {"chunk lost, retry declined", 1, "1.21", {Yes, No}, 3, 0, 0, false, {start, chunkLost}},
        // The retry runs the whole pass again: one start line all the same.
        {"chunk lost, retried, declined", 1, "1.21", {Yes, Yes, Yes, No}, 3, 0, 0, false,
         {start, chunkLost}},
        {"on battery", 1, "1.21", {}, 0, 20, 0, false, {"w D refused battery=20"}},
        {"already at the package's revision", 1, "1.22", {Ok}, 0, 0, 0, false,
         {"w D refused message=54"}},
        {"declined", 1, "1.21", {No}, 0, 0, 0, false, {}},
        // Ctrl-C at the 20th command (a normal chunk) is held: the drive ends updated and
        // the line says the run ends by the signal; the second drive is never started.
        {"interrupted", 2, "1.21", {Yes, Ok}, 0, 0, 20, false,
         {start, "n D end result=updated revision=1.22 signal=2"}},
        // "Need not to update the Kernel." (10) tells progress: the retry question after the
        // drive stayed on its kernel is what names the failure.
        {"kernel current, stays on it", 1, "1.21", {Yes, No}, 0, 0, 0, true,
         {kernelStart, "e D end result=update-mode message=47"}},
        {"two drives", 2, "1.21", {Yes, Ok}, 0, 0, 0, false,
         {start, updated, std::string("n E ") + Start, "n E end result=updated revision=1.22"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SimEndProcess();
        ResetSim();
        ResetRunState();
        VirtualDrive& first = SimAttachDrive('D');
        first.Revision = c.DriveRevision;
        first.DateText = first.Revision == "1.22" ? "08/07/25" : "08/07/01";
        if (c.Drives > 1) SimAttachDrive('E').Revision = c.DriveRevision;
        VirtualDrive model;
        model.Revision = "1.21";
        PutSamplePackage(SamplePackageFor(model, "1.22", "08/07/25", 0x40000));
        if (c.FailNormalChunk != 0) {
            first.Faults.emplace_back();
            VirtualDriveFault& fault = first.Faults.back();
            fault.Opcode = 0x3B;
            fault.Mode = 0x07;
            fault.BufferId = 0xF0;
            fault.NthCommand = 0;
            fault.Times = -1;
        }
        if (c.KernelStuck) {
            first.Mode = VirtualDriveMode::Kernel;
            first.NormalPartPresent = false;
            first.KernelDateText = "08/07/25";
            first.StayInKernelAfterReflash = 1;
        }
        if (c.BatteryPercent != 0) {
            Sim.HasPowerStatus = true;
            Sim.PowerStatus = {0, 0, static_cast<uint8_t>(c.BatteryPercent)};
        }
        Sim.BoxAnswers = c.Answers;
        if (c.InterruptAtCommand != 0) {
            Sim.InterruptSignal = SigInt;
            Sim.InterruptAtCommand = c.InterruptAtCommand;
        }
        try {
            RunProgramExpectingSize(0x40000);
        } catch (const SimProcessEnded&) {
        }
        EXPECT_EQ(Records(), c.Expected);
        if (!Sim.LogRecords.empty() && Sim.LogRecords.front().Event == "start") {
            // Before the drive's first write, and after everything that was sent before it.
            EXPECT_EQ(Sim.LogRecords.front().CommandsBefore, FirstWriteTo('D'));
        }
    }
}

}  // namespace
