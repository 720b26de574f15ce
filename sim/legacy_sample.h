#pragma once
// Sample packages of the older drive generation: images, their Intel HEX files and a drive
// whose memory holds one, for the demo, the tests and the fault campaign alike.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "update/legacy_models.h"
#include "virtual_drive.h"

namespace legacy_sample {

constexpr uint32_t ImageLength = 0x20000;
constexpr uint32_t RevisionAt = 0x1030;
const char* const ModelCode = "KESTREL QX-510  ";
const char* const CpuType = "SH7034";

// Where each kind keeps its model code and CPU type.
struct KindPlaces {
    uint32_t Model;
    uint32_t Cpu;
};
inline KindPlaces PlacesOf(int kind) {
    if (kind == 8) return {0x1010, 0x1020};
    if (kind == 10) return {0x1C010, 0x1C020};
    if (kind == 9 || kind == 11) return {0x1F000, 0x1F010};
    return {0x1000, 0x1010};
}

// An image whose bytes follow `seed`, with the model code (`modelCode`, or the kind's signature)
// and CPU type where `kind` keeps them and `revision` at RevisionAt.
inline std::vector<uint8_t> MakeImage(int kind, const char* revision, uint32_t seed,
                                      const char* modelCode = ModelCode) {
    std::vector<uint8_t> image(ImageLength);
    for (uint32_t i = 0; i < ImageLength; ++i) {
        image[i] = static_cast<uint8_t>((i * 7 + (i >> 9) + seed * 13) & 0xFF);
    }
    const KindPlaces at = PlacesOf(kind);
    const bool signed_ = kind == 9 || kind == 11;
    std::memset(&image[at.Cpu], 0, 16);
    if (signed_) {
        std::memcpy(&image[at.Model], kind == 9 ? LegacySignatureModel9 : LegacySignatureModel11,
                    16);
        std::memcpy(&image[at.Cpu], LegacySignatureCpu, 16);
    } else {
        std::memcpy(&image[at.Model], modelCode, 16);
        std::memcpy(&image[at.Cpu], CpuType, std::strlen(CpuType));
    }
    std::memcpy(&image[RevisionAt], revision, 4);
    return image;
}

// One Intel HEX record with its checksum (the reader ignores it, files carry it anyway).
inline std::string Record(uint32_t address, uint32_t type, const std::vector<uint8_t>& data) {
    char text[16];
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                  address & 0xFFFF, type);
    std::string line = text;
    uint32_t sum = static_cast<uint32_t>(data.size()) + (address >> 8) + address + type;
    for (uint8_t byte : data) {
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
        sum += byte;
    }
    std::snprintf(text, sizeof text, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + text;
}
inline std::string Segment(uint32_t segment) {
    return Record(0, 2, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)});
}
const std::string End = ":00000001FF\r\n";

// The image as Intel HEX: 16-byte records, a segment record every 64 KiB, the end record.
inline std::string HexText(const std::vector<uint8_t>& image, uint32_t base = 0) {
    std::string text;
    for (uint32_t at = 0; at < image.size(); at += 16) {
        const uint32_t address = base + at;
        if (at == 0 || (address & 0xFFFF) == 0) text += Segment((address >> 4) & 0xF000);
        const size_t count = image.size() - at < 16 ? image.size() - at : 16;
        text += Record(address & 0xFFFF, 0, {image.begin() + at, image.begin() + at + count});
    }
    return text + End;
}

// A "KESTREL DVD-RW  QXR-510 " drive of `kind` at `revision`, its memory holding that image.
inline VirtualDrive& MakeLegacyDrive(VirtualDrive& drive, int kind, const char* revision) {
    drive.Product = "DVD-RW  QXR-510 ";
    drive.Revision = revision;
    drive.Legacy.Enabled = true;
    drive.Legacy.Memory = MakeImage(kind, revision, 0);
    drive.Legacy.RevisionAt = RevisionAt;
    return drive;
}

}  // namespace legacy_sample
