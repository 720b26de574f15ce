// ShowMessage with any code and style, in both languages, with any run values behind the
// placeholders. Input: code (4 bytes), style (4), language and image flags, then the values.
#include <cstdint>
#include <vector>

#include "base/run_state.h"
#include "console/message.h"
#include "fuzz_input.h"
#include "pc/sim_pc.h"
#include "update/firmware_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in = MakeFuzzInput(data, size);
    const uint32_t code = TakeU32(in);
    const int32_t style = static_cast<int32_t>(TakeU32(in));
    const uint8_t flags = TakeByte(in);

    ResetSim();
    ResetRunState();
    State.OemCodePage = (flags & 1) != 0 ? CodePageJapanese : 437;
    State.TargetCount = static_cast<int32_t>(TakeU32(in));
    State.SelectedTarget = static_cast<int32_t>(TakeU32(in));
    State.SuccessCount = static_cast<int32_t>(TakeU32(in));
    TakeBytes(in, State.InquiryData, sizeof State.InquiryData);
    TakeBytes(in, reinterpret_cast<uint8_t*>(State.NewRevisionText), sizeof State.NewRevisionText);
    TakeBytes(in, reinterpret_cast<uint8_t*>(State.Selection.ImageFileName),
              sizeof State.Selection.ImageFileName);
    // The image header, in a buffer no larger than the header, or no image at all.
    std::vector<uint8_t> header(ImageHeader::Size);
    TakeBytes(in, header.data(), header.size());
    if ((flags & 2) != 0) {
        State.ImageBuffer = header.data();
        State.ImageBufferSize = static_cast<uint32_t>(header.size());
    }
    Sim.BoxAnswers.push_back(TakeByte(in));

    const int answer = ShowMessage(code, style);
    const bool boxed = style == StyleOkCancel || style == StyleYesNo || style == StyleError ||
                       style == StyleInformation || style == StyleWarning;
    FUZZ_REQUIRE(Sim.Boxes.size() == (boxed ? 1u : 0u));
    if (!boxed) FUZZ_REQUIRE(answer == 0);
    // Questions stay off the console; everything else is printed, once.
    const bool question = style == StyleOkCancel || style == StyleYesNo;
    FUZZ_REQUIRE(Sim.Console.empty() == question);
    if (boxed && !question) FUZZ_REQUIRE(Sim.Console == Sim.Boxes[0].Text);
    State.ImageBuffer = nullptr;
    return 0;
}
