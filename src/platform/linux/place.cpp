// The drive places /dev/sr0../dev/sr22 as this program holds them. A place is claimed before
// anything is sent to it: a lock per place (flock, which the kernel drops when the holder
// dies, so a crash or a power loss leaves no stale lock) keeps a second copy of the program
// off the drive, and the SCSI generic node, opened once with O_EXCL, keeps other programs
// that use sg off it. Every command of the run then takes that one descriptor: a command that
// went to sg never falls back to /dev/srN, whose cdrom layer sends commands of its own.
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/linux_device.h"
#include "platform/linux/linux_place.h"
#include "platform/linux/linux_signals.h"
#include "platform/platform_console.h"
#include "platform/platform_device.h"

// glibc's wrapper of the capget system call; its header belongs to libcap.
extern "C" int capget(cap_user_header_t header, cap_user_data_t data);

namespace {

constexpr char FirstLetter = 'D';
constexpr int PlaceCount = 'Z' - 'D' + 1;

struct Place {
    bool Claimed = false;
    int LockFd = -1;
    int RouteFd = -1;
    bool RouteGeneric = false;
    bool RouteGone = false;  // the node vanished under the route: open it afresh
    int RouteError = 0;      // the route could not be opened: every command fails with it
    // Media polling: the attribute's value before the program wrote 0, written back at the end.
    int PollFolderFd = -1;  // /sys/block/srN, the media-notification handle
    volatile sig_atomic_t PollSaved = 0;
    char PollPath[96] = {};
    char PollValue[24] = {};
    size_t PollValueLength = 0;
};

Place Places[PlaceCount];

Place* PlaceOf(char letter) {
    if (letter < FirstLetter || letter >= FirstLetter + PlaceCount) return nullptr;
    return &Places[letter - FirstLetter];
}

int SrNumber(char letter) {
    return letter - FirstLetter;
}

void SayOnce(bool& said, const char* line) {
    if (said) return;
    said = true;
    PlatformWriteError(line);
}

// The notes of this file in the run's language; Japanese as Shift-JIS.
int Language() {
    return PlatformGetOemCodePage() == 932 ? 1 : 0;
}

const char* const NoLockText[2] = {
    "odd-fwupdate: %s cannot be created (%s); another odd-fwupdate could reach the drives "
    "meanwhile.\n",
    // odd-fwupdate: %s を作成できません (%s)。その間、別の odd-fwupdate
    // がドライブに触れる可能性があります。
    "odd-fwupdate: %s \x82\xf0\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1 (%s)\x81"
    "B\x82\xbb\x82\xcc\x8a\xd4\x81"
    "A\x95\xca\x82\xcc odd-fwupdate \x82\xaa\x83h\x83\x89\x83"
    "C\x83u\x82\xc9\x90G\x82\xea\x82\xe9\x89\xc2\x94\\\x90\xab\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82"
    "\xb7\x81"
    "B\n",
};

const char* const PollingText[2] = {
    "odd-fwupdate: the media polling of %s cannot be turned off (%s); the kernel may send the "
    "drive commands of its own meanwhile.\n",
    // odd-fwupdate: %s のメディアのポーリングを止められません
    // (%s)。その間、カーネルが独自のコマンドをドライブに送ることがあります。
    "odd-fwupdate: %s \x82\xcc\x83\x81\x83"
    "f\x83"
    "B\x83"
    "A\x82\xcc\x83|\x81[\x83\x8a\x83\x93\x83O\x82\xf0\x8e~"
    "\x82\xdf\x82\xe7\x82\xea\x82\xdc\x82\xb9\x82\xf1 (%s)\x81"
    "B\x82\xbb\x82\xcc\x8a\xd4\x81"
    "A\x83J\x81[\x83l\x83\x8b\x82\xaa\x93\xc6\x8e\xa9\x82\xcc\x83R\x83}"
    "\x83\x93\x83h\x82\xf0\x83h\x83\x89\x83"
    "C\x83u\x82\xc9\x91\x97\x82\xe9\x82\xb1\x82\xc6\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb7\x81"
    "B\n",
};

const char* const BusyProgramText[2] = {
    "odd-fwupdate: drive %c: (%s) is in use by another odd-fwupdate (process %d); it is left "
    "out.\n",
    // odd-fwupdate: ドライブ %c: (%s) は別の odd-fwupdate (プロセス %d)
    // が使用中のため、対象から外します。
    "odd-fwupdate: \x83h\x83\x89\x83"
    "C\x83u %c: (%s) \x82\xcd\x95\xca\x82\xcc odd-fwupdate (\x83v\x83\x8d\x83Z\x83X %d) "
    "\x82\xaa\x8eg\x97p\x92\x86\x82\xcc\x82\xbd\x82\xdf\x81"
    "A\x91\xce\x8f\xdb\x82\xa9\x82\xe7\x8aO\x82\xb5\x82\xdc\x82\xb7\x81"
    "B\n",
};

const char* const BusyOtherText[2] = {
    "odd-fwupdate: drive %c: (%s) is in use by another program; it is left out.\n",
    // odd-fwupdate: ドライブ %c: (%s) は別のプログラムが使用中のため、対象から外します。
    "odd-fwupdate: \x83h\x83\x89\x83"
    "C\x83u %c: (%s) "
    "\x82\xcd\x95\xca\x82\xcc\x83v\x83\x8d\x83O\x83\x89\x83\x80\x82\xaa\x8eg\x97p\x92\x86\x82\xcc"
    "\x82\xbd\x82\xdf\x81"
    "A\x91\xce\x8f\xdb\x82\xa9\x82\xe7\x8aO\x82\xb5\x82\xdc\x82\xb7\x81"
    "B\n",
};

// The generic node of /dev/srN as sysfs lists it now, or false (the sg module not loaded).
bool GenericNodeFor(char letter, char* path, size_t size) {
    char folder[64];
    std::snprintf(folder, sizeof folder, "/sys/block/sr%d/device/scsi_generic", SrNumber(letter));
    DIR* entries = opendir(folder);
    if (entries == nullptr) return false;
    bool found = false;
    while (const dirent* entry = readdir(entries)) {
        if (GenericPathForEntry(entry->d_name, path, size)) {
            found = true;
            break;
        }
    }
    closedir(entries);
    return found;
}

// The generic node when it opens read-write and alone: read-only it refuses WRITE BUFFER
// without CAP_SYS_RAWIO as /dev/srN does, and then /dev/srN decides. EBUSY (another program
// holds it alone) is final: that drive is in use.
int OpenRoute(char letter, bool* generic, int* error) {
    char node[32];
    if (GenericNodeFor(letter, node, sizeof node)) {
        const int fd = open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_EXCL);
        if (fd >= 0) {
            *generic = true;
            return fd;
        }
        if (errno == EBUSY) {
            *error = EBUSY;
            return -1;
        }
    }
    char path[32];
    if (!DevicePathForLetter(letter, path, sizeof path)) {
        *error = ENOENT;
        return -1;
    }
    // Non-blocking, so that a drive without a disc opens too.
    const int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    *generic = false;
    return fd;
}

