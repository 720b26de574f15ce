#include "sample_package.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/run_state.h"
#include "pc/sim_pc.h"

namespace {

constexpr uint32_t HeaderEnd = 0x154;
constexpr uint32_t KernelImageSize = 0x20000;

void PutText(std::vector<uint8_t>& bytes, uint32_t offset, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(i < text.size() ? text[i] : ' ');
    }
}

// "YY/MM/DD" as the partner maker dates its images: "MmmDD 20YY".
std::string PartnerDate(const std::string& date) {
    static const char* const Months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (date.size() < 8 || date[2] != '/' || date[5] != '/') return date;
    const int month = (date[3] - '0') * 10 + (date[4] - '0');
    if (month < 1 || month > 12) return date;
    return std::string(Months[month - 1]) + date.substr(6, 2) + " 20" + date.substr(0, 2);
}

std::string Padded(const std::string& text, size_t width) {
    std::string padded = text.substr(0, std::min(text.size(), width));
    padded.resize(width, ' ');
    return padded;
}

}  // namespace

std::vector<uint8_t> BuildSampleImage(const SampleImage& image) {
    std::vector<uint8_t> bytes(std::max(image.Size, HeaderEnd));
    uint32_t x = image.Seed * 2654435761u + 0x6D2B79F5u;
    for (uint8_t& byte : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<uint8_t>(x >> 24);
    }
    PutText(bytes, 0x60, image.ModelIdentity, 24);
    PutText(bytes, 0x90, image.RevisionText, 5);
    PutText(bytes, 0xB0, image.HardwareRevision, 8);
    PutText(bytes, 0xD0, image.KernelModelName, 8);
    PutText(bytes, 0xF0, image.NormalModelName, 8);
    bytes[0x110] = static_cast<uint8_t>(image.PartKind);
    PutText(bytes, 0x130, image.DateText, 10);
    PutText(bytes, 0x150, image.KernelModeRevision, 4);
    bytes.resize(image.Size);
    return bytes;
}

SamplePackage SamplePackageFor(const VirtualDrive& drive, const std::string& revision,
                               const std::string& date, uint32_t normalSize) {
    SamplePackage package;
    const std::string digits =
        revision.size() >= 4 ? std::string{revision[0], revision[2], revision[3]} : "000";
    package.NormalName = "S0814001." + digits;
    package.KernelName = "S0814000." + digits;
    const bool partner = Padded(drive.Vendor, 8) == "Vantrel ";
    const std::string dateText = partner ? PartnerDate(date) : date;

    SampleImage& normal = package.Normal;
    normal.ModelIdentity = Padded(drive.Vendor, 8) + Padded(drive.Product, 16);
    normal.RevisionText = Padded(revision, 5);
    normal.HardwareRevision = drive.HardwareRevision;
    normal.KernelModelName = "GENERAL ";
    normal.NormalModelName = drive.NormalEdition;
    normal.PartKind = 'N';
    normal.DateText = dateText;
    normal.KernelModeRevision = "    ";
    normal.Size = normalSize;
    normal.Seed = 1;

    SampleImage& kernel = package.Kernel;
    kernel = normal;
    kernel.PartKind = 'K';
    kernel.KernelModeRevision = drive.KernelRevision;
    kernel.Size = KernelImageSize;
    kernel.Seed = 2;
    return package;
}

void PutSamplePackage(const SamplePackage& package) {
    SimPutFile(package.NormalName, BuildSampleImage(package.Normal));
    SimPutFile(package.KernelName, BuildSampleImage(package.Kernel));
}

bool WriteSamplePackage(const SamplePackage& package, const std::string& folder) {
    const std::pair<const std::string*, const SampleImage*> files[] = {
        {&package.NormalName, &package.Normal}, {&package.KernelName, &package.Kernel}};
    for (const auto& file : files) {
        const std::vector<uint8_t> bytes = BuildSampleImage(*file.second);
        const std::string path = folder + "/" + *file.first;
        std::FILE* out = std::fopen(path.c_str(), "wb");
        if (out == nullptr) return false;
        const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        if (std::fclose(out) != 0 || !written) return false;
    }
    return true;
}

namespace {

// Copies a text into a fixed-width field, cut to the field and zero behind it.
template <size_t N>
void PutEntryText(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(std::strlen(text), N));
}

}  // namespace

void DefineLegacyEntry(const LegacyEntry& entry) {
    DefinitionEntry& e = State.Definition.Entries[0];
    std::memset(&e, 0, sizeof e);
    PutEntryText(e.ImageFileName, entry.FileName);
    PutEntryText(e.ModelCode, entry.ModelCode);
    std::memcpy(e.Vendor, "KESTREL ", 8);
    PutEntryText(e.Product, entry.Product);
    PutEntryText(e.RevisionText, entry.RevisionText);
    PutEntryText(e.CpuType, entry.CpuType);
    std::memcpy(e.Extension, "HEX", 4);
    e.Size = static_cast<int32_t>(entry.Size);
    e.KindCode = entry.Kind;
    State.Definition.EntryCount = 1;
}
