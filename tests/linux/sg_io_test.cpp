// The SG_IO transport: the pass-through block mapped onto sg_io_hdr and back, and the device
// calls on a host without optical drives.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "platform/linux/linux_device.h"
#include "platform/platform_device.h"
#include "run/run_state.h"

namespace {

void PutLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t Le32(const uint8_t* at) {
    return at[0] | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) | (uint32_t{at[3]} << 24);
}

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
    block[Sptd::Cdb + 4] = 0x60;
}

TEST(SgIoMapping, PlacesAndLetters) {
    char path[32];
    ASSERT_TRUE(DevicePathForLetter('D', path, sizeof path));
    EXPECT_STREQ(path, "/dev/sr0");
    ASSERT_TRUE(DevicePathForLetter('Z', path, sizeof path));
    EXPECT_STREQ(path, "/dev/sr22");
    for (char letter : {'C', 'A', '[', 'd', '\0'}) {
        EXPECT_FALSE(DevicePathForLetter(letter, path, sizeof path)) << int(letter);
    }
    EXPECT_FALSE(DevicePathForLetter('Z', path, 8));  // "/dev/sr22" does not fit
}

TEST(SgIoMapping, ErrnoAsWindowsErrors) {
    const struct {
        int Errno;
        uint32_t Error;
    } rows[] = {{EACCES, ERROR_ACCESS_DENIED},  {EPERM, ERROR_ACCESS_DENIED},
                {ENOENT, ERROR_FILE_NOT_FOUND}, {ENXIO, ERROR_FILE_NOT_FOUND},
                {ENODEV, ERROR_FILE_NOT_FOUND}, {ENOTTY, ERROR_INVALID_FUNCTION},
                {EBUSY, ERROR_GEN_FAILURE},     {ENOMEM, ERROR_GEN_FAILURE}};
    for (const auto& row : rows) EXPECT_EQ(ErrorFromErrno(row.Errno), row.Error) << row.Errno;
}

TEST(SgIoMapping, FireWireBusInTheSysfsPath) {
    const struct {
        const char* Path;
        bool FireWire;
    } rows[] = {
        {"/sys/devices/pci0000:00/0000:00:1e.0/0000:05:02.0/fw1/fw1.0/host6/target6:0:0/"
         "6:0:0:0",
         true},
        {"/sys/devices/pci0000:00/0000:00:1e.0/firewire_ohci/host2/target2:0:0/2:0:0:0", true},
        {"/sys/devices/ieee1394/sbp2_host/host3/target3:0:0/3:0:0:0", true},
        {"/sys/devices/pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0", false},
        {"/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0", false},
        {"/sys/devices/platform/fwctl/host0/target0:0:0/0:0:0:0", false},
    };
    for (const auto& row : rows) EXPECT_EQ(IsFireWirePath(row.Path), row.FireWire) << row.Path;
}

TEST(SgIoMapping, IdLunAsScsiAddress) {
    uint8_t address[8];
    std::memset(address, 0xAA, sizeof address);
    ScsiAddressFromIdLun(0x05020103u, address);  // host 5, channel 2, lun 1, id 3
    const uint8_t expected[8] = {8, 0, 0, 0, 5, 2, 3, 1};
    EXPECT_EQ(std::memcmp(address, expected, 8), 0);
}

TEST(SgIoMapping, BlockToHeader) {
    const struct {
        uint8_t DataIn;
        uint32_t Length;
        uint32_t Seconds;
        int Direction;
        unsigned TimeoutMs;
    } rows[] = {
        {Sptd::DATA_IN, 96, 5, SG_DXFER_FROM_DEV, 5000},
        {Sptd::DATA_OUT, 0x8000, 20, SG_DXFER_TO_DEV, 20000},
        {Sptd::DATA_UNSPECIFIED, 0, 60, SG_DXFER_NONE, 60000},  // a request without limit
        {Sptd::DATA_IN, 0, 1, SG_DXFER_FROM_DEV, 1000},         // READ BUFFER of nothing
        {Sptd::DATA_IN, 96, 0xFFFFFFFF, SG_DXFER_FROM_DEV, 0xFFFFFFFF},
    };
    uint8_t data[0x8000];
    for (const auto& row : rows) {
        BlockShape shape;
        shape.DataIn = row.DataIn;
        shape.Length = row.Length;
        shape.Seconds = row.Seconds;
        uint8_t block[Sptd::BlockSize];
        MakeBlock(shape, block);
        sg_io_hdr_t header;
        ASSERT_EQ(SgIoFromBlock(block, data, &header), ERROR_SUCCESS) << row.Seconds;
        EXPECT_EQ(header.interface_id, 'S');
        EXPECT_EQ(header.dxfer_direction, row.Direction) << row.Seconds;
        EXPECT_EQ(header.dxfer_len, row.Length);
        EXPECT_EQ(header.dxferp, row.Length != 0 ? data : nullptr);
        EXPECT_EQ(header.timeout, row.TimeoutMs);
        EXPECT_EQ(header.cmd_len, 6);
        EXPECT_EQ(header.cmdp, block + Sptd::Cdb);
        EXPECT_EQ(header.mx_sb_len, 18);
        EXPECT_EQ(header.sbp, block + Sptd::SenseArea);
    }
}

