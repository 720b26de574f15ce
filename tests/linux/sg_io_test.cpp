// The SG_IO transport: the pass-through block mapped onto sg_io_hdr and back, and the device
// calls on a file that is no SCSI device.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "platform/linux/linux_device.h"
#include "platform/pass_through_block.h"
#include "platform/platform_device.h"

namespace {

struct BlockShape {
    uint8_t DataIn = Sptd::DATA_IN;
    uint8_t CdbLength = 6;
    uint32_t Length = 96;
    uint32_t Seconds = 5;
    uint8_t SenseLength = 18;
    uint32_t SenseOffset = Sptd::SenseArea;
};

void MakeBlock(const BlockShape& shape, uint8_t block[Sptd::BlockSize]) {
    std::memset(block, 0, Sptd::BlockSize);
    block[Sptd::Length] = Sptd::StructSize;
    block[Sptd::CdbLength] = shape.CdbLength;
    block[Sptd::SenseInfoLength] = shape.SenseLength;
    block[Sptd::DataIn] = shape.DataIn;
    PutLe32(block + Sptd::DataTransferLength, shape.Length);
    PutLe32(block + Sptd::TimeOutValue, shape.Seconds);
    PutLe32(block + Sptd::SenseInfoOffset, shape.SenseOffset);
    block[Sptd::Cdb] = 0x12;
}

TEST(SgIoMapping, LettersAndAddresses) {
    char path[32];
    ASSERT_TRUE(DevicePathForLetter('D', path, sizeof path));
    EXPECT_STREQ(path, "/dev/sr0");
    ASSERT_TRUE(DevicePathForLetter('Z', path, sizeof path));
    EXPECT_STREQ(path, "/dev/sr22");
    for (char letter : {'C', '[', 'd'}) EXPECT_FALSE(DevicePathForLetter(letter, path, 32));
    EXPECT_FALSE(DevicePathForLetter('Z', path, 9));  // "/dev/sr22" and its NUL do not fit

    // Entries of /sys/block/srN/device/scsi_generic.
    const std::pair<const char*, const char*> entries[] = {
        {"sg0", "/dev/sg0"}, {"sg17", "/dev/sg17"}, {".", nullptr},
        {"sg", nullptr},     {"sg1a", nullptr},     {"device", nullptr},
    };
    for (const auto& [entry, node] : entries) {
        SCOPED_TRACE(entry);
        EXPECT_EQ(GenericPathForEntry(entry, path, sizeof path), node != nullptr);
        if (node != nullptr) {
            EXPECT_STREQ(path, node);
        }
    }
    EXPECT_FALSE(GenericPathForEntry("sg100", path, 10));  // "/dev/sg100" and its NUL

    uint8_t address[8];
    ScsiAddressFromIdLun(0x05020103u, address);  // host 5, channel 2, lun 1, id 3
    const uint8_t expected[8] = {8, 0, 0, 0, 5, 2, 3, 1};
    EXPECT_EQ(std::memcmp(address, expected, 8), 0);
}

TEST(SgIoMapping, FireWireBusInTheSysfsPath) {
    const std::pair<const char*, bool> rows[] = {
        {"/sys/devices/pci0000:00/0000:05:02.0/fw1/fw1.0/host6/6:0:0:0", true},
        {"/sys/devices/pci0000:00/firewire_ohci/host2/2:0:0:0", true},
        {"/sys/devices/ieee1394/sbp2_host/host3/3:0:0:0", true},
        {"/sys/devices/platform/fwctl/host0/0:0:0:0", false}};
    for (const auto& [path, fireWire] : rows) EXPECT_EQ(IsFireWirePath(path), fireWire) << path;
}

// The block's own check comes first: a refused block never becomes a request.
TEST(SgIoMapping, BlockToHeader) {
    uint8_t data[0x8000];
    const struct {
        BlockShape Shape;  // direction, CDB length, length, seconds, sense length and offset
        uint8_t* Data;
        uint32_t Error;
        int Direction;
        unsigned TimeoutMs, SenseRoom;
    } rows[] = {
        {{Sptd::DATA_IN, 6, 96, 5, 18, 48}, data, 0, SG_DXFER_FROM_DEV, 5000, 18},
        {{Sptd::DATA_OUT, 10, 0x8000, 20, 32, 48}, data, 0, SG_DXFER_TO_DEV, 20000, 32},
        {{Sptd::DATA_UNSPECIFIED, 16, 0, 60, 10, 70}, nullptr, 0, SG_DXFER_NONE, 60000, 10},
        {{Sptd::DATA_IN, 12, 0, 1, 0, 80}, data, 0, SG_DXFER_FROM_DEV, 1000, 0},
        {{Sptd::DATA_IN, 6, 96, 0xFFFFFFFF, 18, 48}, data, 0, SG_DXFER_FROM_DEV, 0xFFFFFFFF, 18},
        {{Sptd::DATA_UNSPECIFIED, 6, 96, 5, 18, 48}, data, ERROR_INVALID_PARAMETER, 0, 0, 0},
        {{Sptd::DATA_IN, 6, 96, 5, 18, 70}, data, ERROR_INVALID_PARAMETER, 0, 0, 0}};
    for (const auto& row : rows) {
        const BlockShape& shape = row.Shape;
        SCOPED_TRACE(::testing::Message() << int(shape.DataIn) << " " << int(shape.CdbLength) << " "
                                          << shape.Length << " " << shape.SenseOffset);
        uint8_t block[Sptd::BlockSize];
        MakeBlock(shape, block);
        sg_io_hdr_t header;
        ASSERT_EQ(SgIoFromBlock(block, row.Data, &header), row.Error);
        if (row.Error != ERROR_SUCCESS) continue;
        EXPECT_EQ(header.interface_id, 'S');
        EXPECT_EQ(header.dxfer_direction, row.Direction);
        EXPECT_EQ(header.cmd_len, shape.CdbLength);
        EXPECT_EQ(header.cmdp, block + Sptd::Cdb);
        EXPECT_EQ(header.dxfer_len, shape.Length);
        EXPECT_EQ(header.dxferp, shape.Length != 0 ? data : nullptr);
        EXPECT_EQ(header.timeout, row.TimeoutMs);
        EXPECT_EQ(header.mx_sb_len, row.SenseRoom);
        EXPECT_EQ(header.sbp, row.SenseRoom != 0 ? block + shape.SenseOffset : nullptr);
    }
}

TEST(SgIoMapping, HeaderBackToBlock) {
    // ioctl result and errno; SCSI, host and driver status; sense bytes written (once more
    // than the room); what the block then says: error, status, sense length. The driver's
    // suggestion bits (28h) do not count; a status beside a host error is the drive's answer;
    // with no status, a host or driver failure means the command may not have reached it.
    const int rows[][9] = {{0, 0, 0, 0, 0, 0, ERROR_SUCCESS, 0, 0},
                           {0, 0, 2, 0, 0x08, 18, ERROR_SUCCESS, 2, 18},
                           {0, 0, 2, 0, 0x08, 30, ERROR_SUCCESS, 2, 18},
                           {0, 0, 2, 0x07, 0x08, 18, ERROR_SUCCESS, 2, 18},
                           {0, 0, 0, 0, 0x28, 18, ERROR_SUCCESS, 0, 18},
                           {0, 0, 0, 0x03, 0, 0, ERROR_SEM_TIMEOUT, 0, 0},
                           {0, 0, 0, 0x01, 0, 0, ERROR_IO_DEVICE, 0, 0},
                           {0, 0, 0, 0, 0x06, 0, ERROR_SEM_TIMEOUT, 0, 0},
                           {-1, EIO, 0, 0, 0, 0, ERROR_IO_DEVICE, 0, 0},
                           {-1, 0, 0, 0, 0, 0, ERROR_GEN_FAILURE, 0, 0}};
    for (const auto& [result, error, status, host, driver, written, mapped, blockStatus,
                      blockSense] : rows) {
        SCOPED_TRACE(::testing::Message()
                     << result << " " << status << " " << host << " " << driver << " " << written);
        uint8_t block[Sptd::BlockSize];
        MakeBlock(BlockShape(), block);
        block[Sptd::ScsiStatus] = 0x55;  // whatever an earlier request left
        sg_io_hdr_t header;
        uint8_t data[96];
        ASSERT_EQ(SgIoFromBlock(block, data, &header), ERROR_SUCCESS);
        header.status = static_cast<uint8_t>(status);
        header.host_status = static_cast<uint16_t>(host);
        header.driver_status = static_cast<uint16_t>(driver);
        header.sb_len_wr = static_cast<uint8_t>(written);
        header.resid = 60;
        EXPECT_EQ(BlockFromSgIo(header, result, error, block), static_cast<uint32_t>(mapped));
        EXPECT_EQ(block[Sptd::ScsiStatus], blockStatus);
        EXPECT_EQ(block[Sptd::SenseInfoLength], blockSense);
        // What moved: the length less the residue, once the drive answered.
        EXPECT_EQ(block[Sptd::DataTransferLength], mapped == ERROR_SUCCESS ? 36 : 96);
    }
}

// ---- the device calls on a file that is no SCSI device, and letters without a drive --------

TEST(SgIoDevices, CallsFailOnAnythingButSg) {
    const int fd = open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(PlatformGetCapabilities(fd), ERROR_INVALID_FUNCTION);
    uint8_t address[8] = {};
    EXPECT_EQ(PlatformGetScsiAddress(fd, address), ERROR_INVALID_FUNCTION);
    uint8_t block[Sptd::BlockSize];
    MakeBlock(BlockShape(), block);
    block[Sptd::ScsiStatus] = 0x55;
    uint8_t data[96];
    EXPECT_EQ(PlatformPassThroughDirect(fd, block, data), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(block[Sptd::ScsiStatus], 0);
    EXPECT_EQ(block[Sptd::SenseInfoLength], 0);
    block[Sptd::CdbLength] = 0;  // refused before the call
    block[Sptd::ScsiStatus] = 0x55;
    EXPECT_EQ(PlatformPassThroughDirect(fd, block, data), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(block[Sptd::ScsiStatus], 0);
    // The media-notification control takes only a place's own sysfs handle.
    EXPECT_EQ(PlatformMediaNotificationControl(fd, 1), 0);
    close(fd);
}

}  // namespace