// The process id written in a lock file, or 0.
int32_t LockHolder(int fd) {
    char text[16] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    const long pid = std::strtol(text, nullptr, 10);
    return pid > 0 && pid < 0x7FFFFFFF ? static_cast<int32_t>(pid) : 0;
}

// ERROR_SUCCESS with the lock held (or with no lock where /run/lock cannot hold one, said
// once), or ERROR_BUSY with the holder's process id.
uint32_t TakeLock(char letter, Place& place, int32_t* holder) {
    static bool saidNoLock = false;
    char path[64];
    if (!PlaceLockPath(letter, path, sizeof path)) return ERROR_FILE_NOT_FOUND;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    bool writable = fd >= 0;
    // Another user's lock file can still be locked through a read-only descriptor.
    if (fd < 0 && errno == EACCES) fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        char line[384];
        std::snprintf(line, sizeof line, NoLockText[Language()], path, std::strerror(errno));
        SayOnce(saidNoLock, line);
        return ERROR_SUCCESS;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *holder = LockHolder(fd);
        close(fd);
        return ERROR_BUSY;
    }
    if (writable) {
        char text[16];
        const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
        if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(length), 0) != length) {
            // The lock holds all the same; only the name of its holder is missing.
        }
    }
    place.LockFd = fd;
    return ERROR_SUCCESS;
}

Place* PlaceOfRoute(int fd) {
    if (fd < 0) return nullptr;
    for (Place& place : Places) {
        if (place.Claimed && place.RouteFd == fd) return &place;
    }
    return nullptr;
}

Place* PlaceOfPollFolder(int fd) {
    if (fd < 0) return nullptr;
    for (Place& place : Places) {
        if (place.PollFolderFd == fd) return &place;
    }
    return nullptr;
}

