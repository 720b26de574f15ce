// A drive that was reset or powered on since it was last asked: enumeration must still find
// it, with one repeated vendor-page probe and no more.
#include <string>
#include <vector>

#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "run/run_driver.h"
#include "base/update_definition.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

class EnumerationResetTest : public SimTest {
protected:
    void TearDown() override { ReleaseRun(); }
};

VirtualDriveFault PageFault(uint8_t key, uint8_t asc, int times) {
    VirtualDriveFault fault;
    fault.Opcode = 0x3C;
    fault.SenseKey = key;
    fault.Asc = asc;
    fault.Times = times;
    return fault;
}

TEST_F(EnumerationResetTest, UnitAttentionOnTheVendorPage) {
    struct Case {
        const char* name;
        bool pendingAttention;  // the drive's own state after a power loss
        std::vector<VirtualDriveFault> faults;
        int found;
        size_t pageProbes;
    };
    const Case cases[] = {
        {"power-on attention pending", true, {}, 1, 2},
        {"reset reported once", false, {PageFault(0x06, 0x29, 1)}, 1, 2},
        // Asked once more, not for ever.
        {"attention reported twice", false, {PageFault(0x06, 0x29, 2)}, 0, 2},
        // Any other refusal is not repeated.
        {"invalid field", false, {PageFault(0x05, 0x24, 1)}, 0, 1},
        {"not ready", false, {PageFault(0x02, 0x04, 1)}, 0, 1},
        // The whole byte counts, as everywhere else: 86h is not a plain unit attention.
        {"attention with the filemark bit", false, {PageFault(0x86, 0x29, 1)}, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetSim();
        ResetRunState();
        VirtualDrive& drive = SimAttachDrive('E');
        drive.UnitAttentionPending = c.pendingAttention;
        drive.Faults = c.faults;
        FillUpdateDefinition();
        ProbeHost();

        EXPECT_EQ(EnumerateTargets(), c.found);
        size_t pageProbes = 0;
        for (const SimCommandRecord& r : Sim.Trace) {
            if (r.Cdb[0] != 0x3C) continue;
            ++pageProbes;
            EXPECT_EQ(std::vector<uint8_t>(r.Cdb, r.Cdb + r.CdbLength),
                      (std::vector<uint8_t>{0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 0x30, 0}));
        }
        EXPECT_EQ(pageProbes, c.pageProbes);
        if (c.found == 1) {
            EXPECT_EQ(State.TargetList[0].DriveLetter, 'E');
        }
        ReleaseRun();
    }
}

}  // namespace
