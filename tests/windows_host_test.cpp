// What the host probe prepares on Windows: the pass-through address and the memory blocks.
#include <vector>

#include "discovery/host_probe.h"
#include "platform/win32/win32_blocks.h"
#include "run/run_driver.h"
#include "test_support.h"

namespace {

// SCSI_ADDRESS: Length (0..3), PortNumber (4), PathId (5), TargetId (6), Lun (7).
TEST_F(SimTest, PassThroughProbeClearsPathTargetAndLunOfTheAddress) {
    std::fill(std::begin(State.ScsiAddress), std::end(State.ScsiAddress), 0xA5);
    PrepareSptiHost();
    EXPECT_EQ(std::vector<uint8_t>(State.ScsiAddress, State.ScsiAddress + 8),
              (std::vector<uint8_t>{0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0, 0, 0}));
    ReleaseRun();
}

// The ASPI layer writes into the request block behind the program's back: the blocks must
// be fixed in place, not merely locked, and zero-filled.
TEST(Win32Memory, BlocksAreFixedAndZeroFilled) {
    EXPECT_EQ(Win32Blocks::BlockAllocationFlags & Win32Blocks::GlobalMemMoveable, 0u);
    EXPECT_NE(Win32Blocks::BlockAllocationFlags & Win32Blocks::GlobalMemZeroInit, 0u);
}

}  // namespace
