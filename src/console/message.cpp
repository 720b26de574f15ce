#include "console/message.h"

#include <cstdio>

#include "base/drive_writing.h"
#include "base/drive_record.h"
#include "base/run_state.h"
#include "console/catalogue.h"
#include "platform/platform_console.h"
#include "platform/platform_signals.h"

const char* const UnknownMessageText = "\r\nUnknow Message Code\r\n";

namespace {

const char* const MessageBoxCaption = "VELMOR";

const char* const FileExceptionText[15] = {
    nullptr,
    "\r\nFile Exception Error %x : Generic error occurred",
    "\r\nFile Exception Error %x : File not found",
    "\r\nFile Exception Error %x : Bad file path is specified",
    "\r\nFile Exception Error %x : Too many open files",
    "\r\nFile Exception Error %x : File access denied",
    "\r\nFile Exception Error %x : Invalid file handle is specified",
    "\r\nFile Exception Error %x : Removed current directory",
    "\r\nFile Exception Error %x : Directory full",
    "\r\nFile Exception Error %x : Bad seek(file pointer)",
    "\r\nFile Exception Error %x : Hardware I/O error",
    "\r\nFile Exception Error %x : File sharing violation",
    "\r\nFile Exception Error %x : File lock violation",
    "\r\nFile Exception Error %x : Disk full",
    "\r\nFile Exception Error %x : Reach to end of file",
};

uint32_t BoxFlags(int32_t style) {
    switch (style) {
        case StyleOkCancel:
            return 0x21;  // MB_OKCANCEL | MB_ICONQUESTION
        case StyleYesNo:
            return 0x24;  // MB_YESNO | MB_ICONQUESTION
        case StyleError:
            return 0x10;  // MB_OK | MB_ICONHAND
        case StyleInformation:
            return 0x40;  // MB_OK | MB_ICONASTERISK
        case StyleWarning:
            return 0x30;  // MB_OK | MB_ICONEXCLAMATION
        default:
            return 0;
    }
}

// The header fields of the loaded image that the messages show; blank before any load.
const char* ImageField(uint32_t offset) {
    static const char none[1] = {0};
    if (State.ImageBuffer == nullptr || offset >= State.ImageBufferSize) return none;
    return reinterpret_cast<const char*>(State.ImageBuffer) + offset;
}

const char* InquiryField(uint32_t offset) {
    return reinterpret_cast<const char*>(State.InquiryData) + offset;
}

void FormatMessage(uint32_t code, char* out, size_t size) {
    const char* const* set = State.OemCodePage == CodePageJapanese ? MessageTextJa : MessageTextEn;
    const char* text = code < MessageCodeCount ? set[code] : nullptr;
    if (text == nullptr) {
        std::snprintf(out, size, "%s", UnknownMessageText);
        return;
    }
    switch (code) {
        case 11:
            std::snprintf(out, size, text, State.Selection.ImageFileName);
            break;
        case 31:
            std::snprintf(out, size, text, State.TargetCount);
            break;
        case 32:
            std::snprintf(out, size, text, State.SelectedTarget, State.NewRevisionText,
                          InquiryField(8), InquiryField(32));
            break;
        case 34:
            std::snprintf(out, size, text, State.SelectedTarget + 1);
            break;
        case 45:
        case 46:
            std::snprintf(out, size, text, State.NewRevisionText);
            break;
        case 58:
            std::snprintf(out, size, text, State.SuccessCount);
            break;
        case 82:
            std::snprintf(out, size, text, InquiryField(8), InquiryField(32), InquiryField(37),
                          ImageField(96), ImageField(144), ImageField(304));
            break;
        default:
            std::snprintf(out, size, "%s", text);
            break;
    }
}

constexpr uint32_t RetryOffer = 47;

// The answer --yes gives: Yes, except to a repeated retry offer for the same drive (a drive
// that keeps failing must not loop for ever) and after a hang-up, when every question counts
// as No, as it does on a terminal.
int AssumedAnswer(uint32_t code, int32_t style) {
    if (style == StyleOkCancel) return AnswerOk;
    if (HeldInterrupt() == InterruptSignalHangUp) return AnswerNo;
    if (code == RetryOffer) {
        if (State.YesRetryTarget == State.SelectedTarget + 1) return AnswerNo;
        State.YesRetryTarget = State.SelectedTarget + 1;
    }
    return AnswerYes;
}

// The question and its answer as a terminal would show them, so the transcript reads the same.
int AnswerOnConsole(const char* text, uint32_t code, int32_t style) {
    const int answer = AssumedAnswer(code, style);
    const char* buttons = style == StyleOkCancel ? "[O]K [C]ancel" : "[Y]es [N]o";
    const char* typed = answer == AnswerYes ? "y" : answer == AnswerNo ? "n" : "o";
    char shown[RunTextCapacity + 128];
    std::snprintf(shown, sizeof shown, "\n---------------- %s ----------------%s\n\n%s ? %s\n",
                  MessageBoxCaption, text, buttons, typed);
    ConsolePrint(shown);
    return answer;
}

}  // namespace

void ConsolePrint(const char* text) {
    if (State.DryRun != 0) return;  // its lines alone are its output
    PlatformWriteConsole(text);
}

int ShowMessageBox(const char* text, int32_t style) {
    return PlatformMessageBox(text, MessageBoxCaption, BoxFlags(style));
}

int ShowMessage(uint32_t code, int32_t style) {
    char text[RunTextCapacity];
    FormatMessage(code, text, sizeof text);
    if (State.DryRun != 0) {
        // Shows and asks nothing: the first message of a drive's checks says why it would not
        // be updated, and a question goes on as if answered (none comes before consent but
        // the one-way warning, which the real run asks).
        if (State.DryRunMessage == 0) {
            State.DryRunMessage = code;
            std::snprintf(State.DryRunText, sizeof State.DryRunText, "%s", text);
        }
        return style == StyleYesNo ? AnswerYes : style == StyleOkCancel ? AnswerOk : 0;
    }
    NoteMessageShown(static_cast<int>(code), style == StyleOkCancel || style == StyleYesNo);
    switch (style) {
        case StyleOkCancel:
        case StyleYesNo:
            if (State.AssumeYes != 0) return AnswerOnConsole(text, code, style);
            return ShowMessageBox(text, style);
        case StyleError:
        case StyleInformation:
        case StyleWarning:
            ConsolePrint(text);
            // A box that only reports is not waited for under --yes: its text is printed.
            if (State.AssumeYes != 0) return AnswerOk;
            return ShowMessageBox(text, style);
        default:
            ConsolePrint(text);
            return 0;
    }
}

void ReportFileException(int cause) {
    if (cause < 1 || cause > 14) return;
    std::snprintf(State.Text, sizeof State.Text, FileExceptionText[cause], cause);
    ConsolePrint(State.Text);
}
