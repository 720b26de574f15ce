// The older generation's update under faults, smaller: a kind 7 drive on the pass-through
// host (memory read back before and after) judged against the failure table, and a kind 9
// drive on ASPI (the flash awaited by polling) judged by what holds for any run.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/run_state.h"
#include "base/update_definition.h"
#include "campaign.h"
#include "discovery/host_probe.h"
#include "legacy_sample.h"
#include "pc/sim_pc.h"
#include "run/run_driver.h"
#include "sample_package.h"
#include "update/legacy_models.h"
#include "virtual_drive.h"

namespace {

constexpr int Yes = 6;
const char* const HexName = "QX510107.HEX";

using legacy_sample::CpuType;
using legacy_sample::ImageLength;
using legacy_sample::ModelCode;

std::vector<uint8_t> HexFile(const std::vector<uint8_t>& image) {
    const std::string text = legacy_sample::HexText(image);
    return std::vector<uint8_t>(text.begin(), text.end());
}

// The package for 1.07 of the model of `kind`, in place of the built-in one: entry 0 is
// filled after the run has filled its definition and before it probes the host.
int LegacyKind = 7;
int ProbeWithLegacyDefinition() {
    DefineLegacyEntry(
        {HexName, ModelCode, "DVD-RW  QXR-510 ", "1.07", CpuType, ImageLength, LegacyKind});
    return ProbeHost();
}
const RunProcedures LegacyRun = {ProbeWithLegacyDefinition, RealProcedures.EnumerateTargets,
                                 RealProcedures.UpdateCurrentGeneration,
                                 RealProcedures.UpdateLegacyGeneration};

enum class Role {
    EnumInquiry,
    EnumPage,
    SelectInquiry,
    ModelRead,        // READ BUFFER 80h of the model information
    IdentityBefore,   // identity, phase 0
    CompareBefore,    // READ BUFFER 80h: is the image there already?
    Prepare,          // WRITE BUFFER 30h before STOP UNIT
    StopUnit,         // its result is not examined
    TransferPrepare,  // WRITE BUFFER 30h that opens the transfer
    Chunk,            // WRITE BUFFER FFh, 32 KiB
    Tail,             // WRITE BUFFER FFh, the last 4 KiB and the marker
    Flash,            // WRITE BUFFER 42h
    CompareAfter,     // READ BUFFER 80h: verification
    IdentityAfter,    // identity, phase 1
    Unknown,
};

const char* RoleName(Role role) {
    // clang-format off
    static const char* const names[] = {
        "enumeration INQUIRY", "enumeration vendor page", "selection INQUIRY",
        "model information", "identity before", "read-back before", "prepare", "STOP UNIT",
        "transfer prepare", "chunk", "tail", "flash", "read-back after", "identity after",
        "unknown"};
    // clang-format on
    return names[static_cast<int>(role)];
}

std::vector<Role> RolesOf(const std::vector<SimCommandRecord>& trace) {
    static const Role inquiries[] = {Role::EnumInquiry, Role::SelectInquiry, Role::IdentityBefore,
                                     Role::IdentityAfter};
    size_t inquiry = 0, prepares = 0;
    bool flashed = false, identified = false;
    std::vector<Role> roles;
    for (const SimCommandRecord& r : trace) {
        const bool vendor = (r.Cdb[1] & 0x1F) == 1;
        const uint32_t length = uint32_t{r.Cdb[7]} << 8 | r.Cdb[8];
        Role role = Role::Unknown;
        if (r.Cdb[0] == 0x12 && inquiry < 4) {
            role = inquiries[inquiry++];
            identified = identified || role == Role::IdentityBefore;
        } else if (r.Cdb[0] == 0x3C && !vendor && r.Cdb[2] == 0xF1) {
            role = Role::EnumPage;
        } else if (r.Cdb[0] == 0x3C && vendor && r.Cdb[2] == 0x80) {
            role = !identified ? Role::ModelRead
                   : flashed   ? Role::CompareAfter
                               : Role::CompareBefore;
        } else if (r.Cdb[0] == 0x3B && vendor && r.Cdb[2] == 0x30) {
            role = prepares++ == 0 ? Role::Prepare : Role::TransferPrepare;
        } else if (r.Cdb[0] == 0x1B) {
            role = Role::StopUnit;
        } else if (r.Cdb[0] == 0x3B && vendor && r.Cdb[2] == 0xFF) {
            role = length == 0x8000 ? Role::Chunk : Role::Tail;
        } else if (r.Cdb[0] == 0x3B && vendor && r.Cdb[2] == 0x42) {
            role = Role::Flash;
            flashed = true;
        }
        roles.push_back(role);
    }
    return roles;
}

// The failure table of the older generation for the kind 7 drive on the pass-through host:
// the exit code, the last message and its style, or that the drive ends up updated.
struct Expected {
    int Exit;
    uint32_t Last;
    int32_t Style;
    bool Updated;
};
constexpr Expected Success = {0, 35, 17, true};
Expected NotUpdated(uint32_t last, int32_t style) {
    return {0, last, style, false};
}
constexpr Expected Stopped = {1, 36, 18, false};

Expected Expect(Role role, CampaignFault fault) {
    const bool power = fault == CampaignFault::PowerLoss;
    // A failure without SCSI status is -1, which stops the run where the value is passed on.
    const bool noStatus =
        power || fault == CampaignFault::CallFails || fault == CampaignFault::CallFailsLate;
    switch (role) {
        case Role::EnumInquiry:
            return {1, 28, 17, false};
        case Role::EnumPage:
            // Kinds of the older generation match by their identity alone. A drive that lost
            // power is still starting up when the selection asks for its INQUIRY: as below.
            return power ? NotUpdated(67, 0) : Success;
        case Role::SelectInquiry:
            // -1 ends the attempt. Any other value lets it go on without a selection, whose
            // image size of 0 is refused (message 67) before anything is read or written.
            return noStatus ? NotUpdated(9, 16) : NotUpdated(67, 0);
        case Role::ModelRead:
            return NotUpdated(0, 16);
        case Role::IdentityBefore:
            return Stopped;
        case Role::CompareBefore:
            // A failed read is no proof that the image is there already: the update goes on,
            // unless the drive lost power and is still starting up at the first write.
            return power ? NotUpdated(22, 0) : Success;
        case Role::Prepare:
            return noStatus ? Stopped : NotUpdated(22, 0);
        case Role::StopUnit:
            return power ? Stopped : Success;
        case Role::TransferPrepare:
        case Role::Chunk:
        case Role::Tail:
            return Stopped;
        case Role::Flash:
            return noStatus ? Stopped : NotUpdated(24, 0);
        case Role::CompareAfter:
            return NotUpdated(25, 0);
        case Role::IdentityAfter:
            return Stopped;
        case Role::Unknown:
            break;
    }
    return {-1, 0, 0, false};
}

struct LegacyPc {
    bool Aspi;
    int Kind;
    std::vector<uint8_t> Image;
};

// A fresh PC with a "KESTREL DVD-RW  QXR-510 " drive at 1.05 and the HEX file of 1.07.
VirtualDrive& StartLegacyPc(const LegacyPc& pc) {
    SimEndProcess();
    ResetSim();
    ResetRunState();
    VirtualDrive* drive = nullptr;
    if (pc.Aspi) {
        SimUseWindows98();
        drive = &SimAttachAspiDrive(0, 1);
    } else {
        drive = &SimAttachDrive('E');
    }
    legacy_sample::MakeLegacyDrive(*drive, pc.Kind, "1.05");
    SimPutFile(HexName, HexFile(pc.Image));
    LegacyKind = pc.Kind;
    return *drive;
}

bool RunsNewImage(const VirtualDrive& drive, const LegacyPc& pc) {
    const std::vector<uint8_t>& memory = drive.Legacy.Memory;
    return drive.Revision == "1.07" && memory.size() >= pc.Image.size() &&
           std::memcmp(memory.data(), pc.Image.data(), pc.Image.size()) == 0;
}

void CheckExpected(CampaignTally& tally, const std::string& where, int exit, const Expected& want) {
    const SeenMessage last = LastMessage();
    if (exit != want.Exit || last.Text != MessageText(want.Last) || last.Style != want.Style) {
        CampaignFailure(tally, where,
                        "exit " + std::to_string(exit) + " after \"" + last.Text + "\" style " +
                            std::to_string(last.Style) + ", want exit " +
                            std::to_string(want.Exit) + " after message " +
                            std::to_string(want.Last) + " style " + std::to_string(want.Style));
    }
    if (Updated() != want.Updated) {
        CampaignFailure(tally, where, want.Updated ? "no success" : "unexpected success");
    }
}

}  // namespace

