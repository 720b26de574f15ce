// The current-generation update under faults: the reference run's commands are numbered, and
// the whole program runs again once per command and per fault, with the fault at that command.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/run_state.h"
#include "campaign.h"
#include "pc/sim_pc.h"
#include "run/run_driver.h"
#include "sample_package.h"
#include "virtual_drive.h"

namespace {

constexpr int Yes = 6;
constexpr int No = 7;
constexpr int RetriesAllowed = 3;

// What each command of the reference run is for, in the order the update sends them.
enum class Role {
    EnumInquiry,     // enumeration: INQUIRY probe
    EnumPage,        // enumeration: vendor page probe
    SelectInquiry,   // selection: INQUIRY
    SelectPage,      // selection: vendor page
    IdentityBefore,  // identity, phase 0
    ValidatePage,    // image validation: vendor page
    StopUnit,        // EnsureNoDisc: STOP UNIT (its result is not examined)
    TestUnitReady,   // EnsureNoDisc: TEST UNIT READY
    RegionQuery,     // REPORT KEY, RPC state
    PreUpdate,       // WRITE BUFFER mode 2, buffer D4h
    EnterKernel,     // WRITE BUFFER mode 4
    ConfirmKernel,   // INQUIRY after the switch
    KernelCheck,     // INQUIRY before the kernel part
    KernelChunk,     // WRITE BUFFER mode 7, buffer FEh
    NormalChunk,     // WRITE BUFFER mode 7, buffer F0h
    Commit,          // WRITE BUFFER mode 5
    IdentityAfter,   // identity, phase 1
    Unknown,
};

const char* RoleName(Role role) {
    // clang-format off
    static const char* const names[] = {
        "enumeration INQUIRY", "enumeration vendor page", "selection INQUIRY",
        "selection vendor page", "identity before", "validation vendor page", "STOP UNIT",
        "TEST UNIT READY", "REPORT KEY", "pre-update write", "switch into update mode",
        "update-mode INQUIRY", "kernel check INQUIRY", "kernel chunk", "normal chunk", "commit",
        "identity after", "unknown"};
    // clang-format on
    return names[static_cast<int>(role)];
}

// The roles of the reference trace, worked out from each command's bytes and its place.
std::vector<Role> RolesOf(const std::vector<SimCommandRecord>& trace) {
    static const Role inquiries[] = {Role::EnumInquiry,   Role::SelectInquiry, Role::IdentityBefore,
                                     Role::ConfirmKernel, Role::KernelCheck,   Role::IdentityAfter};
    static const Role pages[] = {Role::EnumPage, Role::SelectPage, Role::ValidatePage};
    size_t inquiry = 0, page = 0;
    std::vector<Role> roles;
    for (const SimCommandRecord& r : trace) {
        const int mode = r.Cdb[1] & 0x1F;
        Role role = Role::Unknown;
        switch (r.Cdb[0]) {
            case 0x12:
                if (inquiry < 6) role = inquiries[inquiry++];
                break;
            case 0x3C:
                if (page < 3 && mode == 2 && r.Cdb[2] == 0xF1) role = pages[page++];
                break;
            case 0x1B:
                role = Role::StopUnit;
                break;
            case 0x00:
                role = Role::TestUnitReady;
                break;
            case 0xA4:
                role = Role::RegionQuery;
                break;
            case 0x3B:
                if (mode == 2 && r.Cdb[2] == 0xD4) role = Role::PreUpdate;
                if (mode == 4) role = Role::EnterKernel;
                if (mode == 5) role = Role::Commit;
                if (mode == 7 && r.Cdb[2] == 0xFE) role = Role::KernelChunk;
                if (mode == 7 && r.Cdb[2] == 0xF0) role = Role::NormalChunk;
                break;
            default:
                break;
        }
        roles.push_back(role);
    }
    return roles;
}

// What the failure tables promise for a fault at a command of this role.
struct Expected {
    int Exit;
    uint32_t Last;  // the last message the user sees
    int32_t LastStyle;
    uint32_t Cause;     // the failing step's own message, shown earlier; 0xFFFF: none
    bool Refusal;       // a check refused: nothing may be written from the fault on
    bool RetryOffered;  // message 47 is asked
    bool Updated;       // the run ends with message 12 and 35
};

constexpr uint32_t None = 0xFFFF;
constexpr uint32_t UnknownCode = 62;  // no text of its own: the unknown-message text

Expected Success() {
    return {0, 35, 17, None, false, false, true};
}
Expected Refused(int exit, uint32_t last, int32_t style, uint32_t cause = None) {
    return {exit, last, style, cause, true, false, false};
}
// The procedure returned -1: message 36, exit code 1.
Expected Stopped(uint32_t cause) {
    return {1, 36, 18, cause, false, false, false};
}
// The retry offer: Yes updates the drive after all, No stops the run.
Expected RetryOffer(uint32_t cause, bool yes) {
    return yes ? Expected{0, 35, 17, cause, false, true, true}
               : Expected{1, 36, 18, cause, false, true, false};
}

Expected Expect(Role role, CampaignFault fault, bool retryYes) {
    const bool power = fault == CampaignFault::PowerLoss;
    const bool noStatus =
        power || fault == CampaignFault::CallFails || fault == CampaignFault::CallFailsLate;
    switch (role) {
        case Role::EnumInquiry:
            return Refused(1, 28, 17);
        case Role::EnumPage:
            // A drive that was reset repeats the probe.
            if (fault == CampaignFault::UnitAttention) return Success();
            return Refused(1, 28, 17);
        case Role::SelectInquiry:
            return Refused(0, 9, 16);
        case Role::SelectPage:
        case Role::ValidatePage:
            // A drive that was reset is asked for its page once more.
            if (fault == CampaignFault::UnitAttention) return Success();
            return Refused(0, 0, 16);
        case Role::IdentityBefore:
            return Refused(1, 36, 18, 9);
        case Role::StopUnit:
            // The result is not looked at; after a power loss the drive is still starting up.
            return power ? Refused(0, 6, 0) : Success();
        case Role::TestUnitReady:
            return fault == CampaignFault::UnitAttention ? Success() : Refused(0, 7, 0);
        case Role::RegionQuery:
            // The query's own failure value comes back: -1 without status stops the run.
            return noStatus ? Refused(1, 36, 18, 71) : Refused(0, 71, 16);
        case Role::PreUpdate:
            return Stopped(None);
        case Role::EnterKernel:
            return Stopped(14);
        case Role::ConfirmKernel:
            return Stopped(UnknownCode);
        case Role::KernelCheck:
            return Stopped(9);
        case Role::KernelChunk:
            return Stopped(41);
        case Role::NormalChunk:
            // After a power loss the drive is still starting when it is asked who it is.
            return power ? Stopped(9) : RetryOffer(42, retryYes);
        case Role::Commit:
            // A drive that re-flashed (or lost power) is still starting when it is asked.
            if (power || fault == CampaignFault::CallFailsLate) return Stopped(9);
            return RetryOffer(15, retryYes);
        case Role::IdentityAfter:
            return Stopped(9);
        case Role::Unknown:
            break;
    }
    return {-1, None, 0, None, false, false, false};
}

// The hosts the campaign runs on.
enum class Host {
    PassThrough,  // Windows XP: SCSI pass-through on the drive letter D:
    IntelAspi,    // Windows 98 with the Intel ATA driver: ASPI, adapter "intelata", target 0
};

struct Pc {
    Host Kind;
    SamplePackage Package;
    std::vector<uint8_t> Normal;
    std::vector<uint8_t> Kernel;
};

// A fresh PC: one drive running 1.21 of 2008/07/01, the package for 1.22 of 2008/07/25 in
// the current directory.
VirtualDrive& StartPc(Pc& pc) {
    SimEndProcess();
    ResetSim();
    ResetRunState();
    if (pc.Kind == Host::IntelAspi) {
        SimUseWindows98();
        SimAddAdapter("intelata");
    }
    VirtualDrive& drive =
        pc.Kind == Host::IntelAspi ? SimAttachAspiDrive(0, 0) : SimAttachDrive('D');
    drive.Revision = "1.21";
    drive.DateText = "08/07/01";
    pc.Package = SamplePackageFor(drive, "1.22", "08/07/25", 0x200000);
    PutSamplePackage(pc.Package);
    return drive;
}

// The drive runs the new firmware, and its flash holds both images byte for byte.
bool RunsNewFirmware(const VirtualDrive& drive, const Pc& pc) {
    if (drive.Mode != VirtualDriveMode::Normal || drive.Revision != "1.22") return false;
    if (drive.NormalFlash.size() < pc.Normal.size()) return false;
    if (drive.KernelFlash.size() < 0x20000 || pc.Kernel.size() < 0x20000) return false;
    return std::equal(pc.Normal.begin(), pc.Normal.end(), drive.NormalFlash.begin()) &&
           std::equal(pc.Kernel.begin(), pc.Kernel.begin() + 0x20000, drive.KernelFlash.begin());
}

void CheckRun(CampaignTally& tally, const std::string& where, int exit, const Expected& want,
              size_t faultIndex) {
    if (exit != want.Exit) {
        CampaignFailure(
            tally, where,
            "exit code " + std::to_string(exit) + ", want " + std::to_string(want.Exit));
    }
    const SeenMessage last = LastMessage();
    if (last.Text != MessageText(want.Last) || last.Style != want.LastStyle) {
        CampaignFailure(tally, where,
                        "last message \"" + last.Text + "\" style " + std::to_string(last.Style) +
                            ", want message " + std::to_string(want.Last) + " style " +
                            std::to_string(want.LastStyle));
    }
    if (want.Cause != None && !ConsoleShows(want.Cause)) {
        CampaignFailure(tally, where, "message " + std::to_string(want.Cause) + " not shown");
    }
    if (Updated() != want.Updated) {
        CampaignFailure(tally, where, want.Updated ? "no success" : "unexpected success");
    }
    if ((RetryOffers() > 0) != want.RetryOffered) {
        CampaignFailure(tally, where, "retry offered " + std::to_string(RetryOffers()) + " times");
    }
    const int write = WriteBufferFrom(faultIndex);
    if (want.Refusal && write >= 0) {
        CampaignFailure(
            tally, where,
            "WRITE BUFFER at command " + std::to_string(write + 1) + " after a refusal");
    }
}

// After a power loss (see CheckRecovery) the second run also sends the kernel part exactly
// when the drive still runs its old kernel, and shows message 10 otherwise: a whole kernel
// sent before the power failed is the kernel the drive now runs.
void CheckKernelRecovery(CampaignTally& tally, const std::string& where, VirtualDrive& drive,
                         const Pc& pc) {
    const bool alreadyNew = RunsNewFirmware(drive, pc);
    const bool newKernel = drive.KernelDateText == pc.Package.Kernel.DateText.substr(0, 8);
    CheckRecovery(
        tally, where, [&] { return RunsNewFirmware(drive, pc); }, {54, 17}, RetriesAllowed,
        RealProcedures);
    const bool kernelSent = std::any_of(Sim.Trace.begin(), Sim.Trace.end(), [](const auto& r) {
        return r.Cdb[0] == 0x3B && (r.Cdb[1] & 0x1F) == 7 && r.Cdb[2] == 0xFE;
    });
    if (!alreadyNew && (newKernel == kernelSent || newKernel != ConsoleShows(10))) {
        CampaignFailure(tally, where + ", second run",
                        std::string(newKernel ? "the drive runs the new kernel, yet "
                                              : "the drive runs its old kernel, yet ") +
                            (kernelSent ? "the kernel part was sent" : "it was not sent") +
                            (ConsoleShows(10) ? " (message 10)" : " (no message 10)"));
    }
}

bool NormalChunkSent() {
    return std::any_of(Sim.Trace.begin(), Sim.Trace.end(), [](const SimCommandRecord& r) {
        return r.Cdb[0] == 0x3B && (r.Cdb[1] & 0x1F) == 7 && r.Cdb[2] == 0xF0;
    });
}

// The normal image file is not the one the package holds: cut short (an interrupted
// download, a full disk), or replaced by another valid image between its check and a reload
// (open 2 follows the early kernel check, before any write; open 3 follows the kernel part).
// Never a success, never a normal chunk of it; before any write, no WRITE BUFFER at all.
void RunImageFileRows(CampaignTally& tally, Pc& pc, const std::string& hostName) {
    const struct {
        uint32_t cutTo;       // 0: the whole image
        uint32_t replacedAt;  // 0: never
        uint32_t cause;       // shown before 11 and 36 (None: 11 alone)
        bool beforeAnyWrite;
    } rows[] = {
        {100000, 0, 40, true},
        {0x1FFFFF, 0, 40, true},
        {0, 2, None, true},
        {0, 3, None, false},
    };
    for (const auto& row : rows) {
        const std::string where =
            hostName + ", normal image " +
            (row.cutTo != 0 ? "cut to " + std::to_string(row.cutTo)
                            : "replaced at open " + std::to_string(row.replacedAt));
        VirtualDrive& drive = StartPc(pc);
        SimFile* file = SimFindFile(pc.Package.NormalName.c_str());
        if (row.cutTo != 0) file->Bytes.resize(row.cutTo);
        if (row.replacedAt != 0) {
            SampleImage other = pc.Package.Normal;
            other.Seed += 1;
            file->ReplacedAtOpen = row.replacedAt;
            file->ReplacedBytes = BuildSampleImage(other);
        }
        AnswerBoxes(Yes, RetriesAllowed);
        const int exit = RunOnce(tally);
        CheckAnyRun(tally, where, exit, RunsNewFirmware(drive, pc), false, 0);
        Expected want = Stopped(row.cause);
        want.Refusal = row.beforeAnyWrite;
        CheckRun(tally, where, exit, want, 0);
        // Message 11 names the file, so its catalogue text is a format.
        if (Sim.Console.find("Failed to load binary file.\r\n(File Name : " +
                             pc.Package.NormalName + ")") == std::string::npos) {
            CampaignFailure(tally, where, "message 11 not shown");
        }
        if (NormalChunkSent()) CampaignFailure(tally, where, "a normal chunk was written");
    }
}

}  // namespace

