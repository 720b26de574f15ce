// The sixth kind of fault: an interrupt (Ctrl-C, or a hang-up) at every command of a whole
// current-generation update. Wherever it lands, the drive must end either untouched (the
// interrupt came before anything was written and ended the program) or on the new firmware
// (it was held until the drive's update was over); never in its update mode.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "campaign.h"
#include "pc/sim_pc.h"
#include "sample_package.h"
#include "virtual_drive.h"

namespace {

constexpr int Yes = 6;
constexpr int SigHup = 1;
constexpr int SigInt = 2;

struct InterruptPc {
    bool Aspi;
    std::vector<uint8_t> Normal;
    std::vector<uint8_t> Kernel;
};

// One drive on 1.21 (at D:, or on the Intel ATA driver's ASPI adapter under Windows 98), the
// package for 1.22 with a 2 MiB normal image.
VirtualDrive& StartPc(InterruptPc& pc) {
    SimEndProcess();
    ResetSim();
    if (pc.Aspi) {
        Sim.OsPlatformId = 1;
        Sim.OsMajor = 4;
        Sim.OsMinor = 10;
        Sim.AspiLoadable = true;
        SimAddAdapter("intelata");
    }
    VirtualDrive& drive = pc.Aspi ? SimAttachAspiDrive(0, 0) : SimAttachDrive('D');
    drive.Revision = "1.21";
    drive.DateText = "08/07/01";
    const SamplePackage package = SamplePackageFor(drive, "1.22", "08/07/25", 0x200000);
    PutSamplePackage(package);
    pc.Normal = BuildSampleImage(package.Normal);
    pc.Kernel = BuildSampleImage(package.Kernel);
    return drive;
}

bool OnNewFirmware(const VirtualDrive& drive, const InterruptPc& pc) {
    return drive.Mode == VirtualDriveMode::Normal && drive.Revision == "1.22" &&
           drive.NormalFlash.size() >= pc.Normal.size() &&
           std::equal(pc.Normal.begin(), pc.Normal.end(), drive.NormalFlash.begin()) &&
           drive.KernelFlash.size() >= 0x20000 &&
           std::equal(pc.Kernel.begin(), pc.Kernel.begin() + 0x20000, drive.KernelFlash.begin());
}

bool Untouched(const VirtualDrive& drive) {
    return drive.Mode == VirtualDriveMode::Normal && drive.Revision == "1.21" &&
           drive.PreUpdateWrites == 0 && drive.KernelChunks == 0 && drive.NormalChunks == 0;
}

}  // namespace

void RunInterruptCampaign(CampaignTally& tally, int& leftInUpdateMode) {
    for (const bool aspi : {false, true}) {
        InterruptPc pc{aspi, {}, {}};
        StartPc(pc);
        AnswerBoxes(Yes, 0);
        RunOnce(tally);
        const size_t commands = Sim.Trace.size();
        for (const int signal : {SigInt, SigHup}) {
            for (uint32_t n = 1; n <= commands; ++n) {
                const std::string where = std::string(aspi ? "Intel ATA on ASPI" : "pass-through") +
                                          ", command " + std::to_string(n) + ", signal " +
                                          std::to_string(signal);
                VirtualDrive& drive = StartPc(pc);
                AnswerBoxes(Yes, 0);
                Sim.InterruptSignal = signal;
                Sim.InterruptAtCommand = n;
                const int exit = RunOnce(tally);
                const bool held = !Sim.HeldNotices.empty();
                if (drive.Mode == VirtualDriveMode::Kernel) {
                    ++leftInUpdateMode;
                    CampaignFailure(tally, where, "the drive was left in its update mode");
                }
                if (exit != 128 + signal) {
                    CampaignFailure(tally, where, "exit code " + std::to_string(exit));
                }
                if (held ? !OnNewFirmware(drive, pc) : !Untouched(drive)) {
                    CampaignFailure(tally, where,
                                    held ? "held, but the drive is not on the new firmware"
                                         : "ended at once, but the drive was written");
                }
                if (Updated() && !OnNewFirmware(drive, pc)) {
                    ++tally.FalseSuccesses;
                    CampaignFailure(tally, where, "success without the new firmware");
                }
                if (!Sim.UpdateModeReports.empty()) {
                    CampaignFailure(tally, where, "a drive named as left in its update mode");
                }
            }
        }
    }
}
