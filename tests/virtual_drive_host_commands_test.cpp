// What a host's own drivers ask of the virtual drive (Linux's sr and cdrom layers on every open,
// close and probe): answered as a drive of the family answers them, in either mode, and never
// past the allocation length.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "virtual_drive.h"

namespace {

struct HostCase {
    const char* Name;
    VirtualDisc Disc;
    bool Attention;
    std::vector<uint8_t> Cdb;
    uint32_t SenseKeyAscAscq;                    // 0: GOOD
    uint32_t Returned;                           // bytes of data
    std::vector<std::pair<int, uint8_t>> Bytes;  // offset, value in the data
};

uint32_t Packed(const VirtualDriveAnswer& answer) {
    return answer.Status == 0 ? 0u
                              : (uint32_t{answer.Sense[2]} << 16) |
                                    (uint32_t{answer.Sense[12]} << 8) | answer.Sense[13];
}

TEST(VirtualDriveHostCommands, AnsweredAsADriveDoes) {
    const VirtualDisc none = VirtualDisc::Absent;
    const VirtualDisc disc = VirtualDisc::Loaded;
    const HostCase cases[] = {
        // GET EVENT STATUS NOTIFICATION, polled, media class: no event, media present or not.
        {"event status, no disc",
         none,
         false,
         {0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8, 0},
         0,
         8,
         {{0, 0}, {1, 6}, {2, 0x04}, {3, 0x10}, {4, 0}, {5, 0x00}}},
        {"event status, disc",
         disc,
         false,
         {0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8, 0},
         0,
         8,
         {{5, 0x02}}},
        {"event status, no class asked that the drive has",
         none,
         false,
         {0x4A, 0x01, 0, 0, 0x02, 0, 0, 0, 8, 0},
         0,
         4,
         {{1, 2}, {2, 0x80}}},
        {"event status, asynchronous",
         none,
         false,
         {0x4A, 0x00, 0, 0, 0x10, 0, 0, 0, 8, 0},
         0x052400,
         0,
         {}},
        {"event status keeps the unit attention",
         none,
         true,
         {0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8, 0},
         0,
         8,
         {}},
        {"event status, allocation 4",
         disc,
         false,
         {0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 4, 0},
         0,
         4,
         {}},
        // MODE SENSE(10), capabilities page: tray, eject and lock; 40x.
        {"capabilities page",
         none,
         false,
         {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0},
         0,
         30,
         {{0, 0}, {1, 28}, {7, 0}, {8, 0x2A}, {9, 0x14}, {14, 0x29}, {16, 0x1B}, {17, 0x90}}},
        {"all pages", none, false, {0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 128, 0}, 0, 30, {{8, 0x2A}}},
        {"another page", none, false, {0x5A, 0, 0x01, 0, 0, 0, 0, 0, 128, 0}, 0x052400, 0, {}},
        {"mode sense reports the unit attention",
         none,
         true,
         {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0},
         0x062900,
         0,
         {}},
        // GET CONFIGURATION: every feature, the current profile with a disc, one feature.
        {"configuration, no disc",
         none,
         false,
         {0x46, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0},
         0,
         56,
         {{3, 52}, {6, 0}, {7, 0}, {8, 0}, {9, 0}, {13, 0x14}, {18, 0}, {29, 0x01}}},
        {"configuration, disc",
         disc,
         false,
         {0x46, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0},
         0,
         56,
         {{7, 0x11}, {17, 0x11}, {18, 0x01}, {14, 0x00}}},
        {"configuration, one feature",
         none,
         false,
         {0x46, 2, 0, 3, 0, 0, 0, 0, 64, 0},
         0,
         16,
         {{3, 12}, {8, 0}, {9, 3}, {12, 0x29}}},
        {"configuration keeps the unit attention",
         none,
         true,
         {0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0},
         0,
         8,
         {{3, 52}}},
        // PREVENT ALLOW and READ CAPACITY.
        {"door lock", none, false, {0x1E, 0, 0, 0, 1, 0}, 0, 0, {}},
        {"capacity, no disc", none, false, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x023A00, 0, {}},
        {"capacity, disc",
         disc,
         false,
         {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         0,
         8,
         {{1, 0x21}, {6, 0x08}, {7, 0}}},
    };
    for (const VirtualDriveMode mode : {VirtualDriveMode::Normal, VirtualDriveMode::Kernel}) {
        for (const HostCase& c : cases) {
            SCOPED_TRACE(std::string(c.Name) +
                         (mode == VirtualDriveMode::Kernel ? " (kernel)" : ""));
            VirtualDrive drive;
            drive.Mode = mode;
            drive.Disc = c.Disc;
            drive.UnitAttentionPending = c.Attention;
            uint8_t data[96];
            std::memset(data, 0xEE, sizeof data);
            VirtualDriveData io;
            io.In = data;
            io.InCapacity = 64;  // less than some allocations: never written past
            const VirtualDriveAnswer answer =
                RunVirtualDriveCommand(drive, c.Cdb.data(), static_cast<int>(c.Cdb.size()), io, 0);
            EXPECT_FALSE(answer.CallFails);
            EXPECT_EQ(Packed(answer), c.SenseKeyAscAscq);
            EXPECT_EQ(answer.DataInLength, c.Returned);
            EXPECT_EQ(data[answer.DataInLength], 0xEE);
            for (const auto& [offset, value] : c.Bytes) EXPECT_EQ(data[offset], value) << offset;
            // Only the commands that report it clear the unit attention.
            if (c.Attention) {
                EXPECT_EQ(drive.UnitAttentionPending, c.SenseKeyAscAscq == 0);
            }
        }
    }
}

}  // namespace
