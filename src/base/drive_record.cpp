#include "base/drive_record.h"

#include <cstdio>
#include <cstring>

#include "base/run_state.h"
#include "platform/platform_log.h"

namespace {

constexpr int InquiryVendorOffset = 8;
constexpr int InquiryVendorLength = 8;
constexpr int InquiryProductOffset = 16;
constexpr int InquiryProductLength = 16;
constexpr int InquiryRevisionOffset = 32;
constexpr int InquiryRevisionLength = 4;

// Messages that tell how far a run got rather than how a drive's update ended: a record never
// names them. 2 forced update, 10 kernel kept, 12 success, 17 and 19 files loaded, 31 the
// question for all drives, 34 drive started, 35 and 58 summaries, 44 rebooting, 48 and 52
// interfaces detected, 51 bus reset, 61 writing begins, 70 the power-cycle notice.
constexpr int ProgressMessages[] = {2, 10, 12, 17, 19, 31, 34, 35, 44, 48, 51, 52, 58, 61, 70};

bool TellsProgress(int code) {
    for (const int progress : ProgressMessages) {
        if (progress == code) return true;
    }
    return false;
}

char SelectedLetter() {
    const int target = State.SelectedTarget;
    return target >= 0 && target < TargetListCapacity ? State.TargetList[target].DriveLetter : 0;
}

// A field of INQUIRY data as a record shows it: trailing blanks dropped, and any byte that is
// not printable ASCII, a quote or a backslash shown as '?', so that a line always parses.
void InquiryText(int offset, int length, char* out) {
    int end = length;
    while (end > 0 && State.InquiryData[offset + end - 1] == ' ') --end;
    for (int i = 0; i < end; ++i) {
        const uint8_t byte = State.InquiryData[offset + i];
        const bool plain = byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\';
        out[i] = plain ? static_cast<char>(byte) : '?';
    }
    out[end] = '\0';
}

void FormatMessageNumber(char* out, size_t size) {
    if (State.DecidingMessage == NoDecidingMessage) {
        std::snprintf(out, size, "message=none");
    } else {
        std::snprintf(out, size, "message=%d", static_cast<int>(State.DecidingMessage));
    }
}

}  // namespace

void BeginDriveRecord() {
    State.WritingRecorded = 0;
    State.DecidingMessage = NoDecidingMessage;
    State.BatteryRefused = 0;
    State.BatteryRefusedPercent = -1;
}

void NoteMessageShown(int code, bool question) {
    if (TellsProgress(code)) return;
    if (question && State.DecidingMessage != NoDecidingMessage) return;
    State.DecidingMessage = code;
}

void NoteBatteryRefusal(int percent) {
    State.BatteryRefused = 1;
    State.BatteryRefusedPercent = percent;
}

void RecordWritingStart() {
    // A message shown before the writing began (the consent question) tells nothing about
    // how it ends.
    State.DecidingMessage = NoDecidingMessage;
    if (State.WritingRecorded != 0) return;
    State.WritingRecorded = 1;
    char vendor[InquiryVendorLength + 1];
    char product[InquiryProductLength + 1];
    char revision[InquiryRevisionLength + 1];
    InquiryText(InquiryVendorOffset, InquiryVendorLength, vendor);
    InquiryText(InquiryProductOffset, InquiryProductLength, product);
    InquiryText(InquiryRevisionOffset, InquiryRevisionLength, revision);
    char details[128];
    std::snprintf(details, sizeof details, "vendor=\"%s\" product=\"%s\" from=%s to=%.4s", vendor,
                  product, revision, State.NewRevisionText);
    PlatformLogRecord(LogLevel::Notice, SelectedLetter(), "start", details);
}

void RecordDriveOutcome(bool updated, bool declined, int held) {
    const char letter = SelectedLetter();
    char details[96];
    if (State.WritingRecorded == 0) {
        if (declined) return;
        if (State.BatteryRefused != 0) {
            std::snprintf(details, sizeof details, "battery=%d",
                          static_cast<int>(State.BatteryRefusedPercent));
        } else {
            FormatMessageNumber(details, sizeof details);
        }
        PlatformLogRecord(LogLevel::Warning, letter, "refused", details);
        return;
    }
    char result[64];
    if (updated) {
        char revision[InquiryRevisionLength + 1];
        InquiryText(InquiryRevisionOffset, InquiryRevisionLength, revision);
        std::snprintf(result, sizeof result, "result=updated revision=%s", revision);
    } else {
        char message[24];
        FormatMessageNumber(message, sizeof message);
        const int target = State.SelectedTarget;
        const bool updateMode =
            target >= 0 && target < TargetListCapacity && State.DriveInUpdateMode[target] != 0;
        std::snprintf(result, sizeof result, "result=%s %s", updateMode ? "update-mode" : "failed",
                      message);
    }
    if (held != 0) {
        std::snprintf(details, sizeof details, "%s signal=%d", result, held);
    } else {
        std::snprintf(details, sizeof details, "%s", result);
    }
    PlatformLogRecord(updated ? LogLevel::Notice : LogLevel::Error, letter, "end", details);
}
