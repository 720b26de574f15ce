#pragma once
#include <cstdint>

// The built-in description of the update package: which drives it is for, its image files,
// the procedure to use and the values the drive expects.

constexpr int DefinitionEntryCapacity = 8;

struct DefinitionEntry {
    char ImageFileName[128];  // NUL-terminated; the kernel image swaps index 7 for '0'
    char ModelCode[64];       // legacy only
    char Edition[16];         // first 8 used, blank-padded
    char Vendor[8];           // blank-padded, as INQUIRY reports it
    char Product[16];         // blank-padded, as INQUIRY reports it
    char RevisionText[4];     // legacy only: "d.dd"
    char Reserved1[10];
    int32_t PartsFlag;  // 0: kernel then normal part; else normal part only
    char CpuType[8];    // legacy only
    char Reserved2[12];
    char Extension[4];
    int32_t Size;      // expected image size; seeds ImageSize
    int32_t KindCode;  // bits 12..15 select the procedure
    int32_t OneWayWarning;
    uint32_t FirmwareDate;     // oldest acceptable image date, BCD 0xCCYYMMDD
    uint32_t ModeSwitchValue;  // goes into the update-mode parameter block
};

struct UpdateDefinition {
    DefinitionEntry Entries[DefinitionEntryCapacity];
    int32_t EntryCount;
};

// The copy of the entry that matched the selected target; some copies are wider than the
// entry's fields, and the rest of such a copy stays zero.
struct CurrentSelection {
    uint8_t Index;
    char ImageFileName[128];
    char ModelCode[128];
    char Vendor[16];
    char Product[16];
    char RevisionText[4];
    char Reserved1[10];
    char CpuType[16];
    char Reserved2[12];
    char Extension[4];
    int32_t Size;
    int32_t KindCode;
    int32_t OneWayWarning;
    int32_t PartsFlag;
    uint32_t ModeSwitchValue;
};

// Fills the built-in table and clears the selection; returns the number of entries (1).
int FillUpdateDefinition();

// Copies entry `index` into the selection, with CurrentKind and ImageSize.
void SelectDefinitionEntry(int index);
