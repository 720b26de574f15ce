#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/linux_name_case.h"
#include "platform/linux/linux_textfile.h"
#include "platform/platform_device.h"
#include "platform/platform_file.h"

namespace {

uint32_t WindowsError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EIO:
            return ERROR_IO_DEVICE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace

// A FIFO named like an image file would hold a plain open() until some writer came along,
// and a device could do the same: the open does not wait, and only a regular file is taken.
// Anything else fails as a missing file does.
int OpenRegularFile(const char* name) {
    int fd;
    do {
        fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    struct stat info;
    if (fd < 0) {
        // A socket does not open at all (ENXIO); it is no image file either.
        const int error = errno;
        errno = ::stat(name, &info) == 0 && !S_ISREG(info.st_mode) ? ENOENT : error;
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = ENOENT;
        return -1;
    }
    // Reads of a regular file block as they always do.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

FileHandle PlatformOpenFileForReading(const char* requested, uint32_t* error) {
    *error = ERROR_SUCCESS;
    // Names are matched as Windows matches them: a name in another case is the same file.
    const std::string found = NameIgnoringCase(requested);
    const int fd = OpenRegularFile(found.c_str());
    if (fd < 0) {
        *error = WindowsError(errno);
        return InvalidFileHandle;
    }
    return fd;
}

uint32_t PlatformGetFileSize(FileHandle handle, uint32_t* sizeHigh) {
    *sizeHigh = 0;
    struct stat info;
    if (handle < 0 || ::fstat(static_cast<int>(handle), &info) != 0 || info.st_size < 0) {
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    *sizeHigh = static_cast<uint32_t>(size >> 32);
    return static_cast<uint32_t>(size);
}

bool PlatformReadFile(FileHandle handle, uint8_t* buffer, uint32_t toRead, uint32_t* bytesRead) {
    *bytesRead = 0;
    if (handle < 0) return false;
    // read() may hand back less than asked before the end of the file; ReadFile does not.
    while (*bytesRead < toRead) {
        const ssize_t n =
            ::read(static_cast<int>(handle), buffer + *bytesRead, toRead - *bytesRead);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        *bytesRead += static_cast<uint32_t>(n);
    }
    return true;
}

void PlatformCloseFile(FileHandle handle) {
    if (handle >= 0) ::close(static_cast<int>(handle));
}