void RunLegacyCampaign(CampaignTally& tally) {
    for (bool aspi : {false, true}) {
        LegacyPc pc;
        pc.Aspi = aspi;
        pc.Kind = aspi ? LegacyKind9 : 7;
        pc.Image = legacy_sample::MakeImage(pc.Kind, "1.07", 1);
        const std::string hostName = aspi ? "legacy kind 9 on ASPI" : "legacy kind 7";

        StartLegacyPc(pc);
        AnswerBoxes(Yes, 0);
        const int referenceExit = RunOnce(tally, LegacyRun);
        const std::vector<SimCommandRecord> referenceTrace = Sim.Trace;
        const std::vector<Role> roles = RolesOf(referenceTrace);
        CheckAnyRun(tally, hostName + " reference run", referenceExit,
                    RunsNewImage(Sim.Drives.front(), pc), false, 0);
        CheckExpected(tally, hostName + " reference run", referenceExit, Success);
        CheckRolesKnown(tally, hostName, roles);

        for (uint32_t n = 1; n <= roles.size(); ++n) {
            const Role role = roles[n - 1];
            for (CampaignFault fault : AllFaults) {
                const std::string where = hostName + ", command " + std::to_string(n) + " (" +
                                          RoleName(role) + "), " + FaultName(fault);
                VirtualDrive& drive = StartLegacyPc(pc);
                drive.Faults.push_back(FaultAt(n, fault));
                AnswerBoxes(Yes, 0);
                const int exit = RunOnce(tally, LegacyRun);
                if (Sim.Trace.size() < n ||
                    std::memcmp(Sim.Trace[n - 1].Cdb, referenceTrace[n - 1].Cdb, 16) != 0) {
                    CampaignFailure(tally, where, "the fault missed its command");
                }
                // The checks that refuse come before the first read-back, which only decides.
                CheckAnyRun(tally, where, exit, RunsNewImage(drive, pc), role < Role::CompareBefore,
                            n - 1);
                if (!aspi) CheckExpected(tally, where, exit, Expect(role, fault));
                // Found updated already, it says so with message 4, a console line.
                if (fault == CampaignFault::PowerLoss) {
                    CheckRecovery(
                        tally, where, [&] { return RunsNewImage(drive, pc); }, {4, 0}, 0,
                        LegacyRun);
                }
            }
        }

        // Ctrl-C at every command: held from the first write on, so the drive ends on the
        // new image; before that it ends the program with nothing written.
        const std::vector<uint8_t> before = StartLegacyPc(pc).Legacy.Memory;
        for (uint32_t n = 1; n <= roles.size(); ++n) {
            const std::string where = hostName + ", command " + std::to_string(n) + " (" +
                                      RoleName(roles[n - 1]) + "), " +
                                      FaultName(CampaignFault::Interrupt);
            VirtualDrive& drive = StartLegacyPc(pc);
            Sim.InterruptSignal = 2;
            Sim.InterruptAtCommand = n;
            AnswerBoxes(Yes, 0);
            const int exit = RunOnce(tally, LegacyRun);
            const bool held = !Sim.HeldNotices.empty();
            if (exit != 130) CampaignFailure(tally, where, "exit code " + std::to_string(exit));
            if (held ? !RunsNewImage(drive, pc)
                     : drive.Legacy.Memory != before || WriteBufferFrom(0) >= 0) {
                CampaignFailure(tally, where,
                                held ? "held, but the new image is not in the drive"
                                     : "ended at once, but the drive was written");
            }
        }
    }
}