TEST(SgIoMapping, BlocksThatCannotBeSent) {
    uint8_t data[96];
    const struct {
        const char* Name;
        BlockShape Shape;
        uint8_t* Data;
    } rows[] = {
        {"unknown direction", {3, 6, 96, 5, 18, 48}, data},
        {"no CDB", {1, 0, 96, 5, 18, 48}, data},
        {"CDB too long", {1, 17, 96, 5, 18, 48}, data},
        {"no data direction with a length", {2, 6, 96, 5, 18, 48}, data},
        {"data without a buffer", {1, 6, 96, 5, 18, 48}, nullptr},
    };
    for (const auto& row : rows) {
        uint8_t block[Sptd::BlockSize];
        MakeBlock(row.Shape, block);
        sg_io_hdr_t header;
        EXPECT_EQ(SgIoFromBlock(block, row.Data, &header), ERROR_INVALID_PARAMETER) << row.Name;
    }
}

TEST(SgIoMapping, SenseStaysInsideTheBlock) {
    const struct {
        uint32_t Offset;
        uint8_t Length;
        unsigned Room;
    } rows[] = {{48, 18, 18}, {48, 32, 32}, {70, 18, 10}, {80, 18, 0}, {0xFFFFFFF0, 18, 0}};
    for (const auto& row : rows) {
        BlockShape shape;
        shape.SenseOffset = row.Offset;
        shape.SenseLength = row.Length;
        uint8_t block[Sptd::BlockSize];
        MakeBlock(shape, block);
        uint8_t data[96];
        sg_io_hdr_t header;
        ASSERT_EQ(SgIoFromBlock(block, data, &header), ERROR_SUCCESS);
        EXPECT_EQ(header.mx_sb_len, row.Room) << row.Offset;
        EXPECT_EQ(header.sbp, row.Room != 0 ? block + row.Offset : nullptr) << row.Offset;
    }
}

TEST(SgIoMapping, HeaderBackToBlock) {
    const struct {
        const char* Name;
        int IoctlResult;
        int Errno;
        uint8_t Status;
        uint16_t Host;
        uint16_t Driver;
        uint8_t SenseWritten;
        uint32_t Error;
        uint8_t BlockStatus;
        uint8_t BlockSense;
    } rows[] = {
        {"good", 0, 0, 0, 0, 0, 0, ERROR_SUCCESS, 0, 0},
        {"check condition with sense", 0, 0, 2, 0, 0x08, 18, ERROR_SUCCESS, 2, 18},
        {"more sense than room", 0, 0, 2, 0, 0x08, 30, ERROR_SUCCESS, 2, 18},
        {"status next to a host error", 0, 0, 2, 0x07, 0x08, 18, ERROR_SUCCESS, 2, 18},
        {"busy status", 0, 0, 8, 0, 0, 0, ERROR_SUCCESS, 8, 0},
        {"good with sense only", 0, 0, 0, 0, 0x08, 18, ERROR_SUCCESS, 0, 18},
        {"adapter time-out", 0, 0, 0, 0x03, 0, 0, ERROR_SEM_TIMEOUT, 0, 0},
        {"no connection", 0, 0, 0, 0x01, 0, 0, ERROR_IO_DEVICE, 0, 0},
        {"bus reset", 0, 0, 0, 0x08, 0, 0, ERROR_IO_DEVICE, 0, 0},
        {"driver time-out", 0, 0, 0, 0, 0x06, 0, ERROR_SEM_TIMEOUT, 0, 0},
        {"driver error with suggestion", 0, 0, 0, 0, 0x24, 0, ERROR_IO_DEVICE, 0, 0},
        {"ioctl refused", -1, EIO, 0, 0, 0, 0, ERROR_IO_DEVICE, 0, 0},
        {"device gone", -1, ENODEV, 0, 0, 0, 0, ERROR_FILE_NOT_FOUND, 0, 0},
        {"no errno", -1, 0, 0, 0, 0, 0, ERROR_GEN_FAILURE, 0, 0},
    };
    for (const auto& row : rows) {
        uint8_t block[Sptd::BlockSize];
        MakeBlock(BlockShape(), block);
        block[Sptd::ScsiStatus] = 0x55;  // whatever an earlier request left
        sg_io_hdr_t header;
        uint8_t data[96];
        ASSERT_EQ(SgIoFromBlock(block, data, &header), ERROR_SUCCESS);
        header.status = row.Status;
        header.host_status = row.Host;
        header.driver_status = row.Driver;
        header.sb_len_wr = row.SenseWritten;
        EXPECT_EQ(BlockFromSgIo(header, row.IoctlResult, row.Errno, block), row.Error) << row.Name;
        EXPECT_EQ(block[Sptd::ScsiStatus], row.BlockStatus) << row.Name;
        EXPECT_EQ(block[Sptd::SenseInfoLength], row.BlockSense) << row.Name;
    }
}

