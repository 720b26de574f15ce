// The preloaded drives answer as the kernel's sr driver does, also where the program never
// goes: run with LD_PRELOAD=odd_fake_sr and the drives of fake_sr.drives.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

int OpenSr(int node, int flags) {
    const std::string path = "/dev/sr" + std::to_string(node);
    return open(path.c_str(), flags);
}

TEST(FakeSrTest, OpensAsTheBlockDeviceDoes) {
    struct Case {
        const char* name;
        int node;
        int flags;
        int error;  // 0: opens
    };
    const Case cases[] = {
        {"non-blocking, no disc", 0, O_RDWR | O_NONBLOCK, 0},
        {"blocking, no disc", 0, O_RDONLY, ENOMEDIUM},
        {"blocking read, disc", 1, O_RDONLY, 0},
        {"blocking write, disc that is not writable", 1, O_RDWR, EROFS},
        {"no drive behind the node", 5, O_RDWR | O_NONBLOCK, ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        const int fd = OpenSr(c.node, c.flags);
        if (c.error != 0) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, c.error);
            continue;
        }
        ASSERT_GE(fd, 0);
        struct stat info;
        ASSERT_EQ(fstat(fd, &info), 0);
        EXPECT_TRUE(S_ISBLK(info.st_mode));
        EXPECT_EQ(major(info.st_rdev), 11u);
        EXPECT_EQ(minor(info.st_rdev), static_cast<unsigned>(c.node));
        EXPECT_EQ(close(fd), 0);
        // The number is free again, and no longer a drive.
        EXPECT_EQ(fstat(fd, &info), -1);
        EXPECT_EQ(errno, EBADF);
    }
}

