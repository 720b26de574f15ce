#include "update/hex_image.h"

#include <cstddef>
#include <cstring>

#include "base/run_state.h"
#include "console/message.h"
#include "platform/platform_textfile.h"

namespace {

constexpr size_t LineCapacity = 1024;  // 1023 characters and the terminator
const char* const PatchFileName = "G6PATCH.HEX";

constexpr uint32_t RecordData = 0x00;
constexpr uint32_t RecordEnd = 0x01;
constexpr uint32_t RecordSegment = 0x02;
constexpr size_t DataAt = 9;  // the first data character, behind ':' and the 8 of the header

enum HexResult {
    HexLoaded = 0,
    HexFileFailed = 1,        // the file-error line is shown
    HexNoStartCharacter = 2,  // message 16 is shown
    HexOutOfRange = 3,        // a data byte would lie outside WorkBuffer
};

bool IsScanSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the field at `at` as "%0<width>x" reads it: white space is skipped, then at most
// `width` hexadecimal digits are taken; no digit gives 0. Never looks past `length`.
// Returns the position behind what was taken.
size_t ScanHex(const char* line, size_t length, size_t at, int width, uint32_t* value) {
    *value = 0;
    while (at < length && IsScanSpace(line[at])) ++at;
    for (int taken = 0; taken < width && at < length; ++taken, ++at) {
        const int digit = HexValue(line[at]);
        if (digit < 0) break;
        *value = *value * 16 + static_cast<uint32_t>(digit);
    }
    return at;
}

// Reads the records of `name` into WorkBuffer until the end of the file, an end record, or
// ImageSize data bytes.
HexResult ReadHexFile(const char* name) {
    TextFileHandle file;
    const int openCause = PlatformOpenTextFile(name, &file);
    if (openCause != 0) {
        ReportFileException(openCause);
        return HexFileFailed;
    }

    HexResult result = HexLoaded;
    char line[LineCapacity];
    uint32_t segmentBase = 0;
    uint64_t dataRead = 0;
    const uint64_t amount = State.ImageSize > 0 ? static_cast<uint64_t>(State.ImageSize) : 0;
    for (;;) {
        const int readCause = PlatformReadTextLine(file, line, sizeof line);
        if (readCause == TextFileAtEnd) break;
        if (readCause != 0) {
            ReportFileException(readCause);
            result = HexFileFailed;
            break;
        }
        if (line[0] != ':') {
            ShowMessage(16, StyleReport);
            result = HexNoStartCharacter;
            break;
        }
        const size_t length = std::strlen(line);
        uint32_t count;
        uint32_t address;
        uint32_t type;
        size_t at = ScanHex(line, length, 1, 2, &count);
        at = ScanHex(line, length, at, 4, &address);
        ScanHex(line, length, at, 2, &type);

        if (type == RecordEnd) break;
        if (type == RecordData) {
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t byte;
                ScanHex(line, length, DataAt + 2 * i, 2, &byte);
                const uint64_t target = uint64_t{segmentBase} + address + i;
                if (target >= State.WorkBufferSize) {
                    result = HexOutOfRange;
                    break;
                }
                State.WorkBuffer[target] = static_cast<uint8_t>(byte);
                ++dataRead;
            }
            if (result != HexLoaded) break;
        } else if (type == RecordSegment) {
            uint32_t segment;
            ScanHex(line, length, DataAt, 4, &segment);
            segmentBase = segment * 16;
        }
        if (dataRead >= amount) break;
    }
    PlatformCloseTextFile(file);
    return result;
}

// The image must fit WorkBuffer, and ImageBuffer with the 16 bytes behind it.
bool BuffersReady() {
    if (State.WorkBuffer == nullptr || State.ImageBuffer == nullptr) return false;
    if (State.ImageSize <= 0) return false;
    const auto size = static_cast<uint32_t>(State.ImageSize);
    return size <= State.WorkBufferSize && size + 16 <= State.ImageBufferSize;
}

}  // namespace

int LoadHexImage() {
    if (!BuffersReady()) return HexFileFailed;
    const auto size = static_cast<size_t>(State.ImageSize);
    std::memset(State.WorkBuffer, 0xFF, size);

    char name[sizeof State.Selection.ImageFileName + 1];
    std::memcpy(name, State.Selection.ImageFileName, sizeof State.Selection.ImageFileName);
    name[sizeof name - 1] = '\0';

    const HexResult result = ReadHexFile(name);
    if (result != HexLoaded) return result;
    std::memcpy(State.ImageBuffer, State.WorkBuffer, size);
    ShowMessage(17, StyleReport);
    return 0;
}

int LoadPatchHex() {
    if (!BuffersReady()) return HexFileFailed;
    if (State.WorkBufferSize < PatchOffset + PatchLength ||
        State.ImageBufferSize < PatchOffset + PatchLength) {
        return HexFileFailed;
    }
    std::memset(State.WorkBuffer, 0xFF, static_cast<size_t>(State.ImageSize));
    // The patch window is image too: what the patch file does not set is 0xFF, not whatever
    // an earlier load left there.
    std::memset(State.WorkBuffer + PatchOffset, 0xFF, PatchLength);

    const HexResult result = ReadHexFile(PatchFileName);
    if (result != HexLoaded) return result;
    std::memcpy(State.ImageBuffer + PatchOffset, State.WorkBuffer + PatchOffset, PatchLength);
    ShowMessage(19, StyleReport);
    return 0;
}
