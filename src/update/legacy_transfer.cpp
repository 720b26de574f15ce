#include <cstdio>
#include <cstring>

#include "base/run_state.h"
#include "base/timing.h"
#include "console/message.h"
#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "platform/platform_clock.h"
#include "update/legacy_generation.h"
#include "update/legacy_models.h"

namespace {

constexpr uint32_t ChunkLength = 0x8000;
constexpr uint32_t TailBack = 0x1000;             // the tail command starts this far before the end
constexpr uint32_t TailLength = TailBack + 0x10;  // ... and carries the 16 bytes behind the image
constexpr uint32_t BehindImage = 0x10;
constexpr size_t MarkerLength = 4;

constexpr uint32_t ShortFlashMs = 10000;  // kinds 9 and 11
constexpr uint32_t LongFlashMs = 30000;
constexpr uint32_t AspiCountdownSeconds = 30;
constexpr uint32_t CountdownStepMs = 1000;

constexpr int PollRunning = 1;

bool HasShortFlash() {
    return State.CurrentKind == LegacyKind9 || State.CurrentKind == LegacyKind11;
}

// The marker behind the image names the host path it came by; the patch drive always gets
// "WIN " unless the Intel driver is in the way.
const char* TransferMarker() {
    if (State.IntelAtaDriver != 0) return "WIN2";
    if (State.NeedsG6Patch != 0) return "WIN ";
    return State.UsesAspi != 0 ? "WIN2" : "WIN ";
}

void PrintRemaining(uint32_t totalSeconds, uint32_t elapsedSeconds) {
    // The command itself may have used up more than the whole count-down.
    const int remaining =
        elapsedSeconds >= totalSeconds ? 0 : static_cast<int>(totalSeconds - elapsedSeconds);
    std::snprintf(State.Text, sizeof State.Text, "\rRemaining time is %02dsec", remaining);
    ConsolePrint(State.Text);
}

uint32_t ElapsedSeconds() {
    return (ReadPreciseTimer() - State.TimerStart) / 1000;
}

// ASPI: the flash command runs on in the transport while the count-down runs its full
// length; its completion is only polled.
int RunAspiFlash() {
    State.CommandTimeout = HasShortFlash() ? ShortFlashMs : 0;
    State.TimedTransferActive = 1;
    StartPreciseTimer();
    int result = LegacyStartFlash();
    ConsolePrint("\n");
    bool seenComplete = false;
    uint32_t elapsed;
    do {
        if (!seenComplete) {
            const int poll = PollPendingCommand();
            if (poll != PollRunning) {
                seenComplete = true;
                if (result == 0) result = poll;
            }
        }
        PlatformSleep(CountdownStepMs);
        elapsed = ElapsedSeconds();
        PrintRemaining(AspiCountdownSeconds, elapsed);
    } while (elapsed < AspiCountdownSeconds);
    // A flash that has not finished when the count-down ends has not succeeded; the drive
    // must not be read while the command is still outstanding.
    if (!seenComplete) {
        const int poll = PollPendingCommand();
        if (result == 0) result = poll == PollRunning ? CommandFailed : poll;
    }
    StopPreciseTimer();
    return result;
}

// Pass-through: the command returns when the drive answers; the count-down runs from
// before it was issued.
int RunPassThroughFlash() {
    const uint32_t timeoutMs = HasShortFlash() ? ShortFlashMs : LongFlashMs;
    State.CommandTimeout = timeoutMs;
    StartPreciseTimer();
    const int result = LegacyStartFlash();
    if (result != 0) {
        StopPreciseTimer();
        return result;
    }
    const uint32_t total = timeoutMs / 1000;
    ConsolePrint("\n");
    uint32_t elapsed;
    do {
        PlatformSleep(CountdownStepMs);
        elapsed = ElapsedSeconds();
        PrintRemaining(total, elapsed);
    } while (elapsed < total);
    StopPreciseTimer();
    return 0;
}

}  // namespace

bool LegacyImageFitsBuffers() {
    if (State.WorkBuffer == nullptr || State.ImageBuffer == nullptr) return false;
    if (State.ImageSize < static_cast<int32_t>(TailBack)) return false;
    const auto size = static_cast<uint64_t>(State.ImageSize);
    if (size > State.WorkBufferSize) return false;
    const uint64_t tail = size - TailBack;
    const uint64_t lastChunk = tail == 0 ? 0 : (tail - 1) / ChunkLength * ChunkLength;
    const uint64_t chunkEnd = lastChunk + ChunkLength;
    const uint64_t reach = chunkEnd > size + BehindImage ? chunkEnd : size + BehindImage;
    return reach <= State.ImageBufferSize;
}

int TransferLegacyImage() {
    bool sent = LegacyImageFitsBuffers() && LegacyPrepareDownload() == 0;
    if (sent) {
        const auto size = static_cast<uint32_t>(State.ImageSize);
        std::memcpy(State.ImageBuffer + size, TransferMarker(), MarkerLength);
        const uint32_t tail = size - TailBack;
        uint32_t offset = 0;
        do {
            sent = LegacyWriteChunk(offset, ChunkLength, State.ImageBuffer + offset) == 0;
            offset += ChunkLength;
        } while (sent && offset < tail);
        if (sent) sent = LegacyWriteChunk(tail, TailLength, State.ImageBuffer + tail) == 0;
    }
    if (sent) return 0;
    std::snprintf(State.Text, sizeof State.Text, "\nSense Code : %02x-%02x-%02x",
                  static_cast<unsigned>(State.SenseBuffer[2]),
                  static_cast<unsigned>(State.SenseBuffer[12]),
                  static_cast<unsigned>(State.SenseBuffer[13]));
    ConsolePrint(State.Text);
    return -1;
}

int RunTimedFlash() {
    return State.UsesAspi != 0 ? RunAspiFlash() : RunPassThroughFlash();
}
