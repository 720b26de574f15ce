#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "pc/sim_pc.h"
#include "platform/platform_device.h"
#include "platform/platform_textfile.h"

// Text files of the simulated PC come from the same folder, open-file table and records as
// its binary files; a handle is 1 + its index in Sim.OpenFiles.

namespace {

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
        if (!SimReadHostFile(name, opened.Bytes)) return FileCauseNotFound;
    } else {
        SimFile* found = SimFindFile(name);
        if (found == nullptr) return FileCauseNotFound;
        if (found->OpenError != 0) return FileCauseFromWindowsError(found->OpenError);
        SimCountOpen(*found);
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
