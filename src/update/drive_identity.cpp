#include "update/drive_identity.h"

#include <cstdio>
#include <cstring>

#include "base/run_state.h"
#include "base/timing.h"
#include "console/message.h"
#include "device/drive_commands.h"

namespace {

// Kinds whose drives are slow to answer after the re-flash.
constexpr int32_t KindSlowRestart = 0x1003;
constexpr uint32_t RestartInquiryPauseMs = 3000;
constexpr int RestartInquiryRetries = 6;

const char* const PartnerVendor = "Vantrel ";
const char* const KernelIdentityPrefix = "KESTREL DVD-RW  QXR-";  // 20 characters

bool IsSpace(uint8_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A bounded "%0Nx" conversion: blanks, then up to maxDigits hexadecimal digits. False when
// no digit was found (the conversion fails and reading stops there).
bool ScanHex(const uint8_t*& at, const uint8_t* end, int maxDigits, uint32_t& value) {
    while (at < end && IsSpace(*at)) ++at;
    uint32_t v = 0;
    int digits = 0;
    while (digits < maxDigits && at < end && HexValue(*at) >= 0) {
        v = v * 16 + static_cast<uint32_t>(HexValue(*at));
        ++at;
        ++digits;
    }
    if (digits == 0) return false;
    value = v;
    return true;
}

bool Matches(const uint8_t* bytes, const char* text, size_t length) {
    return std::memcmp(bytes, text, length) == 0;
}

uint32_t BcdDate(uint32_t century, uint32_t year, uint32_t month, uint32_t day) {
    return century << 24 | year << 16 | month << 8 | day;
}

const char* InquiryText(int offset) {
    return reinterpret_cast<const char*>(State.InquiryData) + offset;
}

// One row of the model table: a flag for an identity (its first `length` characters) when
// the revision number lies within [low, high]; some rows also want the point at byte 33
// or a kernel edition beginning "CEDR".
enum ModelFlag { FlagKernelTooOld, FlagNeedsUnlock, FlagUtilityTooOld };
struct ModelRow {
    const char* identity;
    size_t length;
    uint16_t low;
    uint16_t high;
    bool needsPoint;
    bool needsCedrKernel;
    ModelFlag flag;
};

const ModelRow ModelTable[] = {
    {"KESTREL DVD-RW  QXR-710", 23, 0x000, 0x128, true, false, FlagKernelTooOld},
    {"KESTREL DVD-RW  QXR-730", 23, 0x000, 0x10F, true, false, FlagKernelTooOld},
    {"MIRA    RZ-K77E         ", 24, 0x000, 0x10F, true, false, FlagKernelTooOld},
    {"NOLA    DVD-RW ZRW-8801P", 24, 0x000, 0x10F, true, false, FlagKernelTooOld},
    {"KESTREL DVD-RW  QXR-710", 23, 0x180, 0xFFFF, false, false, FlagNeedsUnlock},
    {"KESTREL DVD-RW  QXR-720", 23, 0x130, 0xFFFF, false, false, FlagNeedsUnlock},
    {"KESTREL DVD-RW  QXR-730", 23, 0x122, 0xFFFF, false, false, FlagNeedsUnlock},
    {"KESTREL DVD-RW  QXR-710", 23, 0x201, 0xFFFF, false, false, FlagUtilityTooOld},
    {"KESTREL DVD-RW  QXR-720", 23, 0x142, 0x3FF, false, false, FlagUtilityTooOld},
    {"KESTREL DVD-RW  QXR-720", 23, 0x421, 0xFFFF, false, true, FlagUtilityTooOld},
    {"KESTREL DVD-RW  QXR-730", 23, 0x134, 0xFFFF, false, false, FlagUtilityTooOld},
};

// Phase 0: the drive's firmware date and its "Current Revision" line.
void ReadCurrentRevision() {
    const uint8_t* date = State.InquiryData + InquiryOffset::FirmwareDateText;
    if (Matches(State.InquiryData + InquiryOffset::VendorId, PartnerVendor, 8)) {
        State.DriveFirmwareDate = PartnerFormDate(date, 5);
        // The partner's date text is shown as it stands, all 10 characters of it.
        std::snprintf(State.Text, sizeof State.Text, "\nCurrent Revision>> %.24s %.5s %.10s",
                      InquiryText(InquiryOffset::VendorId),
                      InquiryText(InquiryOffset::RevisionText),
                      InquiryText(InquiryOffset::FirmwareDateText));
    } else if (date[2] == '/' && date[5] == '/') {
        std::snprintf(State.Text, sizeof State.Text, "\nCurrent Revision>> %.24s %.5s %.8s",
                      InquiryText(InquiryOffset::VendorId),
                      InquiryText(InquiryOffset::RevisionText),
                      InquiryText(InquiryOffset::FirmwareDateText));
        // A drive running its kernel reports the kernel's date: no firmware date then.
        if (!Matches(State.InquiryData + InquiryOffset::RevisionText, "000", 3)) {
            State.DriveFirmwareDate = ShortFormDate(date);
        }
    } else {
        std::snprintf(State.Text, sizeof State.Text, "\nCurrent Revision>> %.24s %.5s %.10s",
                      InquiryText(InquiryOffset::VendorId),
                      InquiryText(InquiryOffset::RevisionText),
                      InquiryText(InquiryOffset::FirmwareDateText));
        State.DriveFirmwareDate = LongFormDate(date);
    }
}

void ReadModel() {
    const uint8_t* identity = State.InquiryData + InquiryOffset::VendorId;
    const uint8_t* revision = State.InquiryData + InquiryOffset::RevisionText;
    if (Matches(revision, "1.06", 4) && Matches(identity, "KESTREL DVD-ROM QXD-416 ", 24)) {
        State.NeedsG6Patch = 1;
    }
    if (Matches(revision, "0000", 4) && Matches(identity, KernelIdentityPrefix, 20)) {
        State.InUpdateMode = 1;
    }
    State.DriveRevisionNumber = RevisionNumber(revision);
    ApplyModelTable();
}

}  // namespace

uint16_t RevisionNumber(const uint8_t* text) {
    const auto high = static_cast<uint8_t>(text[0] - '0');
    const auto low = static_cast<uint8_t>((text[2] - '0') * 16 + (text[3] - '0'));
    return static_cast<uint16_t>(high << 8 | low);
}

uint8_t ReadHexPair(const uint8_t* field) {
    const uint8_t* at = field;
    uint32_t value = 0;
    ScanHex(at, field + 2, 2, value);
    return static_cast<uint8_t>(value);
}

uint8_t MonthNumber(const uint8_t* text) {
    static const char* const Months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const uint8_t Bcd[12] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                    0x07, 0x08, 0x09, 0x10, 0x11, 0x12};
    for (int i = 0; i < 12; ++i) {
        if (Matches(text, Months[i], 3)) return Bcd[i];
    }
    return 0;
}

