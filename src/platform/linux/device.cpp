// SCSI pass-through on Linux: the drive letters D..Z are /dev/sr0../dev/sr22 and the
// pass-through block travels as an sg request, through the drive's SCSI generic node where
// it has one: opening /dev/srN makes the cdrom layer send commands of its own (event status,
// TEST UNIT READY, door lock) around every command of ours, and sr stretches short time-outs.
// Which node a place's commands take is settled when the place is claimed (place.cpp).
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/linux_device.h"
#include "platform/linux/linux_place.h"
#include "platform/pass_through_block.h"
#include "platform/platform_device.h"

namespace {

constexpr int FirstDeviceLetter = 'D';
constexpr int LastDeviceLetter = 'Z';
constexpr int SgVersionWithSgIo = 30000;

// host_status and driver_status of the SCSI midlayer.
constexpr unsigned DidOk = 0x00;
constexpr unsigned DidTimeOut = 0x03;
constexpr unsigned DriverStatusMask = 0x0F;
constexpr unsigned DriverOk = 0x00;
constexpr unsigned DriverTimeout = 0x06;
constexpr unsigned DriverSense = 0x08;

int Descriptor(DeviceHandle handle) {
    return static_cast<int>(handle);
}

// The device behind an open /dev/srN or /dev/sgN, looked up in sysfs by its device number.
bool IsOnFireWire(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !(S_ISBLK(info.st_mode) || S_ISCHR(info.st_mode))) return false;
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/%s/%u:%u/device",
                  S_ISBLK(info.st_mode) ? "block" : "char", major(info.st_rdev),
                  minor(info.st_rdev));
    char resolved[PATH_MAX];
    if (realpath(link, resolved) == nullptr) return false;
    if (IsFireWirePath(resolved)) return true;
    // The SBP-2 driver gives its SCSI devices this attribute.
    char attribute[PATH_MAX + 16];
    std::snprintf(attribute, sizeof attribute, "%s/ieee1394_id", resolved);
    return access(attribute, F_OK) == 0;
}

// The SCSI generic driver's character devices.
constexpr unsigned SgMajor = 21;

bool IsGenericNode(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && major(info.st_rdev) == SgMajor;
}

// sg's asynchronous interface: the request is written once, and only the wait for its answer
// is repeated after a signal. SG_IO on sg waits interruptibly and, restarted after a handler
// or a stop, would submit the same command again while the first still runs in the drive.
int SubmitAndWait(int fd, sg_io_hdr_t* header) {
    ssize_t written;
    do {
        // EINTR here means nothing was queued: the write may be tried again.
        written = write(fd, header, sizeof *header);
    } while (written < 0 && errno == EINTR);
    if (written < 0) return -1;
    if (static_cast<size_t>(written) != sizeof *header) {
        errno = EIO;
        return -1;
    }
    for (;;) {
        pollfd answer = {fd, POLLIN, 0};
        const int ready = poll(&answer, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        const ssize_t got = read(fd, header, sizeof *header);
        if (got == static_cast<ssize_t>(sizeof *header)) return 0;
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got >= 0) errno = EIO;
        return -1;
    }
}

}  // namespace

bool GenericPathForEntry(const char* entry, char* path, size_t size) {
    if (std::strncmp(entry, "sg", 2) != 0 || entry[2] == '\0') return false;
    for (const char* digit = entry + 2; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return false;
    }
    const int written = std::snprintf(path, size, "/dev/%s", entry);
    return written > 0 && static_cast<size_t>(written) < size;
}

void DriveNameForLetter(char letter, char* name, size_t size) {
    char node[32];
    if (DevicePathForLetter(letter, node, sizeof node)) {
        std::snprintf(name, size, "%c: (%s)", letter, node);
    } else {
        std::snprintf(name, size, "%c:", letter);
    }
}

bool DevicePathForLetter(char letter, char* path, size_t size) {
    if (letter < FirstDeviceLetter || letter > LastDeviceLetter) return false;
    const int written = std::snprintf(path, size, "/dev/sr%d", letter - FirstDeviceLetter);
    return written > 0 && static_cast<size_t>(written) < size;
}

uint32_t ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        case EIO:
            return ERROR_IO_DEVICE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

bool IsFireWirePath(const char* path) {
    if (std::strstr(path, "firewire") != nullptr || std::strstr(path, "sbp") != nullptr) {
        return true;
    }
    // Units on a FireWire bus appear as fwN and fwN.M path components.
    for (const char* at = path; (at = std::strstr(at, "/fw")) != nullptr; at += 3) {
        if (at[3] >= '0' && at[3] <= '9') return true;
    }
    return false;
}

void ScsiAddressFromIdLun(uint32_t fourInOne, uint8_t address[8]) {
    PutLe32(address, 8);
    address[4] = static_cast<uint8_t>(fourInOne >> 24);  // PortNumber: host
    address[5] = static_cast<uint8_t>(fourInOne >> 16);  // PathId: channel
    address[6] = static_cast<uint8_t>(fourInOne);        // TargetId
    address[7] = static_cast<uint8_t>(fourInOne >> 8);   // Lun
}