// A sysfs attribute takes its value in one write.
bool WriteAll(int fd, const char* text, size_t length) {
    return write(fd, text, length) == static_cast<ssize_t>(length);
}

// Saves events_poll_msecs and writes 0. A drive without the attribute has nothing to turn
// off; one that cannot be written (not root, a read-only sysfs) is said once and left as is.
int HoldPolling(Place& place) {
    static bool saidUnwritable = false;
    if (place.PollSaved != 0) return 1;
    const int fd = open(place.PollPath, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return 1;
        char line[512];
        std::snprintf(line, sizeof line, PollingText[Language()], place.PollPath,
                      std::strerror(errno));
        SayOnce(saidUnwritable, line);
        return 0;
    }
    char value[sizeof place.PollValue] = {};
    const ssize_t n = read(fd, value, sizeof value - 1);
    close(fd);
    if (n <= 0) return 0;
    std::memcpy(place.PollValue, value, static_cast<size_t>(n));
    place.PollValueLength = static_cast<size_t>(n);
    // Saved before the write, so that a signal right after it still finds the value.
    place.PollSaved = 1;
    ArmEndingSignals(RestorePlacePolling);
    const int out = open(place.PollPath, O_WRONLY | O_CLOEXEC);
    const bool written = out >= 0 && WriteAll(out, "0\n", 2);
    if (out >= 0) close(out);
    if (!written) {
        place.PollSaved = 0;
        char line[512];
        std::snprintf(line, sizeof line, PollingText[Language()], place.PollPath,
                      std::strerror(errno));
        SayOnce(saidUnwritable, line);
        return 0;
    }
    return 1;
}

void RestorePolling(Place& place) {
    if (place.PollSaved == 0) return;
    const int fd = open(place.PollPath, O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        WriteAll(fd, place.PollValue, place.PollValueLength);
        close(fd);
    }
    place.PollSaved = 0;
}

// /dev/srN refuses WRITE BUFFER to a process without CAP_SYS_RAWIO in its effective set.
bool HasRawIo() {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (capget(&header, data) != 0) return true;  // cannot tell: the command itself decides
    return (data[CAP_SYS_RAWIO / 32].effective & (1u << (CAP_SYS_RAWIO % 32))) != 0;
}

// The largest transfer of one command the drive's queue takes, in KiB, or -1 when it cannot
// be read: the queue's own attribute, else what sg says of it.
long QueueLimitKb(char letter, const Place& place) {
    char path[64];
    std::snprintf(path, sizeof path, "/sys/block/sr%d/queue/max_hw_sectors_kb", SrNumber(letter));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char text[24] = {};
        const ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        char* end = nullptr;
        const long kb = n > 0 ? std::strtol(text, &end, 10) : -1;
        if (n > 0 && end != text && kb >= 0) return kb;
    }
    int bytes = 0;
    if (place.RouteGeneric && ioctl(place.RouteFd, BLKSECTGET, &bytes) == 0 && bytes > 0) {
        return bytes / 1024;
    }
    return -1;
}

}  // namespace

uint32_t PlatformCheckWriteRoute(char letter, uint32_t transferBytes, uint32_t* limitKb) {
    *limitKb = 0;
    const Place* place = PlaceOf(letter);
    if (place == nullptr || !place->Claimed) return ERROR_FILE_NOT_FOUND;
    if (place->RouteFd < 0) return ErrorFromErrno(place->RouteError);
    // Opened read-write, sg passes any command; /dev/srN filters by capability.
    if (!place->RouteGeneric && !HasRawIo()) return ERROR_ACCESS_DENIED;
    const long kb = QueueLimitKb(letter, *place);
    if (kb >= 0 && static_cast<unsigned long>(kb) * 1024 < transferBytes) {
        *limitKb = static_cast<uint32_t>(kb);
        return ERROR_BAD_LENGTH;
    }
    return ERROR_SUCCESS;
}

bool PlaceLockPath(char letter, char* path, size_t size) {
    if (PlaceOf(letter) == nullptr) return false;
    const int written =
        std::snprintf(path, size, "/run/lock/odd-fwupdate-sr%d.lock", SrNumber(letter));
    return written > 0 && static_cast<size_t>(written) < size;
}

