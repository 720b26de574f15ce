// ReadDriveIdentity in both phases on any INQUIRY identity the drive reports: any vendor
// (the maker's, the partner's "Vantrel ", anything), product, revision and date text, any
// kind and kernel edition, on either transport. Input: flags, kind, then the fields.
#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "fuzz_sim_host.h"
#include "update/drive_identity.h"

namespace {

// The kinds with their own rules, and any other.
int32_t KindOf(uint8_t pick, uint32_t any) {
    static const int32_t kinds[] = {0x100D, 0x1003, 0x1006, 0x1041, 0x0007};
    return pick < 5 ? kinds[pick] : static_cast<int32_t>(any);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in = MakeFuzzInput(data, size);
    const uint8_t flags = TakeByte(in);
    const uint8_t kindPick = TakeByte(in);
    const uint32_t anyKind = TakeU32(in);
    const bool aspi = (flags & 1) != 0;
    const int phase = (flags & 2) != 0 ? IdentityPhaseAfter : IdentityPhaseBefore;

    VirtualDrive& drive = StartFuzzHost(aspi);
    State.CurrentKind = KindOf(kindPick % 8, anyKind);
    State.Selection.PartsFlag = (flags & 4) != 0 ? 1 : 0;
    State.IntelAtaDriver = (flags & 8) != 0 ? 1 : 0;
    if ((flags & 16) != 0) {
        VirtualDriveFault fault;  // the INQUIRY fails, once or for good
        fault.Opcode = 0x12;
        fault.Times = (flags & 32) != 0 ? -1 : 1;
        drive.Faults.push_back(fault);
    }
    drive.Vendor = TakeText(in, 8);
    drive.Product = TakeText(in, 16);
    drive.Revision = TakeText(in, 4);
    drive.DateText = TakeText(in, 10);
    TakeBytes(in, State.FirmwareInfoPage, sizeof State.FirmwareInfoPage);

    const int result = ReadDriveIdentity(phase);
    FUZZ_REQUIRE(result == 0 || result == -1 || result == 2 || result == -2);
    // Phase 1 derives nothing; every flag of the model table is set in phase 0 only.
    if (phase == IdentityPhaseAfter) {
        FUZZ_REQUIRE(State.DriveFirmwareDate == 0 && State.NeedsUnlock == 0 &&
                     State.UtilityTooOld == 0 && State.KernelTooOld == 0 &&
                     State.NeedsG6Patch == 0);
    }
    FUZZ_REQUIRE(Sim.HungWaits == 0);
    return 0;
}