TEST(SgIoMapping, ShortTransferIsReported) {
    uint8_t block[Sptd::BlockSize];
    MakeBlock(BlockShape(), block);
    uint8_t data[96];
    sg_io_hdr_t header;
    ASSERT_EQ(SgIoFromBlock(block, data, &header), ERROR_SUCCESS);
    header.resid = 60;
    ASSERT_EQ(BlockFromSgIo(header, 0, 0, block), ERROR_SUCCESS);
    EXPECT_EQ(Le32(block + Sptd::DataTransferLength), 36u);
}

// ---- the device calls on a file that is no SCSI device --------------------------------------

class SgIoDeviceCalls : public ::testing::Test {
protected:
    void SetUp() override {
        fd = open("/dev/null", O_RDWR);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
    }
    int fd = -1;
};

TEST_F(SgIoDeviceCalls, QueriesAndPassThroughFailOnAnythingButSg) {
    EXPECT_EQ(PlatformGetCapabilities(fd), ERROR_INVALID_FUNCTION);
    uint8_t address[8] = {};
    EXPECT_EQ(PlatformGetScsiAddress(fd, address), ERROR_INVALID_FUNCTION);
    uint8_t block[Sptd::BlockSize];
    MakeBlock(BlockShape(), block);
    block[Sptd::ScsiStatus] = 0;
    uint8_t data[96];
    EXPECT_EQ(PlatformPassThroughDirect(fd, block, data), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(block[Sptd::ScsiStatus], 0);
    EXPECT_EQ(block[Sptd::SenseInfoLength], 0);

    block[Sptd::CdbLength] = 0;  // refused before the call
    EXPECT_EQ(PlatformPassThroughDirect(fd, block, data), ERROR_INVALID_PARAMETER);
}

TEST_F(SgIoDeviceCalls, MediaNotificationOnlyChecksTheHandle) {
    EXPECT_EQ(PlatformMediaNotificationControl(fd, 1), 1);
    close(fd);
    EXPECT_EQ(PlatformMediaNotificationControl(fd, 0), 0);
    fd = -1;
}

TEST(SgIoDevices, LettersWithoutADrive) {
    uint32_t error = 0;
    EXPECT_EQ(PlatformOpenDevice('C', 0xC0000000, &error), InvalidDeviceHandle);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

    if (access("/dev/sr22", F_OK) == 0) GTEST_SKIP() << "this host has /dev/sr22";
    error = 0;
    EXPECT_EQ(PlatformOpenDevice('Z', 0xC0000000, &error), InvalidDeviceHandle);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

    // Through the executor: the device does not open.
    ResetRunState();
    State.TargetList[0].DriveLetter = 'Z';
    State.TargetCount = 1;
    State.CommandTimeout = 1000;
    EXPECT_EQ(TestUnitReady(0), -2);
    EXPECT_EQ(State.DeviceOpenError, ERROR_FILE_NOT_FOUND);
}

}  // namespace
