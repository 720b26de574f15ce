// LoadFirmwareImage on any file contents, as the normal and as the kernel part, into an image
// buffer of any size. Input: file size (4 bytes), buffer size (4), fill byte, then the first
// bytes of the file; the rest of the file is the fill byte, so the kernel part's 128 KiB can
// be reached with a short input.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/run_state.h"
#include "base/update_definition.h"
#include "fuzz_input.h"
#include "pc/sim_pc.h"
#include "update/firmware_image.h"

namespace {

constexpr uint32_t LargestFile = 0x30000;
constexpr uint32_t LargestBuffer = 0x30000;

void LoadAs(ImagePart part, std::vector<uint8_t>& buffer) {
    State.ImageBuffer = buffer.data();
    State.ImageBufferSize = static_cast<uint32_t>(buffer.size());
    const int32_t sizeBefore = State.ImageSize;
    const int result = LoadFirmwareImage(part);
    FUZZ_REQUIRE(result == 0 || result == -1);
    if (part == ImagePartKernel) FUZZ_REQUIRE(State.ImageSize == sizeBefore);
    if (result != 0) return;
    // What a loaded image promises the update procedure.
    const uint8_t* image = buffer.data();
    FUZZ_REQUIRE(std::memcmp(image + ImageHeader::KernelModelName, "GENERAL ", 8) == 0);
    const uint8_t kind = image[ImageHeader::PartKind];
    if (part == ImagePartKernel) {
        FUZZ_REQUIRE(kind == 'K');
    } else {
        FUZZ_REQUIRE(kind == 'N' || kind == 'P');
        FUZZ_REQUIRE(State.ImageSize >= static_cast<int32_t>(ImageHeader::Size));
        FUZZ_REQUIRE(static_cast<uint32_t>(State.ImageSize) <= State.ImageBufferSize);
        FUZZ_REQUIRE(State.ImageDate >= State.Definition.Entries[0].FirmwareDate);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in = MakeFuzzInput(data, size);
    const uint32_t fileSize = TakeU32(in) % (LargestFile + 1);
    const uint32_t bufferSize = 1 + TakeU32(in) % LargestBuffer;
    const uint8_t fill = TakeByte(in);
    std::vector<uint8_t> file(fileSize, fill);
    const size_t head = Remaining(in) < fileSize ? Remaining(in) : fileSize;
    TakeBytes(in, file.data(), head);

    ResetSim();
    ResetRunState();
    FillUpdateDefinition();
    SelectDefinitionEntry(0);
    char normal[128], kernel[128];
    ImageFileNameFor(ImagePartNormal, normal);
    ImageFileNameFor(ImagePartKernel, kernel);
    SimPutFile(normal, file);
    SimPutFile(kernel, file);

    // Exactly the size asked for, so a read past it is caught; left as the last load left it.
    std::vector<uint8_t> buffer(bufferSize, 0xA5);
    LoadAs(ImagePartNormal, buffer);
    LoadAs(ImagePartKernel, buffer);
    State.ImageBuffer = nullptr;
    return 0;
}
