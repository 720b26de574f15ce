// ValidateFirmwareImage on any vendor page the drive reports and any image header, with any
// revisions and dates on either side, on either transport. Input: flags, kind, the run's
// numbers, the page fields, then the header.
#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "fuzz_sim_host.h"
#include "update/firmware_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in = MakeFuzzInput(data, size);
    const uint8_t flags = TakeByte(in);
    const bool aspi = (flags & 1) != 0;

    VirtualDrive& drive = StartFuzzHost(aspi);
    static const int32_t kinds[] = {0x100D, 0x1040, 0x1041, 0x1003};
    State.CurrentKind = kinds[(flags >> 1) & 3];
    State.Selection.PartsFlag = (flags & 8) != 0 ? 1 : 0;
    State.UpdateAll = (flags & 16) != 0 ? 1 : 0;
    State.AutoInsertCount = TakeByte(in);
    State.Ieee1394Marker = static_cast<int8_t>(TakeByte(in));
    State.EditionClass = static_cast<int32_t>(TakeU32(in));
    State.ImageDate = TakeU32(in);
    State.DriveFirmwareDate = TakeU32(in);
    State.NewRevision = static_cast<uint16_t>(TakeU32(in));
    State.DriveRevisionNumber = static_cast<uint16_t>(TakeU32(in));
    TakeBytes(in, State.InquiryData, sizeof State.InquiryData);
    if ((flags & 32) != 0) {
        VirtualDriveFault fault;  // the page read fails
        fault.Opcode = 0x3C;
        drive.Faults.push_back(fault);
    }
    if ((flags & 64) != 0) drive.NormalPartPresent = false;
    drive.HardwareRevision = TakeText(in, 8);
    drive.KernelEdition = TakeText(in, 8);
    drive.NormalEdition = TakeText(in, 8);
    TakeBytes(in, State.ImageBuffer, ImageHeader::Size);

    const int32_t classBefore = State.EditionClass;
    const int result = ValidateFirmwareImage();
    FUZZ_REQUIRE(result == 0 || result == 1 || result == -1 || result == 2 || result == -2);
    // The edition class changes only on the way to a pass, and only to a known class.
    if (State.EditionClass != classBefore) {
        FUZZ_REQUIRE(result == 0);
        FUZZ_REQUIRE(State.EditionClass == EditionGeneralScsi ||
                     State.EditionClass == EditionGeneral || State.EditionClass == EditionCompo);
    }
    // "Already latest" only when neither the date nor the revision is newer.
    if (result == 1) {
        FUZZ_REQUIRE(State.ImageDate <= State.DriveFirmwareDate &&
                     State.NewRevision <= State.DriveRevisionNumber);
    }
    FUZZ_REQUIRE(Sim.HungWaits == 0);
    return 0;
}
