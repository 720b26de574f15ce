#include "base/update_definition.h"

#include <cstdio>
#include <cstring>

#include "base/run_state.h"

namespace {

// Copies a fixed-width text field without its terminator.
template <size_t N>
void SetField(char (&field)[N], const char* text) {
    std::memcpy(field, text, std::strlen(text) < N ? std::strlen(text) : N);
}

}  // namespace

int FillUpdateDefinition() {
    std::memset(&State.Definition, 0, sizeof State.Definition);
    std::memset(&State.Selection, 0, sizeof State.Selection);
    State.CurrentKind = 0;
    State.ImageSize = 0;

    State.NewRevision = 0x122;

    DefinitionEntry& e = State.Definition.Entries[0];
    std::snprintf(e.ImageFileName, sizeof e.ImageFileName, "S0814001.%03x",
                  static_cast<unsigned>(State.NewRevision));
    SetField(e.Edition, "GENERAL ");
    SetField(e.Vendor, "KESTREL ");
    SetField(e.Product, "DVD-RW  QXR-930D");
    e.PartsFlag = 0;
    std::memcpy(e.Extension, "BIN", 4);
    e.Size = 0x200000;
    e.KindCode = 0x100D;
    e.OneWayWarning = 0;
    e.FirmwareDate = 0x20080725;
    e.ModeSwitchValue = 0x3C6A1D27;

    State.Definition.EntryCount = 1;
    return 1;
}

void SelectDefinitionEntry(int index) {
    if (index < 0 || index >= DefinitionEntryCapacity) return;
    const DefinitionEntry& e = State.Definition.Entries[index];
    CurrentSelection& s = State.Selection;
    std::memset(&s, 0, sizeof s);
    s.Index = static_cast<uint8_t>(index);
    std::memcpy(s.ImageFileName, e.ImageFileName, sizeof e.ImageFileName);
    std::memcpy(s.ModelCode, e.ModelCode, sizeof e.ModelCode);
    std::memcpy(s.Vendor, e.Vendor, sizeof e.Vendor);
    std::memcpy(s.Product, e.Product, sizeof e.Product);
    std::memcpy(s.RevisionText, e.RevisionText, sizeof e.RevisionText);
    std::memcpy(s.Reserved1, e.Reserved1, sizeof e.Reserved1);
    std::memcpy(s.CpuType, e.CpuType, sizeof e.CpuType);
    std::memcpy(s.Reserved2, e.Reserved2, sizeof e.Reserved2);
    std::memcpy(s.Extension, e.Extension, sizeof e.Extension);
    s.Size = e.Size;
    s.KindCode = e.KindCode;
    s.OneWayWarning = e.OneWayWarning;
    s.PartsFlag = e.PartsFlag;
    s.ModeSwitchValue = e.ModeSwitchValue;
    State.CurrentKind = e.KindCode;
    State.ImageSize = e.Size;
}