TEST(FakeSrTest, VersionAndAddress) {
    const int fd = OpenSr(1, O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int version = 0;
    EXPECT_EQ(ioctl(fd, SG_GET_VERSION_NUM, &version), 0);
    EXPECT_GE(version, 30000);
    int idLun[2] = {0, 0};
    EXPECT_EQ(ioctl(fd, SCSI_IOCTL_GET_IDLUN, idLun), 0);
    // id | lun << 8 | channel << 16 | host << 24
    EXPECT_EQ(static_cast<uint32_t>(idLun[0]), 0x02000103u);
    errno = 0;
    winsize size{};
    EXPECT_EQ(ioctl(fd, TIOCGWINSZ, &size), -1);  // a terminal's request: not for a block device
    EXPECT_EQ(errno, ENOTTY);
    close(fd);
}

struct SgCase {
    const char* name;
    int node;
    const uint8_t* cdb;
    int cdbLength;
    int direction;
    unsigned length;
    char interfaceId;
    unsigned char senseRoom;
    int result;  // 0, or the errno of -1
    unsigned char status;
    unsigned char hostStatus;
    unsigned char driverStatus;
    unsigned char senseWritten;
    int resid;
};

TEST(FakeSrTest, SgIoReportsAsTheKernelDoes) {
    static const uint8_t inquiry[6] = {0x12, 0, 0, 0, 96, 0};
    static const uint8_t testUnitReady[6] = {0x00};
    static const uint8_t vendorPage64[10] = {0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 64, 0};
    static const uint8_t vendorPage[10] = {0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 48, 0};
    static const uint8_t writeBuffer[10] = {0x3B, 0x02, 0xD4, 0, 0, 0, 0, 0, 16, 0};
    static const uint8_t stopUnit[6] = {0x1B, 0, 0, 0, 0, 0};
    // In order: on sr0 the second vendor page read meets the injected EIO.
    const SgCase cases[] = {
        {"INQUIRY", 0, inquiry, 6, SG_DXFER_FROM_DEV, 96, 'S', 32, 0, 0, 0, 0, 0, 0},
        {"not the sg v3 interface", 0, inquiry, 6, SG_DXFER_FROM_DEV, 96, 'Q', 32, EINVAL, 0, 0, 0,
         0, 0},
        {"data but no direction", 0, inquiry, 6, SG_DXFER_NONE, 96, 'S', 32, EINVAL, 0, 0, 0, 0, 0},
        {"more than the queue takes", 0, inquiry, 6, SG_DXFER_FROM_DEV, 0x20000, 'S', 32, EIO, 0, 0,
         0, 0, 0},
        {"CHECK CONDITION: no disc", 0, testUnitReady, 6, SG_DXFER_NONE, 0, 'S', 32, 0, 2, 0, 8, 18,
         0},
        {"sense cut to the room given", 0, testUnitReady, 6, SG_DXFER_NONE, 0, 'S', 8, 0, 2, 0, 8,
         8, 0},
        {"vendor page, short answer", 0, vendorPage64, 10, SG_DXFER_FROM_DEV, 64, 'S', 32, 0, 0, 0,
         0, 0, 16},
        {"vendor page, injected EIO", 0, vendorPage, 10, SG_DXFER_FROM_DEV, 48, 'S', 32, EIO, 0, 0,
         0, 0, 0},
        {"midlayer time-out", 0, stopUnit, 6, SG_DXFER_NONE, 0, 'S', 32, 0, 0, 3, 0, 0, 0},
        {"read command without CAP_SYS_RAWIO", 1, vendorPage, 10, SG_DXFER_FROM_DEV, 48, 'S', 32, 0,
         0, 0, 0, 0, 0},
        {"WRITE BUFFER without CAP_SYS_RAWIO", 1, writeBuffer, 10, SG_DXFER_TO_DEV, 16, 'S', 32,
         EPERM, 0, 0, 0, 0, 0},
    };

    for (const SgCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = OpenSr(c.node, O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        uint8_t data[0x20000] = {};
        uint8_t sense[64];  // room for the sense bytes and a guard behind it
        std::memset(sense, 0xEE, sizeof sense);
        sg_io_hdr_t h;
        std::memset(&h, 0, sizeof h);
        h.interface_id = c.interfaceId;
        h.cmdp = const_cast<uint8_t*>(c.cdb);
        h.cmd_len = static_cast<unsigned char>(c.cdbLength);
        h.dxfer_direction = c.direction;
        h.dxferp = data;
        h.dxfer_len = c.length;
        h.sbp = sense;
        h.mx_sb_len = c.senseRoom;
        h.timeout = 5000;
        errno = 0;
        const int rc = ioctl(fd, SG_IO, &h);
        if (c.result != 0) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(errno, c.result);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(h.status, c.status);
            EXPECT_EQ(h.masked_status, c.status >> 1);
            EXPECT_EQ(h.host_status, c.hostStatus);
            EXPECT_EQ(h.driver_status, c.driverStatus);
            EXPECT_EQ(h.sb_len_wr, c.senseWritten);
            EXPECT_EQ(h.resid, c.resid);
            // Nothing is written past the room given for the sense bytes.
            EXPECT_EQ(sense[c.senseRoom], 0xEE);
            if (c.senseWritten >= 14) {
                EXPECT_EQ(sense[2], 0x02);
                EXPECT_EQ(sense[12], 0x3A);
            }
            if (c.cdb[0] == 0x12) {
                EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 8), "KESTREL ");
            }
        }
        close(fd);
    }
}

TEST(FakeSrTest, WaitsMoveTheVirtualClockOnly) {
    timespec start{}, now{};
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &start), 0);
    timespec deadline = start;
    deadline.tv_sec += 3600;  // an hour passes at once
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr), 0);
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &now), 0);
    EXPECT_EQ(now.tv_sec - start.tv_sec, 3600);
    EXPECT_EQ(now.tv_nsec, start.tv_nsec);
    const timespec quarter = {0, 250000000};
    EXPECT_EQ(nanosleep(&quarter, nullptr), 0);
    timespec later{};
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &later), 0);
    EXPECT_EQ((later.tv_sec - now.tv_sec) * 1000000000L + (later.tv_nsec - now.tv_nsec),
              250000000L);
    // A deadline already passed costs nothing.
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &start, nullptr), 0);
    timespec after{};
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &after), 0);
    EXPECT_EQ(after.tv_sec, later.tv_sec);
    EXPECT_EQ(after.tv_nsec, later.tv_nsec);
}

