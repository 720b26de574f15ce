#pragma once
#include <cstddef>
#include <cstdint>

// Text files read line by line (the legacy HEX images), relative to the current directory.
// Windows: a stdio stream in text mode. Linux: a stdio stream. The simulated PC: its
// in-memory folder, read as Windows text mode reads it (CR LF becomes LF).
//
// Every failure is reported as one of the file layer's causes, which ReportFileException
// prints.

enum FileErrorCause : int32_t {
    FileCauseNone = 0,
    FileCauseGeneric = 1,
    FileCauseNotFound = 2,
    FileCauseBadPath = 3,
    FileCauseTooManyOpenFiles = 4,
    FileCauseAccessDenied = 5,
    FileCauseInvalidHandle = 6,
    FileCauseRemovedCurrentDir = 7,
    FileCauseDirectoryFull = 8,
    FileCauseBadSeek = 9,
    FileCauseHardwareIo = 10,
    FileCauseSharingViolation = 11,
    FileCauseLockViolation = 12,
    FileCauseDiskFull = 13,
    FileCauseEndOfFile = 14,
};

// The cause that a Windows error code of a failed file call becomes; the simulated PC,
// which reports Windows codes, and the Windows layer share it.
inline int FileCauseFromWindowsError(uint32_t error) {
    switch (error) {
        case 0:  // NO_ERROR
            return FileCauseNone;
        case 2:  // ERROR_FILE_NOT_FOUND
            return FileCauseNotFound;
        case 3:    // ERROR_PATH_NOT_FOUND
        case 15:   // ERROR_INVALID_DRIVE
        case 123:  // ERROR_INVALID_NAME
        case 161:  // ERROR_BAD_PATHNAME
        case 206:  // ERROR_FILENAME_EXCED_RANGE
            return FileCauseBadPath;
        case 4:  // ERROR_TOO_MANY_OPEN_FILES
            return FileCauseTooManyOpenFiles;
        case 5:   // ERROR_ACCESS_DENIED
        case 19:  // ERROR_WRITE_PROTECT
            return FileCauseAccessDenied;
        case 6:  // ERROR_INVALID_HANDLE
            return FileCauseInvalidHandle;
        case 16:  // ERROR_CURRENT_DIRECTORY
            return FileCauseRemovedCurrentDir;
        case 82:  // ERROR_CANNOT_MAKE
            return FileCauseDirectoryFull;
        case 25:   // ERROR_SEEK
        case 131:  // ERROR_NEGATIVE_SEEK
            return FileCauseBadSeek;
        case 21:    // ERROR_NOT_READY
        case 23:    // ERROR_CRC
        case 29:    // ERROR_WRITE_FAULT
        case 30:    // ERROR_READ_FAULT
        case 31:    // ERROR_GEN_FAILURE
        case 1117:  // ERROR_IO_DEVICE
            return FileCauseHardwareIo;
        case 32:  // ERROR_SHARING_VIOLATION
            return FileCauseSharingViolation;
        case 33:  // ERROR_LOCK_VIOLATION
            return FileCauseLockViolation;
        case 39:   // ERROR_HANDLE_DISK_FULL
        case 112:  // ERROR_DISK_FULL
            return FileCauseDiskFull;
        case 38:  // ERROR_HANDLE_EOF
            return FileCauseEndOfFile;
        default:
            return FileCauseGeneric;
    }
}

using TextFileHandle = intptr_t;
constexpr TextFileHandle NoTextFile = 0;

// PlatformReadTextLine's answer when the file has no more characters.
constexpr int TextFileAtEnd = -1;

// Opens the named file for reading as text: 0 with the handle in *file, or the cause. The
// open never waits; anything that is not a regular file (a FIFO, device, socket, pipe or
// directory) gives the cause of a missing file.
int PlatformOpenTextFile(const char* name, TextFileHandle* file);

// Reads the next line as fgets does: at most capacity - 1 characters, up to and including
// the line break, always terminated; the rest of a longer line is what the next call reads.
// Returns 0 with a line, TextFileAtEnd when nothing is left, or the cause of a failed read.
int PlatformReadTextLine(TextFileHandle file, char* line, size_t capacity);

void PlatformCloseTextFile(TextFileHandle file);
