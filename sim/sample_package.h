#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "virtual_drive.h"

// Firmware image files made up for the simulated PC: the header fields the update program
// reads, at their offsets, and firmware bytes of a fixed pseudo-random pattern, so a lost or
// misplaced chunk shows in the drive's flash. Texts are put blank padded (or cut) to their
// field width. The offsets are this file's own, not the program's, so that a wrong offset on
// either side shows as a refused or misread image.

struct SampleImage {
    std::string ModelIdentity = "KESTREL DVD-RW  QXR-930D";  // 24 at 0x60
    std::string RevisionText = "1.22 ";                      // 5 at 0x90
    std::string HardwareRevision = "SAT 0001";               // 8 at 0xB0
    std::string KernelModelName = "GENERAL ";                // 8 at 0xD0
    std::string NormalModelName = "GENERAL ";                // 8 at 0xF0
    char PartKind = 'N';                                     // at 0x110
    std::string DateText = "08/07/25";                       // 10 at 0x130
    std::string KernelModeRevision = "0000";                 // 4 at 0x150
    uint32_t Size = 0x200000;  // whole file; a size below the header cuts the header off
    uint32_t Seed = 1;         // content pattern
};

std::vector<uint8_t> BuildSampleImage(const SampleImage& image);

// A package of a normal image and a kernel image, named as the built-in definition names them.
struct SamplePackage {
    std::string NormalName = "S0814001.122";
    std::string KernelName = "S0814000.122";
    SampleImage Normal;
    SampleImage Kernel;
};

// The package that suits `drive`: its model identity (normal-mode vendor and product), its
// hardware revision and editions, at `revision` ("d.dd") dated `date` ("YY/MM/DD", or the
// partner's "MmmDD CCYY" for a "Vantrel " drive), with a normal image of `normalSize` bytes
// and a 0x20000-byte kernel image that a drive on it reports as its KernelRevision, dated
// `date` as well. The file names follow the revision: S0814001.<d><dd>, S0814000.<d><dd>.
SamplePackage SamplePackageFor(const VirtualDrive& drive, const std::string& revision = "1.22",
                               const std::string& date = "08/07/25",
                               uint32_t normalSize = 0x200000);

// Puts both images into the simulated PC's current directory (Sim.Files).
void PutSamplePackage(const SamplePackage& package);

// Writes both images into a folder of the host; false when a file could not be written.
bool WriteSamplePackage(const SamplePackage& package, const std::string& folder);

// An older-generation package's definition entry, put in place of the built-in one as entry 0
// of the run's table (the only entry).
struct LegacyEntry {
    const char* FileName;
    const char* ModelCode;     // 16 characters
    const char* Product;       // 16 characters
    const char* RevisionText;  // "d.dd"
    const char* CpuType;
    uint32_t Size;
    int Kind;
};
void DefineLegacyEntry(const LegacyEntry& entry);
