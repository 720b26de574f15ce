// MatchDefinition on any INQUIRY data and vendor page, against the built-in entry repeated
// with any kind codes. Input: entry count and kind codes, then 96 INQUIRY bytes and the
// 64-byte vendor page area.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/run_state.h"
#include "base/update_definition.h"
#include "discovery/target_enumeration.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in = MakeFuzzInput(data, size);
    ResetRunState();
    FillUpdateDefinition();
    UpdateDefinition& definition = State.Definition;
    definition.EntryCount = TakeByte(in) % (DefinitionEntryCapacity + 1);
    for (int e = 0; e < DefinitionEntryCapacity; ++e) {
        definition.Entries[e] = definition.Entries[0];
        definition.Entries[e].KindCode = static_cast<int32_t>(TakeU32(in));
    }
    // Exactly 96 bytes, so a read past them is caught.
    std::vector<uint8_t> inquiry(96);
    TakeBytes(in, inquiry.data(), inquiry.size());
    TakeBytes(in, State.FirmwareInfoPage, sizeof State.FirmwareInfoPage);

    const int entry = MatchDefinition(inquiry.data());
    FUZZ_REQUIRE(entry >= -1 && entry < definition.EntryCount);
    if (entry >= 0) {
        // Only the entry's own identity, or the two models any entry takes, match.
        const DefinitionEntry& e = definition.Entries[entry];
        const bool own = std::memcmp(inquiry.data() + 8, e.Vendor, 8) == 0 &&
                         std::memcmp(inquiry.data() + 16, e.Product, 16) == 0;
        const bool any = std::memcmp(inquiry.data() + 8, "KESTREL DVD-RW  QXR-930 ", 24) == 0 ||
                         std::memcmp(inquiry.data() + 8, "KESTREL DVD-RW  QXR-830 ", 24) == 0;
        FUZZ_REQUIRE(own || any);
    }
    return 0;
}
