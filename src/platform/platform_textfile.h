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

using TextFileHandle = intptr_t;
constexpr TextFileHandle NoTextFile = 0;

// PlatformReadTextLine's answer when the file has no more characters.
constexpr int TextFileAtEnd = -1;

// Opens the named file for reading as text: 0 with the handle in *file, or the cause.
int PlatformOpenTextFile(const char* name, TextFileHandle* file);

// Reads the next line as fgets does: at most capacity - 1 characters, up to and including
// the line break, always terminated; the rest of a longer line is what the next call reads.
// Returns 0 with a line, TextFileAtEnd when nothing is left, or the cause of a failed read.
int PlatformReadTextLine(TextFileHandle file, char* line, size_t capacity);

void PlatformCloseTextFile(TextFileHandle file);
