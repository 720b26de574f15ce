#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "platform/linux/linux_name_case.h"
#include "platform/linux/linux_textfile.h"
#include "platform/platform_textfile.h"

int FileCauseFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return FileCauseNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case EINVAL:
        case ELOOP:
            return FileCauseBadPath;
        case EMFILE:
        case ENFILE:
            return FileCauseTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return FileCauseAccessDenied;
        case EBADF:
            return FileCauseInvalidHandle;
        case ESPIPE:
            return FileCauseBadSeek;
        case EIO:
            return FileCauseHardwareIo;
        case ETXTBSY:
            return FileCauseSharingViolation;
        case ENOLCK:
        case EDEADLK:
            return FileCauseLockViolation;
        case ENOSPC:
        case EDQUOT:
            return FileCauseDiskFull;
        default:
            return FileCauseGeneric;
    }
}

namespace {

std::FILE* Stream(TextFileHandle file) {
    return reinterpret_cast<std::FILE*>(file);
}

}  // namespace

int PlatformOpenTextFile(const char* requested, TextFileHandle* file) {
    *file = NoTextFile;
    // The HEX files too are matched as Windows matches names: in any case.
    const std::string found = NameIgnoringCase(requested);
    const char* name = found.c_str();
    errno = 0;
    const int fd = OpenRegularFile(name);
    if (fd < 0) return FileCauseFromErrno(errno);
    std::FILE* stream = ::fdopen(fd, "r");
    if (stream == nullptr) {
        const int error = errno;
        ::close(fd);
        return FileCauseFromErrno(error);
    }
    *file = reinterpret_cast<TextFileHandle>(stream);
    return 0;
}

int PlatformReadTextLine(TextFileHandle file, char* line, size_t capacity) {
    if (capacity > 0) line[0] = '\0';
    if (file == NoTextFile) return FileCauseInvalidHandle;
    if (capacity < 2) return FileCauseGeneric;  // no room for a character: no progress
    const int room = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    errno = 0;
    if (std::fgets(line, room, Stream(file)) != nullptr) return 0;
    line[0] = '\0';
    if (std::ferror(Stream(file))) return errno != 0 ? FileCauseFromErrno(errno) : FileCauseGeneric;
    return TextFileAtEnd;
}

void PlatformCloseTextFile(TextFileHandle file) {
    if (file != NoTextFile) std::fclose(Stream(file));
}
