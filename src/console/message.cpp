#include "console/message.h"

#include <cstdio>

#include "base/drive_record.h"
#include "base/run_state.h"
#include "console/catalogue.h"
#include "platform/platform_console.h"

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

}  // namespace

void ConsolePrint(const char* text) {
    PlatformWriteConsole(text);
}

int ShowMessageBox(const char* text, int32_t style) {
    return PlatformMessageBox(text, MessageBoxCaption, BoxFlags(style));
}

int ShowMessage(uint32_t code, int32_t style) {
    char text[RunTextCapacity];
    FormatMessage(code, text, sizeof text);
    NoteMessageShown(static_cast<int>(code), style == StyleOkCancel || style == StyleYesNo);
    switch (style) {
        case StyleOkCancel:
        case StyleYesNo:
            return ShowMessageBox(text, style);
        case StyleError:
        case StyleInformation:
        case StyleWarning:
            ConsolePrint(text);
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