TEST(FakeSrTest, SysfsShowsTheBusOfEachDrive) {
    struct Case {
        int node;
        bool fireWire;
    };
    for (const Case c : {Case{0, false}, Case{1, true}}) {
        SCOPED_TRACE(c.node);
        const std::string link = "/sys/dev/block/11:" + std::to_string(c.node) + "/device";
        char resolved[PATH_MAX];
        ASSERT_NE(realpath(link.c_str(), resolved), nullptr);
        EXPECT_EQ(std::strncmp(resolved, "/sys/devices/", 13), 0) << resolved;
        EXPECT_EQ(std::strstr(resolved, "/fw1/") != nullptr, c.fireWire) << resolved;
        const std::string attribute = std::string(resolved) + "/ieee1394_id";
        EXPECT_EQ(access(attribute.c_str(), F_OK) == 0, c.fireWire);
        const std::string block = "/sys/block/sr" + std::to_string(c.node) + "/device";
        char same[PATH_MAX];
        ASSERT_NE(realpath(block.c_str(), same), nullptr);
        EXPECT_STREQ(same, resolved);
    }
}

// The generic node of sr1 (no CAP_SYS_RAWIO): listed under the SCSI device, a character device
// of major 21, and filtering commands only when opened read-only.
TEST(FakeSrTest, GenericNodeOfEachDrive) {
    DIR* folder = opendir("/sys/block/sr1/device/scsi_generic");
    ASSERT_NE(folder, nullptr);
    std::string names;
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] != '.') names += entry->d_name;
    }
    closedir(folder);
    EXPECT_EQ(names, "sg2");
    char resolved[PATH_MAX], same[PATH_MAX];
    ASSERT_NE(realpath("/sys/dev/char/21:2/device", resolved), nullptr);
    ASSERT_NE(realpath("/sys/block/sr1/device", same), nullptr);
    EXPECT_STREQ(resolved, same);

    static const uint8_t writeBuffer[10] = {0x3B, 0x02, 0xD4, 0, 0, 0, 0, 0, 16, 0};
    struct Case {
        const char* name;
        int flags;
        int result;  // 0, or the errno of -1
    };
    const Case cases[] = {
        {"read-write: any command", O_RDWR, 0},
        {"read-only: WRITE BUFFER needs CAP_SYS_RAWIO", O_RDONLY, EPERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = open("/dev/sg2", c.flags | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        struct stat info;
        ASSERT_EQ(fstat(fd, &info), 0);
        EXPECT_TRUE(S_ISCHR(info.st_mode));
        EXPECT_EQ(major(info.st_rdev), 21u);
        EXPECT_EQ(minor(info.st_rdev), 2u);
        uint8_t data[16] = {};
        sg_io_hdr_t h;
        std::memset(&h, 0, sizeof h);
        h.interface_id = 'S';
        h.cmdp = const_cast<uint8_t*>(writeBuffer);
        h.cmd_len = 10;
        h.dxfer_direction = SG_DXFER_TO_DEV;
        h.dxferp = data;
        h.dxfer_len = sizeof data;
        h.timeout = 5000;
        errno = 0;
        const int rc = ioctl(fd, SG_IO, &h);
        EXPECT_EQ(rc, c.result == 0 ? 0 : -1);
        if (c.result != 0) {
            EXPECT_EQ(errno, c.result);
        }
        close(fd);
    }
    // sr0's node is sg1; there is no node for a drive that is not there.
    EXPECT_EQ(access("/dev/sg1", F_OK), 0);
    EXPECT_EQ(open("/dev/sg3", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