uint32_t SgIoFromBlock(uint8_t block[Sptd::BlockSize], uint8_t* data, sg_io_hdr_t* header) {
    const uint32_t refused = CheckPassThroughBlock(block, data);
    if (refused != ERROR_SUCCESS) return refused;
    std::memset(header, 0, sizeof *header);
    header->interface_id = 'S';
    switch (block[Sptd::DataIn]) {
        case Sptd::DATA_OUT:
            header->dxfer_direction = SG_DXFER_TO_DEV;
            break;
        case Sptd::DATA_IN:
            header->dxfer_direction = SG_DXFER_FROM_DEV;
            break;
        default:
            header->dxfer_direction = SG_DXFER_NONE;
            break;
    }
    header->cmd_len = block[Sptd::CdbLength];
    header->cmdp = block + Sptd::Cdb;

    const uint32_t length = GetLe32(block + Sptd::DataTransferLength);
    header->dxfer_len = length;
    header->dxferp = length != 0 ? data : nullptr;

    const uint32_t seconds = GetLe32(block + Sptd::TimeOutValue);
    header->timeout = seconds > UINT32_MAX / 1000 ? UINT32_MAX : seconds * 1000;

    // The check keeps the sense area inside the block.
    const uint8_t senseLength = block[Sptd::SenseInfoLength];
    header->mx_sb_len = senseLength;
    header->sbp = senseLength != 0 ? block + GetLe32(block + Sptd::SenseInfoOffset) : nullptr;
    return ERROR_SUCCESS;
}

uint32_t BlockFromSgIo(const sg_io_hdr_t& header, int ioctlResult, int ioctlErrno,
                       uint8_t block[Sptd::BlockSize]) {
    ClearPassThroughAnswer(block);
    if (ioctlResult < 0) return ioctlErrno == 0 ? ERROR_GEN_FAILURE : ErrorFromErrno(ioctlErrno);

    const unsigned host = header.host_status;
    const unsigned driver = header.driver_status & DriverStatusMask;
    if (header.status == 0 && (host != DidOk || (driver != DriverOk && driver != DriverSense))) {
        // The adapter or driver gave up on the command: there is no answer of the drive.
        return host == DidTimeOut || driver == DriverTimeout ? ERROR_SEM_TIMEOUT : ERROR_IO_DEVICE;
    }

    block[Sptd::ScsiStatus] = header.status;
    const unsigned sense =
        header.sb_len_wr < header.mx_sb_len ? header.sb_len_wr : header.mx_sb_len;
    block[Sptd::SenseInfoLength] = static_cast<uint8_t>(sense);
    const int resid = header.resid;
    const uint32_t moved = resid > 0 && static_cast<unsigned>(resid) <= header.dxfer_len
                               ? header.dxfer_len - static_cast<unsigned>(resid)
                               : header.dxfer_len;
    PutLe32(block + Sptd::DataTransferLength, moved);
    return ERROR_SUCCESS;
}

DeviceHandle PlatformOpenDevice(char letter, uint32_t access, uint32_t* error) {
    // Access 0 is the second, query-only handle of the media-notification control.
    if (access == 0) return OpenPollFolder(letter, error);
    // Commands go only to a place this program holds, through the one descriptor it keeps.
    if (!PlaceClaimed(letter)) {
        *error = ERROR_FILE_NOT_FOUND;
        return InvalidDeviceHandle;
    }
    int failure = 0;
    const int fd = PlaceRoute(letter, &failure);
    if (fd < 0) {
        *error = ErrorFromErrno(failure);
        return InvalidDeviceHandle;
    }
    *error = ERROR_SUCCESS;
    return fd;
}

// The place keeps its route and its sysfs folder open: only other descriptors are closed.
void PlatformCloseDevice(DeviceHandle handle) {
    const int fd = Descriptor(handle);
    if (fd < 0 || IsPlaceRoute(fd) || IsPollFolder(fd)) return;
    close(fd);
}

uint32_t PlatformGetCapabilities(DeviceHandle handle) {
    int version = 0;
    if (ioctl(Descriptor(handle), SG_GET_VERSION_NUM, &version) < 0) return ErrorFromErrno(errno);
    return version >= SgVersionWithSgIo ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
}

uint32_t PlatformGetScsiAddress(DeviceHandle handle, uint8_t address[8]) {
    const int fd = Descriptor(handle);
    if (IsOnFireWire(fd)) return ERROR_NOT_SUPPORTED;
    int idLun[2] = {0, 0};
    if (ioctl(fd, SCSI_IOCTL_GET_IDLUN, idLun) < 0) return ErrorFromErrno(errno);
    ScsiAddressFromIdLun(static_cast<uint32_t>(idLun[0]), address);
    return ERROR_SUCCESS;
}

uint32_t PlatformPassThroughDirect(DeviceHandle handle, uint8_t block[Sptd::BlockSize],
                                   uint8_t* data) {
    sg_io_hdr_t header;
    const uint32_t refused = SgIoFromBlock(block, data, &header);
    if (refused != ERROR_SUCCESS) {
        ClearPassThroughAnswer(block);
        return refused;
    }
    const int fd = Descriptor(handle);
    // On /dev/srN the block layer waits uninterruptibly, so SG_IO runs the command once. Not
    // repeated on EINTR: the command may have reached the drive already.
    const int result = IsGenericNode(fd) ? SubmitAndWait(fd, &header) : ioctl(fd, SG_IO, &header);
    const int failure = result < 0 ? errno : 0;
    if (failure == ENODEV || failure == ENXIO) NotePlaceRouteGone(fd);
    return BlockFromSgIo(header, result, failure, block);
}

bool PlatformDeviceName(char letter, char* name, size_t size) {
    return DevicePathForLetter(letter, name, size);
}
