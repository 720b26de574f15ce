#include "legacy_scenario.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "base/run_state.h"
#include "sample_package.h"
#include "update/current_generation.h"
#include "update/legacy_generation.h"

const char* const LegacyImageName = "QD310107.HEX";

namespace {

constexpr uint32_t ImageLength = 0x20000;
constexpr uint32_t ModelAt = 0x1000;  // a kind-7 model keeps its model code and CPU type here
constexpr uint32_t RevisionAt = 0x1030;
const char* const ModelCode = "KESTREL QD-310  ";
const char* const CpuType = "SH7034";
constexpr int Kind = 7;

std::vector<uint8_t> LegacyImage(const char* revision, uint32_t seed) {
    std::vector<uint8_t> image(ImageLength);
    for (uint32_t i = 0; i < ImageLength; ++i) {
        image[i] = static_cast<uint8_t>((i * 11 + (i >> 10) + seed * 29) & 0xFF);
    }
    std::memcpy(&image[ModelAt], ModelCode, 16);
    std::memset(&image[ModelAt + 16], 0, 16);
    std::memcpy(&image[ModelAt + 16], CpuType, std::strlen(CpuType));
    std::memcpy(&image[RevisionAt], revision, 4);
    return image;
}

// 16-byte data records, a segment record at each 64 KiB, the end record.
bool WriteHex(const std::vector<uint8_t>& image, const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    for (uint32_t at = 0; at < image.size(); at += 16) {
        if ((at & 0xFFFF) == 0) {
            const uint32_t segment = (at >> 4) & 0xF000;
            std::fprintf(file, ":02000002%04X%02X\r\n", segment,
                         (0x100 - ((4 + (segment >> 8)) & 0xFF)) & 0xFF);
        }
        uint32_t sum = 16 + ((at >> 8) & 0xFF) + (at & 0xFF);
        std::fprintf(file, ":10%04X00", at & 0xFFFF);
        for (uint32_t i = 0; i < 16; ++i) {
            std::fprintf(file, "%02X", image[at + i]);
            sum += image[at + i];
        }
        std::fprintf(file, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    std::fputs(":00000001FF\r\n", file);
    return std::fclose(file) == 0;
}

int ProbeWithLegacyDefinition() {
    DefineLegacyEntry(
        {LegacyImageName, ModelCode, "DVD-ROM QXD-310 ", "1.07", CpuType, ImageLength, Kind});
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
    drive.Legacy.Memory = LegacyImage("1.05", 0);
    drive.Legacy.RevisionAt = RevisionAt;
}

bool WriteLegacyPackage(const std::string& folder) {
    return WriteHex(LegacyImage("1.07", 1), folder + "/" + LegacyImageName);
}
