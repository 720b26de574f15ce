#pragma once
#include <cstdint>

// Files of the update package, opened by name relative to the current directory.
// Windows: CreateFileA, GetFileSize, ReadFile, CloseHandle. Linux: POSIX open/fstat/read.
// The simulated PC: its in-memory folder.
//
// Error codes are Windows error codes, as in platform_device.h (Linux maps errno onto them).

using FileHandle = intptr_t;
constexpr FileHandle InvalidFileHandle = -1;

// GetFileSize's answer when the size cannot be had.
constexpr uint32_t INVALID_FILE_SIZE = 0xFFFFFFFF;

// CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
// FILE_ATTRIBUTE_NORMAL, nullptr): an existing regular file for reading. The open never
// waits: anything that is not a regular file (a FIFO, device, socket or pipe; on Linux a
// directory too) fails as a missing file does. On failure returns InvalidFileHandle with the
// error code in *error (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED for a refused open, ...).
FileHandle PlatformOpenFileForReading(const char* name, uint32_t* error);

// GetFileSize: the low 32 bits of the size, the high 32 bits in *sizeHigh; INVALID_FILE_SIZE
// with *sizeHigh 0 when the size cannot be had.
uint32_t PlatformGetFileSize(FileHandle handle, uint32_t* sizeHigh);

// ReadFile from the current position: true when the read succeeded, with the bytes actually
// read in *bytesRead (fewer than asked only at the end of the file). Never writes more than
// `toRead` bytes into `buffer`.
bool PlatformReadFile(FileHandle handle, uint8_t* buffer, uint32_t toRead, uint32_t* bytesRead);

// CloseHandle.
void PlatformCloseFile(FileHandle handle);

// Text files read line by line (the legacy HEX images): platform_textfile.h.
