// Image files: CreateFileA, GetFileSize, ReadFile, CloseHandle.
#include "platform/win32/win32_api.h"

namespace {

// The error of a failed call; never "success" for a call that failed.
uint32_t LastError() {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

}  // namespace

FileHandle PlatformOpenFileForReading(const char* name, uint32_t* error) {
    const HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = LastError();
        return InvalidFileHandle;
    }
    // A device name (CON, COM1, ...) or a pipe opens as well, and its read would wait for
    // input that never comes: only a file on disk is an image file, anything else is missing.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        *error = ERROR_FILE_NOT_FOUND;
        return InvalidFileHandle;
    }
    *error = ERROR_SUCCESS;
    return FromHandle(file);
}

uint32_t PlatformGetFileSize(FileHandle handle, uint32_t* sizeHigh) {
    DWORD high = 0;
    SetLastError(0);
    const DWORD low = GetFileSize(AsHandle(handle), &high);
    // INVALID_FILE_SIZE is also the low half of a real size: only the error code tells.
    if (low == INVALID_FILE_SIZE && GetLastError() != 0) {
        *sizeHigh = 0;
        return INVALID_FILE_SIZE;
    }
    *sizeHigh = high;
    return low;
}

bool PlatformReadFile(FileHandle handle, uint8_t* buffer, uint32_t toRead, uint32_t* bytesRead) {
    DWORD read = 0;
    const BOOL done = ReadFile(AsHandle(handle), buffer, toRead, &read, nullptr);
    *bytesRead = done ? read : 0;
    return done != 0;
}

void PlatformCloseFile(FileHandle handle) {
    if (handle != InvalidFileHandle) CloseHandle(AsHandle(handle));
}
