// The HEX reader of the older generation, main image and patch, on any text, with any
// image size and buffers of any size. Input: flags (bit 0: the patch), image size (4 bytes),
// work and image buffer sizes (4 each), then the file's text.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/run_state.h"
#include "fuzz_input.h"
#include "pc/sim_pc.h"
#include "update/hex_image.h"

namespace {

constexpr uint32_t LargestBuffer = PatchOffset + PatchLength + 0x1000;
const char* const MainName = "QX510107.HEX";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in = MakeFuzzInput(data, size);
    const bool patch = (TakeByte(in) & 1) != 0;
    const int32_t imageSize = static_cast<int32_t>(TakeU32(in));
    const uint32_t workSize = 1 + TakeU32(in) % LargestBuffer;
    const uint32_t imageBufferSize = 1 + TakeU32(in) % LargestBuffer;
    const std::vector<uint8_t> text(data + in.At, data + size);

    ResetSim();
    ResetRunState();
    std::memcpy(State.Selection.ImageFileName, MainName, std::strlen(MainName) + 1);
    SimPutFile(patch ? "G6PATCH.HEX" : MainName, text);
    // Exactly the sizes asked for, so that a write or read past them is caught.
    std::vector<uint8_t> work(workSize, 0x5A);
    std::vector<uint8_t> image(imageBufferSize, 0xA5);
    State.WorkBuffer = work.data();
    State.WorkBufferSize = workSize;
    State.ImageBuffer = image.data();
    State.ImageBufferSize = imageBufferSize;
    State.ImageSize = imageSize;

    const int result = patch ? LoadPatchHex() : LoadHexImage();
    if (result == 0) {
        // What was read is what the transfer will send.
        const uint32_t from = patch ? PatchOffset : 0;
        const uint32_t length = patch ? PatchLength : static_cast<uint32_t>(imageSize);
        FUZZ_REQUIRE(from + length <= workSize && from + length <= imageBufferSize);
        FUZZ_REQUIRE(std::memcmp(image.data() + from, work.data() + from, length) == 0);
    }
    FUZZ_REQUIRE(Sim.FilesOpen == 0);
    State.WorkBuffer = nullptr;
    State.ImageBuffer = nullptr;
    return 0;
}
