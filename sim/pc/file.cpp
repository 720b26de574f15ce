#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

#include "pc/sim_pc.h"
#include "platform/platform_device.h"
#include "platform/platform_file.h"

namespace {

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

}  // namespace

SimFile* SimFindFile(const char* name) {
    for (SimFile& file : Sim.Files) {
        if (SameName(file.Name, name)) return &file;
    }
    return nullptr;
}

// The demo keeps its package in a real folder: the whole file is taken at the open. As on
// the real PC, the open never waits and only a regular file is taken (a FIFO is missing).
bool SimReadHostFile(const char* name, std::vector<uint8_t>& bytes) {
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return false;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
        return false;
    }
    uint8_t block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0) {
        bytes.insert(bytes.end(), block, block + n);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed;
}

namespace {

SimOpenFile* OpenFile(FileHandle handle) {
    if (handle < 1 || static_cast<size_t>(handle) > Sim.OpenFiles.size()) return nullptr;
    SimOpenFile& file = Sim.OpenFiles[static_cast<size_t>(handle) - 1];
    return file.Open ? &file : nullptr;
}

}  // namespace

SimFile& SimPutFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    SimFile* file = SimFindFile(name.c_str());
    if (file == nullptr) {
        Sim.Files.push_back(SimFile());
        file = &Sim.Files.back();
    }
    *file = SimFile();
    file->Name = name;
    file->Bytes = bytes;
    return *file;
}

void SimCountOpen(SimFile& file) {
    ++file.Opens;
    if (file.ReplacedAtOpen != 0 && file.Opens >= file.ReplacedAtOpen) {
        file.Bytes = file.ReplacedBytes;
        file.ReplacedAtOpen = 0;
    }
}

FileHandle PlatformOpenFileForReading(const char* name, uint32_t* error) {
    *error = ERROR_SUCCESS;
    Sim.FileOpens.push_back(name);
    SimOpenFile opened;
    if (Sim.FilesFromHost) {
        if (!SimReadHostFile(name, opened.Bytes)) {
            *error = ERROR_FILE_NOT_FOUND;
            return InvalidFileHandle;
        }
    } else {
        SimFile* file = SimFindFile(name);
        if (file == nullptr) {
            *error = ERROR_FILE_NOT_FOUND;
            return InvalidFileHandle;
        }
        if (file->OpenError != 0) {
            *error = file->OpenError;
            return InvalidFileHandle;
        }
        SimCountOpen(*file);
        opened.Bytes = file->Bytes;
        opened.ReadFails = file->ReadFails;
    }
    Sim.OpenFiles.push_back(std::move(opened));
    ++Sim.FilesOpen;
    return static_cast<FileHandle>(Sim.OpenFiles.size());
}

uint32_t PlatformGetFileSize(FileHandle handle, uint32_t* sizeHigh) {
    *sizeHigh = 0;
    const SimOpenFile* file = OpenFile(handle);
    if (file == nullptr) return INVALID_FILE_SIZE;
    return static_cast<uint32_t>(file->Bytes.size());
}

bool PlatformReadFile(FileHandle handle, uint8_t* buffer, uint32_t toRead, uint32_t* bytesRead) {
    *bytesRead = 0;
    SimOpenFile* file = OpenFile(handle);
    if (file == nullptr || file->ReadFails) return false;
    const size_t left = file->Bytes.size() - file->Position;
    const uint32_t n = left < toRead ? static_cast<uint32_t>(left) : toRead;
    if (n > 0) std::memcpy(buffer, file->Bytes.data() + file->Position, n);
    file->Position += n;
    *bytesRead = n;
    return true;
}

void PlatformCloseFile(FileHandle handle) {
    SimOpenFile* file = OpenFile(handle);
    if (file == nullptr) return;
    file->Open = false;
    file->Bytes.clear();
    file->Bytes.shrink_to_fit();
    --Sim.FilesOpen;
}