uint32_t PlatformClaimDevice(char letter, int32_t* holder) {
    *holder = 0;
    Place* place = PlaceOf(letter);
    char path[32];
    if (place == nullptr || !DevicePathForLetter(letter, path, sizeof path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (place->Claimed) return ERROR_SUCCESS;
    // No lock file for a place without a drive.
    if (access(path, F_OK) != 0) return ERROR_FILE_NOT_FOUND;
    const uint32_t locked = TakeLock(letter, *place, holder);
    if (locked != ERROR_SUCCESS) return locked;

    int error = 0;
    bool generic = false;
    const int fd = OpenRoute(letter, &generic, &error);
    if (fd < 0 && error == EBUSY) {
        if (place->LockFd >= 0) close(place->LockFd);
        place->LockFd = -1;
        return ERROR_BUSY;
    }
    place->Claimed = true;
    place->RouteFd = fd;
    place->RouteGeneric = generic;
    place->RouteGone = false;
    place->RouteError = fd < 0 ? error : 0;
    return ERROR_SUCCESS;
}

void PlatformReleaseDevice(char letter) {
    Place* place = PlaceOf(letter);
    if (place == nullptr || !place->Claimed) return;
    if (place->RouteFd >= 0) close(place->RouteFd);
    if (place->LockFd >= 0) close(place->LockFd);  // closing the last descriptor unlocks
    place->RouteFd = -1;
    place->LockFd = -1;
    place->Claimed = false;
}

void PlatformReportDeviceBusy(char letter, int32_t holder) {
    char node[32] = "?";
    DevicePathForLetter(letter, node, sizeof node);
    char line[384];
    if (holder > 0) {
        std::snprintf(line, sizeof line, BusyProgramText[Language()], letter, node,
                      static_cast<int>(holder));
    } else {
        std::snprintf(line, sizeof line, BusyOtherText[Language()], letter, node);
    }
    PlatformWriteError(line);
}

bool PlaceClaimed(char letter) {
    const Place* place = PlaceOf(letter);
    return place != nullptr && place->Claimed;
}

int PlaceRoute(char letter, int* error) {
    Place* place = PlaceOf(letter);
    if (place == nullptr || !place->Claimed) {
        *error = ENOENT;
        return -1;
    }
    if (place->RouteGone) {
        // Only the same kind of node: a procedure that began on sg stays on sg.
        bool generic = false;
        int reopenError = 0;
        const int fd = OpenRoute(letter, &generic, &reopenError);
        if (fd >= 0 && generic != place->RouteGeneric) {
            close(fd);
            *error = ENODEV;
            return -1;
        }
        if (fd < 0) {
            *error = reopenError;
            return -1;
        }
        if (place->RouteFd >= 0) close(place->RouteFd);
        place->RouteFd = fd;
        place->RouteGone = false;
    }
    if (place->RouteFd < 0) *error = place->RouteError;
    return place->RouteFd;
}

bool IsPlaceRoute(int fd) {
    return PlaceOfRoute(fd) != nullptr;
}

void NotePlaceRouteGone(int fd) {
    if (Place* place = PlaceOfRoute(fd)) place->RouteGone = true;
}

// The media-notification handle of a place is its sysfs folder, where events_poll_msecs
// says how often the kernel asks the drive for media events.
DeviceHandle OpenPollFolder(char letter, uint32_t* error) {
    Place* place = PlaceOf(letter);
    if (place == nullptr) {
        *error = ERROR_FILE_NOT_FOUND;
        return InvalidDeviceHandle;
    }
    if (place->PollFolderFd >= 0) {
        *error = ERROR_SUCCESS;
        return place->PollFolderFd;
    }
    char folder[32];
    std::snprintf(folder, sizeof folder, "/sys/block/sr%d", SrNumber(letter));
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrorFromErrno(errno);
        return InvalidDeviceHandle;
    }
    std::snprintf(place->PollPath, sizeof place->PollPath, "%s/events_poll_msecs", folder);
    place->PollFolderFd = fd;
    *error = ERROR_SUCCESS;
    return fd;
}

bool IsPollFolder(int fd) {
    return PlaceOfPollFolder(fd) != nullptr;
}

int PlatformMediaNotificationControl(DeviceHandle handle, uint8_t value) {
    Place* place = PlaceOfPollFolder(static_cast<int>(handle));
    if (place == nullptr) return 0;
    if (value != 0) return HoldPolling(*place);
    RestorePolling(*place);
    return 1;
}

void RestorePlacePolling() {
    for (Place& place : Places) RestorePolling(place);
}

bool PlatformGenericNodeName(char letter, char* name, size_t size) {
    return GenericNodeFor(letter, name, size);
}