uint32_t ShortFormDate(const uint8_t* text) {
    return BcdDate(0x20, ReadHexPair(text), ReadHexPair(text + 3), ReadHexPair(text + 6));
}

uint32_t LongFormDate(const uint8_t* text) {
    const uint8_t* at = text;
    const uint8_t* end = text + InquiryOffset::FirmwareDateLength;
    uint32_t centuryYear = 0, month = 0, day = 0;
    if (ScanHex(at, end, 4, centuryYear) && at < end && *at++ == '/' &&
        ScanHex(at, end, 2, month) && at < end && *at++ == '/') {
        ScanHex(at, end, 2, day);
    }
    return centuryYear << 16 | month << 8 | day;
}

uint32_t PartnerFormDate(const uint8_t* text, int centuryAt) {
    return BcdDate(ReadHexPair(text + centuryAt), ReadHexPair(text + centuryAt + 2),
                   MonthNumber(text), ReadHexPair(text + 3));
}

void ApplyModelTable() {
    const uint8_t* identity = State.InquiryData + InquiryOffset::VendorId;
    const bool point = State.InquiryData[InquiryOffset::RevisionText + 1] == '.';
    const bool cedrKernel =
        Matches(State.FirmwareInfoPage + InfoPageOffset::KernelModelName, "CEDR", 4);
    const uint16_t n = State.DriveRevisionNumber;
    for (const ModelRow& row : ModelTable) {
        if (!Matches(identity, row.identity, row.length)) continue;
        if (n < row.low || n > row.high) continue;
        if (row.needsPoint && !point) continue;
        if (row.needsCedrKernel && !cedrKernel) continue;
        switch (row.flag) {
            case FlagKernelTooOld:
                State.KernelTooOld = 1;
                break;
            case FlagNeedsUnlock:
                State.NeedsUnlock = 1;
                break;
            case FlagUtilityTooOld:
                State.UtilityTooOld = 1;
                break;
        }
    }
}

int ReadDriveIdentity(int phase) {
    State.DriveFirmwareDate = 0;
    State.NeedsG6Patch = 0;
    State.NeedsUnlock = 0;
    State.UtilityTooOld = 0;
    State.KernelTooOld = 0;

    int result = Inquiry(State.SelectedTarget, State.InquiryData);
    if (State.CurrentKind == KindSlowRestart && phase == IdentityPhaseAfter) {
        WaitMilliseconds(RestartInquiryPauseMs);
        result = Inquiry(State.SelectedTarget, State.InquiryData);
    }
    if (result != 0 && phase == IdentityPhaseAfter && State.UsesAspi == 1 &&
        (State.IntelAtaDriver == 1 || State.CurrentKind == KindSlowRestart)) {
        for (int attempt = 0; attempt < RestartInquiryRetries && result != 0; ++attempt) {
            WaitMilliseconds(RestartInquiryPauseMs);
            result = Inquiry(State.SelectedTarget, State.InquiryData);
        }
    }
    if (result != 0) {
        ShowMessage(9, StyleReport);
        return result;
    }

    if (phase == IdentityPhaseBefore) {
        ReadCurrentRevision();
        ReadModel();
    } else {
        const char* format = Matches(State.InquiryData + InquiryOffset::ProductId, "DVD-RW", 6)
                                 ? "\nNew Revision    >> %.24s %.5s %.8s"
                                 : "\nNew Revision    >> %.24s %.5s %.10s";
        std::snprintf(State.Text, sizeof State.Text, format, InquiryText(InquiryOffset::VendorId),
                      InquiryText(InquiryOffset::RevisionText),
                      InquiryText(InquiryOffset::FirmwareDateText));
    }
    ConsolePrint(State.Text);

    // Any non-zero parts flag means the package brings no kernel part to renew it with.
    if (State.KernelTooOld == 1 && State.Selection.PartsFlag != 0) {
        ShowMessage(56, StyleReport);
        return -1;
    }
    if (State.UtilityTooOld == 1) {
        ShowMessage(55, StyleReport);
        return -1;
    }
    return 0;
}
