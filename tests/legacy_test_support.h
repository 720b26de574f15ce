#pragma once
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device_test_support.h"
#include "platform/platform_memory.h"
#include "run/run_state.h"
#include "update/legacy_models.h"

// Images, HEX files and definition entries of the older drive generation, for the tests.

namespace legacy_test {

constexpr uint32_t ImageLength = 0x20000;
constexpr uint32_t RevisionAt = 0x1030;  // where the test images carry their revision text

const char* const ModelCode = "KESTREL QX-510  ";  // 16 characters
const char* const CpuType = "SH7034";              // the entry's 8 bytes: 6 and two NULs

// Where each kind keeps its model code and CPU type in an image (and in the drive's memory).
struct KindPlaces {
    uint32_t Model;
    uint32_t Cpu;
};
inline KindPlaces PlacesOf(int kind) {
    switch (kind) {
        case 8:
            return {0x1010, 0x1020};
        case 10:
            return {0x1C010, 0x1C020};
        case 9:
        case 11:
            return {0x1F000, 0x1F010};
        default:
            return {0x1000, 0x1010};
    }
}

// An image of `kind` whose bytes depend on `seed`, with the model information where the kind
// keeps it and the revision text at RevisionAt.
inline std::vector<uint8_t> MakeImage(int kind, const char* revision, uint32_t seed) {
    std::vector<uint8_t> image(ImageLength);
    for (uint32_t i = 0; i < ImageLength; ++i) {
        image[i] = static_cast<uint8_t>((i * 7 + (i >> 9) + seed * 13) & 0xFF);
    }
    const KindPlaces places = PlacesOf(kind);
    if (kind == 9 || kind == 11) {
        std::memcpy(&image[places.Model],
                    kind == 9 ? LegacySignatureModel9 : LegacySignatureModel11, 16);
        std::memcpy(&image[places.Cpu], LegacySignatureCpu, 16);
    } else {
        std::memcpy(&image[places.Model], ModelCode, 16);
        std::memset(&image[places.Cpu], 0, 16);
        std::memcpy(&image[places.Cpu], CpuType, std::strlen(CpuType));
    }
    std::memcpy(&image[RevisionAt], revision, 4);
    return image;
}

// The image as an Intel HEX text: 16-byte records, a segment record every 64 KiB, the end.
inline std::string HexText(const std::vector<uint8_t>& image, uint32_t base = 0) {
    std::string text;
    char field[64];
    for (uint32_t at = 0; at < image.size(); at += 16) {
        const uint32_t address = base + at;
        if (at == 0 || (address & 0xFFFF) == 0) {
            const uint32_t segment = (address >> 4) & 0xF000;
            std::snprintf(field, sizeof field, ":02000002%04X%02X\r\n", segment,
                          (0x100 - ((4 + (segment >> 8) + (segment & 0xFF)) & 0xFF)) & 0xFF);
            text += field;
        }
        const uint32_t count = image.size() - at < 16 ? image.size() - at : 16;
        std::snprintf(field, sizeof field, ":%02X%04X00", count, address & 0xFFFF);
        text += field;
        uint32_t sum = count + ((address >> 8) & 0xFF) + (address & 0xFF);
        for (uint32_t i = 0; i < count; ++i) {
            std::snprintf(field, sizeof field, "%02X", image[at + i]);
            text += field;
            sum += image[at + i];
        }
        std::snprintf(field, sizeof field, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += field;
    }
    return text + ":00000001FF\r\n";
}

template <size_t N>
void PutField(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::strlen(text) < N ? std::strlen(text) : N);
}

// Entry 0 of the definition: a legacy model of `kind` for "KESTREL DVD-RW  QXR-510 ".
inline void DefineEntry(int kind, const char* revision, const char* fileName = "QX510107.HEX",
                        const char* product = "DVD-RW  QXR-510 ") {
    DefinitionEntry& e = State.Definition.Entries[0];
    std::memset(&e, 0, sizeof e);
    PutField(e.ImageFileName, fileName);
    PutField(e.ModelCode, ModelCode);
    std::memcpy(e.Vendor, "KESTREL ", 8);
    std::memcpy(e.Product, product, 16);
    std::memcpy(e.RevisionText, revision, 4);
    PutField(e.CpuType, CpuType);
    std::memcpy(e.Extension, "HEX", 4);
    e.Size = static_cast<int32_t>(ImageLength);
    e.KindCode = kind;
    State.Definition.EntryCount = 1;
}

// True when the texts appear on the console in this order.
inline bool InOrder(const std::vector<std::string>& texts) {
    size_t at = 0;
    for (const std::string& text : texts) {
        at = Sim.Console.find(text, at);
        if (at == std::string::npos) return false;
        at += text.size();
    }
    return true;
}

// A "KESTREL DVD-RW  QXR-510 " drive of `kind` running `revision`, whose memory holds the
// image of that revision.
inline VirtualDrive& MakeLegacyDrive(VirtualDrive& drive, int kind, const char* revision) {
    drive.Product = "DVD-RW  QXR-510 ";
    drive.Revision = revision;
    drive.Legacy.Enabled = true;
    drive.Legacy.Memory = MakeImage(kind, revision, 0);
    drive.Legacy.RevisionAt = RevisionAt;
    return drive;
}

// A simulated PC with the run's blocks as the probe leaves them on the transport, and one
// legacy drive listed as the target.
class LegacyDriveTest : public DeviceTest {
protected:
    // As after Yes to updating every drive: no per-drive question unless a case asks for it.
    void SetUp() override {
        DeviceTest::SetUp();
        State.UpdateAll = 1;
    }
    void TearDown() override {
        PlatformFreeBlock(State.ImageBuffer);
        DeviceTest::TearDown();
    }

    // A legacy drive listed as the target, the run's image block allocated for its transport.
    VirtualDrive& AddDrive(bool aspi, int kind, const char* revision = "1.05") {
        VirtualDrive& drive = aspi ? AddAspiTarget(0, 1) : AddSptiTarget('E');
        const uint32_t imageBlock = aspi ? 0x200000 : 0x800000;
        if (State.ImageBuffer == nullptr) {
            State.ImageBuffer = PlatformAllocateBlock(imageBlock);
            State.ImageBufferSize = imageBlock;
        }
        return MakeLegacyDrive(drive, kind, revision);
    }

    // The entry of `kind` for 1.07 selected, and its HEX file in the current directory.
    std::vector<uint8_t> Package(int kind, const char* revision = "1.07") {
        DefineEntry(kind, revision);
        SelectDefinitionEntry(0);
        const std::vector<uint8_t> image = MakeImage(kind, revision, 1);
        const std::string text = HexText(image);
        SimPutFile("QX510107.HEX", std::vector<uint8_t>(text.begin(), text.end()));
        return image;
    }

    // The commands of the trace with this opcode and, for the buffer commands, mode 1 and
    // this buffer id.
    static std::vector<SimCommandRecord> Commands(uint8_t opcode, int bufferId = -1) {
        std::vector<SimCommandRecord> found;
        for (const SimCommandRecord& r : Sim.Trace) {
            if (r.Cdb[0] != opcode) continue;
            if (bufferId >= 0 && (r.Cdb[1] != 1 || r.Cdb[2] != bufferId)) continue;
            found.push_back(r);
        }
        return found;
    }
};

}  // namespace legacy_test