void RunCurrentGenerationCampaign(CampaignTally& tally) {
    for (Host host : {Host::PassThrough, Host::IntelAspi}) {
        const bool aspi = host == Host::IntelAspi;
        Pc pc;
        pc.Kind = host;
        StartPc(pc);
        pc.Normal = BuildSampleImage(pc.Package.Normal);
        pc.Kernel = BuildSampleImage(pc.Package.Kernel);

        // The reference run: the commands of an update without faults.
        AnswerBoxes(Yes, 0);
        const int referenceExit = RunOnce(tally);
        const std::vector<SimCommandRecord> referenceTrace = Sim.Trace;
        const std::vector<Role> roles = RolesOf(referenceTrace);
        const std::string hostName = aspi ? "Intel ATA on ASPI" : "pass-through";
        CheckAnyRun(tally, hostName + " reference run", referenceExit,
                    RunsNewFirmware(Sim.Drives.front(), pc), false, 0);
        CheckRun(tally, hostName + " reference run", referenceExit, Success(), 0);
        CheckRolesKnown(tally, "current generation, " + hostName, roles);

        for (uint32_t n = 1; n <= roles.size(); ++n) {
            const Role role = roles[n - 1];
            for (CampaignFault fault : AllFaults) {
                for (bool retryYes : {true, false}) {
                    const std::string where = hostName + ", command " + std::to_string(n) + " (" +
                                              RoleName(role) + "), " + FaultName(fault) +
                                              (retryYes ? "" : ", retry declined");
                    VirtualDrive& drive = StartPc(pc);
                    drive.Faults.push_back(FaultAt(n, fault));
                    AnswerBoxes(retryYes ? Yes : No, RetriesAllowed);
                    const int exit = RunOnce(tally);
                    // The fault must have struck the command it was meant for.
                    if (Sim.Trace.size() < n ||
                        std::memcmp(Sim.Trace[n - 1].Cdb, referenceTrace[n - 1].Cdb, 16) != 0) {
                        CampaignFailure(tally, where, "the fault missed its command");
                    }
                    CheckAnyRun(tally, where, exit, RunsNewFirmware(drive, pc),
                                role < Role::PreUpdate, n - 1);
                    // The failure tables are those of the pass-through host; the ASPI host
                    // with the Intel driver waits and retries in other places.
                    if (!aspi) {
                        CheckRun(tally, where, exit, Expect(role, fault, retryYes), n - 1);
                    }
                    const bool offered = RetryOffers() > 0;
                    if (fault == CampaignFault::PowerLoss)
                        CheckKernelRecovery(tally, where, drive, pc);
                    // Declining matters only where the offer was made.
                    if (!offered) break;
                }
            }
        }
        RunImageFileRows(tally, pc, hostName);
    }
}
