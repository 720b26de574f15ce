#include "legacy_scenario.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/run_state.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "legacy_sample.h"
#include "sample_package.h"
#include "update/current_generation.h"
#include "update/legacy_generation.h"

const char* const LegacyImageName = "QD310107.HEX";

namespace {

const char* const ModelCode = "KESTREL QD-310  ";
constexpr int Kind = 7;

int ProbeWithLegacyDefinition() {
    DefineLegacyEntry({LegacyImageName, ModelCode, "DVD-ROM QXD-310 ", "1.07",
                       legacy_sample::CpuType, legacy_sample::ImageLength, Kind});
    return ProbeHost();
}

}  // namespace

const RunProcedures LegacyProcedures = {ProbeWithLegacyDefinition, EnumerateTargets,
                                        UpdateCurrentGeneration, UpdateLegacyGeneration};

void SetUpLegacyDrive(VirtualDrive& drive) {
    drive.Vendor = "KESTREL ";
    drive.Product = "DVD-ROM QXD-310 ";
    drive.Revision = "1.05";
    drive.DateText = "03/11/20";
    drive.Legacy.Enabled = true;
    drive.Legacy.Memory = legacy_sample::MakeImage(Kind, "1.05", 0, ModelCode);
    drive.Legacy.RevisionAt = legacy_sample::RevisionAt;
}

bool WriteLegacyPackage(const std::string& folder) {
    const std::string text =
        legacy_sample::HexText(legacy_sample::MakeImage(Kind, "1.07", 1, ModelCode));
    std::FILE* file = std::fopen((folder + "/" + LegacyImageName).c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}
