// Text files (the legacy HEX images): a C runtime stream in text mode, so that CR LF reads
// as LF.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/win32/win32_api.h"
#include "platform/win32/win32_blocks.h"

namespace {

std::FILE* Stream(TextFileHandle file) {
    return reinterpret_cast<std::FILE*>(file);
}

// The runtime keeps the Windows error of the call that failed; a failure of its own (no
// stream left, a bad mode) has only errno.
int CauseOfFailure() {
    if (_doserrno != 0) return FileCauseFromWindowsError(_doserrno);
    switch (errno) {
        case ENOENT:
            return FileCauseNotFound;
        case EACCES:
            return FileCauseAccessDenied;
        case EMFILE:
            return FileCauseTooManyOpenFiles;
        case EBADF:
            return FileCauseInvalidHandle;
        default:
            return FileCauseGeneric;
    }
}

void ClearErrors() {
    _doserrno = 0;
    errno = 0;
}

// 0 when `name` is a file on disk. A device name (CON, COM1, ...) or a pipe would have the
// reads wait for input that never comes, and a directory is no HEX file: all of them count
// as missing. Any other failure keeps its own cause.
int CheckFileOnDisk(const char* name) {
    const HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesA(name);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return FileCauseNotFound;
        }
        return error != 0 ? FileCauseFromWindowsError(error) : FileCauseGeneric;
    }
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_DISK ? 0 : FileCauseNotFound;
}

}  // namespace

int PlatformOpenTextFile(const char* name, TextFileHandle* file) {
    *file = NoTextFile;
    const int onDisk = CheckFileOnDisk(name);
    if (onDisk != 0) return onDisk;
    ClearErrors();
    std::FILE* stream = std::fopen(name, "rt");
    if (stream == nullptr) {
        const int cause = CauseOfFailure();
        return cause != FileCauseNone ? cause : FileCauseGeneric;
    }
    *file = reinterpret_cast<TextFileHandle>(stream);
    return 0;
}

int PlatformReadTextLine(TextFileHandle file, char* line, size_t capacity) {
    if (capacity > 0) line[0] = '\0';
    if (file == NoTextFile) return FileCauseInvalidHandle;
    if (capacity < 2) return FileCauseGeneric;  // no room for a character: no progress
    const int room = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    ClearErrors();
    if (std::fgets(line, room, Stream(file)) != nullptr) return 0;
    line[0] = '\0';
    if (std::ferror(Stream(file))) {
        const int cause = CauseOfFailure();
        return cause != FileCauseNone ? cause : FileCauseGeneric;
    }
    return TextFileAtEnd;
}

void PlatformCloseTextFile(TextFileHandle file) {
    if (file != NoTextFile) std::fclose(Stream(file));
}
