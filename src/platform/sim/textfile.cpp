#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "platform/platform_device.h"
#include "platform/platform_textfile.h"
#include "platform/sim/sim_pc.h"

// Text files of the simulated PC come from the same folder, open-file table and records as
// its binary files; a handle is 1 + its index in Sim.OpenFiles.

namespace {

// The cause a Windows error code of a failed open becomes, as on the Windows host.
int CauseFromWindowsError(uint32_t error) {
    switch (error) {
        case 2:  // ERROR_FILE_NOT_FOUND
            return FileCauseNotFound;
        case 3:    // ERROR_PATH_NOT_FOUND
        case 123:  // ERROR_INVALID_NAME
        case 161:  // ERROR_BAD_PATHNAME
        case 206:  // ERROR_FILENAME_EXCED_RANGE
            return FileCauseBadPath;
        case 4:  // ERROR_TOO_MANY_OPEN_FILES
            return FileCauseTooManyOpenFiles;
        case 5:  // ERROR_ACCESS_DENIED
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
        case 29:    // ERROR_WRITE_FAULT
        case 30:    // ERROR_READ_FAULT
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

bool SameName(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool ReadHostFile(const char* name, std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return false;
    uint8_t block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0) {
        bytes.insert(bytes.end(), block, block + n);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed;
}

SimOpenFile* OpenText(TextFileHandle file) {
    if (file < 1 || static_cast<size_t>(file) > Sim.OpenFiles.size()) return nullptr;
    SimOpenFile& open = Sim.OpenFiles[static_cast<size_t>(file) - 1];
    return open.Open ? &open : nullptr;
}

}  // namespace

int PlatformOpenTextFile(const char* name, TextFileHandle* file) {
    *file = NoTextFile;
    Sim.FileOpens.push_back(name);
    SimOpenFile opened;
    if (Sim.FilesFromHost) {
        if (!ReadHostFile(name, opened.Bytes)) return FileCauseNotFound;
    } else {
        const SimFile* found = nullptr;
        for (const SimFile& f : Sim.Files) {
            if (SameName(f.Name, name)) found = &f;
        }
        if (found == nullptr) return FileCauseNotFound;
        if (found->OpenError != 0) return CauseFromWindowsError(found->OpenError);
        opened.Bytes = found->Bytes;
        opened.ReadFails = found->ReadFails;
    }
    Sim.OpenFiles.push_back(std::move(opened));
    ++Sim.FilesOpen;
    *file = static_cast<TextFileHandle>(Sim.OpenFiles.size());
    return 0;
}

int PlatformReadTextLine(TextFileHandle file, char* line, size_t capacity) {
    if (capacity > 0) line[0] = '\0';
    SimOpenFile* open = OpenText(file);
    if (open == nullptr) return FileCauseInvalidHandle;
    if (capacity < 2) return FileCauseGeneric;
    if (open->ReadFails) return FileCauseHardwareIo;
    const std::vector<uint8_t>& bytes = open->Bytes;
    if (open->Position >= bytes.size()) return TextFileAtEnd;
    size_t n = 0;
    while (n + 1 < capacity && open->Position < bytes.size()) {
        char c = static_cast<char>(bytes[open->Position++]);
        // Text mode: CR LF is read as LF.
        if (c == '\r' && open->Position < bytes.size() && bytes[open->Position] == '\n') {
            c = '\n';
            ++open->Position;
        }
        line[n++] = c;
        if (c == '\n') break;
    }
    line[n] = '\0';
    return 0;
}

void PlatformCloseTextFile(TextFileHandle file) {
    SimOpenFile* open = OpenText(file);
    if (open == nullptr) return;
    open->Open = false;
    open->Bytes.clear();
    open->Bytes.shrink_to_fit();
    --Sim.FilesOpen;
}
