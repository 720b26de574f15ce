#include "virtual_drive.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace {

constexpr uint8_t OpTestUnitReady = 0x00;
constexpr uint8_t OpRequestSense = 0x03;
constexpr uint8_t OpInquiry = 0x12;
constexpr uint8_t OpStartStopUnit = 0x1B;
constexpr uint8_t OpWriteBuffer = 0x3B;
constexpr uint8_t OpReadBuffer = 0x3C;
constexpr uint8_t OpReportKey = 0xA4;
// What a host's own driver asks of a drive, whatever the program does.
constexpr uint8_t OpPreventAllow = 0x1E;
constexpr uint8_t OpReadCapacity = 0x25;
constexpr uint8_t OpGetConfiguration = 0x46;
constexpr uint8_t OpEventStatus = 0x4A;
constexpr uint8_t OpModeSense10 = 0x5A;

constexpr uint32_t InquiryLength = 96;
constexpr uint32_t InfoPageLength = 48;
constexpr uint32_t ChallengeLength = 16;
constexpr uint32_t BlockLength = 256;

// Header fields of a firmware image that the re-flash takes over.
constexpr uint32_t HeaderRevision = 144;
constexpr uint32_t HeaderDate = 304;
constexpr uint32_t HeaderKernelModeRevision = 336;

const char* const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void PutText(uint8_t* at, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) at[i] = i < text.size() ? text[i] : ' ';
}

std::string TextAt(const std::vector<uint8_t>& bytes, uint32_t offset, uint32_t width) {
    std::string text(width, ' ');
    for (uint32_t i = 0; i < width; ++i) {
        if (offset + i < bytes.size()) text[i] = static_cast<char>(bytes[offset + i]);
    }
    return text;
}

void Answer(VirtualDriveAnswer& answer, uint8_t key, uint8_t asc, uint8_t ascq) {
    answer.Status = 2;
    std::memset(answer.Sense, 0, sizeof answer.Sense);
    answer.Sense[0] = 0x70;  // current error, fixed format
    answer.Sense[2] = key;
    answer.Sense[7] = 10;  // additional length: bytes 8..17
    answer.Sense[12] = asc;
    answer.Sense[13] = ascq;
}

void IllegalRequest(VirtualDriveAnswer& answer, uint8_t asc) {
    Answer(answer, 0x05, asc, 0x00);
}

// The CDB length the opcode's group calls for.
int GroupCdbLength(uint8_t opcode) {
    switch (opcode >> 5) {
        case 0:
            return 6;
        case 1:
        case 2:
            return 10;
        case 4:
            return 16;
        case 5:
            return 12;
        default:
            return 0;  // vendor groups: any length
    }
}

uint32_t Be24(const uint8_t* at) {
    return (uint32_t{at[0]} << 16) | (uint32_t{at[1]} << 8) | at[2];
}

// Copies up to `length` bytes of an answer to the host, never past either buffer.
void ReturnData(VirtualDriveAnswer& answer, const VirtualDriveData& data, const uint8_t* bytes,
                uint32_t length, uint32_t allocation) {
    const uint32_t count = std::min({length, allocation, data.InCapacity});
    if (count > 0 && data.In != nullptr) std::memcpy(data.In, bytes, count);
    answer.DataInLength = count;
}

bool RunsKernelOnly(const VirtualDrive& drive) {
    return drive.Mode == VirtualDriveMode::Kernel;
}

bool Matches(const VirtualDriveFault& fault, const VirtualDrive& drive, const uint8_t* cdb) {
    if (fault.Times == 0) return false;
    if (fault.NthCommand != 0 && fault.NthCommand != drive.CommandCount) return false;
    if (fault.Opcode >= 0 && fault.Opcode != cdb[0]) return false;
    const bool buffer = cdb[0] == OpReadBuffer || cdb[0] == OpWriteBuffer;
    if (fault.Mode >= 0 && (!buffer || fault.Mode != (cdb[1] & 0x1F))) return false;
    if (fault.BufferId >= 0 && (!buffer || fault.BufferId != cdb[2])) return false;
    return true;
}

// ---- identity ---------------------------------------------------------------------------

void BuildInquiry(const VirtualDrive& drive, uint8_t out[InquiryLength]) {
    std::memset(out, 0, InquiryLength);
    const bool kernel = RunsKernelOnly(drive);
    out[0] = drive.DeviceType;
    out[1] = 0x80;  // removable medium
    out[3] = 0x02;  // response data format
    out[4] = InquiryLength - 5;
    PutText(out + 8, kernel ? drive.KernelVendor : drive.Vendor, 8);
    PutText(out + 16, kernel ? drive.KernelProduct : drive.Product, 16);
    PutText(out + 32, kernel ? drive.KernelRevision : drive.Revision, 4);
    out[36] = ' ';
    PutText(out + 37, kernel ? drive.KernelDateText : drive.DateText, 10);
}

void BuildInfoPage(const VirtualDrive& drive, uint8_t out[InfoPageLength]) {
    std::memset(out, 0, InfoPageLength);
    out[1] = InfoPageLength - 2;
    PutText(out + 16, drive.HardwareRevision, 8);
    PutText(out + 24, drive.KernelEdition, 8);
    // Only the kernel runs: no normal part to name.
    const bool normalRuns = !RunsKernelOnly(drive) && drive.NormalPartPresent;
    PutText(out + 32, normalRuns ? drive.NormalEdition : std::string(), 8);
}

bool IsVendor(const std::string& vendor, const char* name) {
    return vendor.compare(0, 8, name) == 0;
}

// The re-flashed normal part's date, in the form the drive reported its date before.
std::string DateInDriveForm(const VirtualDrive& drive, const std::vector<uint8_t>& image) {
    const std::string text = TextAt(image, HeaderDate, 10);
    std::string century, year, month, day;
    if (text[2] == '/' && text[5] == '/') {  // maker's form YY/MM/DD
        century = "20";
        year = text.substr(0, 2);
        month = text.substr(3, 2);
        day = text.substr(6, 2);
    } else {  // partner form: Mmm DD ? CC YY
        for (int m = 0; m < 12; ++m) {
            if (text.compare(0, 3, MonthNames[m]) == 0) {
                month = (m < 9 ? "0" : "1") + std::to_string(m < 9 ? m + 1 : m - 9);
            }
        }
        if (month.empty()) return text;  // neither form: reported as it stands
        day = text.substr(3, 2);
        century = text.substr(6, 2);
        year = text.substr(8, 2);
    }
    if (IsVendor(drive.Vendor, "Vantrel ")) {
        const int m = (month[0] - '0') * 10 + (month[1] - '0');
        const std::string name = m >= 1 && m <= 12 ? MonthNames[m - 1] : "???";
        return name + day + century + year;
    }
    const bool shortForm =
        drive.DateText.size() >= 6 && drive.DateText[2] == '/' && drive.DateText[5] == '/';
    if (shortForm) return year + "/" + month + "/" + day;
    return century + year + "/" + month + "/" + day;
}

// ---- boot --------------------------------------------------------------------------------

// A reboot or a power-up: NOT READY for RebootMs, then UNIT ATTENTION. A whole kernel in
// flash is the kernel that runs from now on, and the one the drive names in kernel mode.
void Boot(VirtualDrive& drive, const VirtualDriveAnswer& answer, uint32_t nowMs) {
    if (drive.KernelFlashed) {
        drive.KernelRevision = TextAt(drive.KernelFlash, HeaderKernelModeRevision, 4);
        drive.KernelDateText = TextAt(drive.KernelFlash, HeaderDate, 8);
        drive.KernelFlashed = false;
    }
    drive.KernelTransferEnd = 0;
    drive.Rebooting = true;
    drive.RebootUntilMs = nowMs + answer.DurationMs + drive.RebootMs;
    drive.UnitAttentionPending = true;
    drive.NormalReceived = false;
    drive.Unlocked = false;
    drive.ChallengeIssued = false;
    drive.ResponseAccepted = false;
}

// ---- mode switch -------------------------------------------------------------------------

const char* ModelString(uint16_t kind, bool entering) {
    switch (kind) {
        case 0x1003:
            return "KESTREL QXR-T510";
        case 0x1004:
            return "KESTREL DVD-Q720";
        case 0x1005:
            return "KESTREL  QXR-730";
        case 0x100D:
        case 0x1048:
            return "KESTREL  QXR-M28";
        case 0x1041:
            return entering ? "KESTREL  QXR-730" : "KESTREL  QXR-M21";
        default:
            return nullptr;
    }
}

uint32_t SwitchValue(const VirtualDrive& drive, bool entering) {
    const std::string edition = (drive.KernelEdition + "        ").substr(0, 8);
    const uint32_t value = drive.ModeSwitchValue;
    if (edition == "COMPO   ") return value;
    if (edition == "HALDOR  " || edition == "HALDOR2 " || edition == "GENERAL ") return value + 6;
    if (edition == "FINCH   " && entering) {
        return (value & 0xFFFFFF00u) | ((value + 5) & 0xFFu);
    }
    return value + 5;
}

void SwitchMode(VirtualDrive& drive, VirtualDriveAnswer& answer, const uint8_t* cdb,
                const uint8_t* block, uint32_t nowMs) {
    const uint8_t mode = cdb[1] & 0x1F;
    const bool entering = mode == 4;
    if (cdb[2] != 0xFF || Be24(cdb + 3) != 0 || Be24(cdb + 6) != BlockLength) {
        IllegalRequest(answer, 0x24);
        return;
    }
    std::memcpy(drive.LastModeSwitchBlock, block, BlockLength);
    if (entering && !RunsKernelOnly(drive) && drive.RequiresUnlock && !drive.Unlocked) {
        IllegalRequest(answer, 0x2C);
        return;
    }
    if (!entering && !RunsKernelOnly(drive)) {
        IllegalRequest(answer, 0x2C);  // nothing to re-flash from
        return;
    }
    uint8_t expected[BlockLength];
    VirtualDriveExpectedBlock(drive, entering, expected);
    if (std::memcmp(block, expected, BlockLength) != 0) {
        IllegalRequest(answer, 0x26);
        return;
    }
    if (entering) {
        drive.Mode = VirtualDriveMode::Kernel;
        drive.Unlocked = false;
        return;
    }

    // Re-flash the normal part from what arrived since the drive last booted, then reboot.
    if (drive.NormalReceived) {
        drive.Revision = TextAt(drive.NormalFlash, HeaderRevision, 4);
        drive.DateText = DateInDriveForm(drive, drive.NormalFlash);
        drive.NormalPartPresent = true;
    }
    ++drive.ReflashCount;
    bool stay = !drive.NormalPartPresent;
    if (drive.StayInKernelAfterReflash > 0) {
        --drive.StayInKernelAfterReflash;
        stay = true;
    }
    drive.Mode = stay ? VirtualDriveMode::Kernel : VirtualDriveMode::Normal;
    Boot(drive, answer, nowMs);
}

// ---- unlock exchange ---------------------------------------------------------------------

void IssueChallenge(VirtualDrive& drive) {
    ++drive.ExchangeCount;
    uint32_t seed = drive.ExchangeCount * 0x9E3779B9u ^ drive.ModeSwitchValue;
    for (uint8_t& byte : drive.Challenge) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(seed >> 16);
    }
    drive.ChallengeIssued = true;
    drive.ResponseAccepted = false;
}

bool ResponseFits(const VirtualDrive& drive, const uint8_t* response) {
    for (int i = 0; i < 16; ++i) {
        const uint8_t key = static_cast<uint8_t>(drive.ModeSwitchValue >> (8 * (i % 4)));
        const uint8_t mixed = drive.Challenge[i] ^ key;
        const int turn = i % 8;
        const uint8_t turned =
            static_cast<uint8_t>((mixed << turn) | (turn == 0 ? 0 : mixed >> (8 - turn)));
        if (response[i] != static_cast<uint8_t>(turned + i)) return false;
    }
    return true;
}

// ---- commands ----------------------------------------------------------------------------

void TestUnitReady(const VirtualDrive& drive, VirtualDriveAnswer& answer) {
    switch (drive.Disc) {
        case VirtualDisc::Absent:
            Answer(answer, 0x02, 0x3A, 0x00);
            break;
        case VirtualDisc::Loaded:
            break;
        case VirtualDisc::BecomingReady:
            Answer(answer, 0x02, 0x04, 0x01);
            break;
        case VirtualDisc::Stopped:
            Answer(answer, 0x02, 0x04, 0x02);
            break;
    }
}

// ---- what the host's driver asks --------------------------------------------------------

uint32_t Be16(const uint8_t* at) {
    return (uint32_t{at[0]} << 8) | at[1];
}

void PutBe16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// GET EVENT STATUS NOTIFICATION, polled: the media class only, no event pending.
void EventStatus(const VirtualDrive& drive, VirtualDriveAnswer& answer, const uint8_t* cdb,
                 const VirtualDriveData& data) {
    if ((cdb[1] & 0x01) == 0) {
        IllegalRequest(answer, 0x24);  // asynchronous notification is not offered
        return;
    }
    constexpr uint8_t MediaClass = 0x10;
    uint8_t out[8] = {};
    out[3] = MediaClass;  // supported event classes
    uint32_t length = 4;
    if ((cdb[4] & MediaClass) != 0) {
        out[2] = 0x04;                                             // notification class 4: media
        out[4] = 0x00;                                             // no change
        out[5] = drive.Disc != VirtualDisc::Absent ? 0x02 : 0x00;  // media present, door closed
        length = 8;
    } else {
        out[2] = 0x80;  // no event available of the classes asked
    }
    PutBe16(out, length - 2);
    ReturnData(answer, data, out, length, Be16(cdb + 7));
}

// MODE SENSE(10) of the capabilities page 2Ah (alone or within all pages), current values.
void ModeSense10(VirtualDriveAnswer& answer, const uint8_t* cdb, const VirtualDriveData& data) {
    const uint8_t page = cdb[2] & 0x3F;
    if (page != 0x2A && page != 0x3F) {
        IllegalRequest(answer, 0x24);
        return;
    }
    constexpr uint32_t HeaderLength = 8;  // no block descriptor
    constexpr uint8_t PageLength = 0x14;
    uint8_t out[HeaderLength + 2 + PageLength] = {};
    PutBe16(out, sizeof out - 2);
    uint8_t* caps = out + HeaderLength;
    caps[0] = 0x2A;
    caps[1] = PageLength;
    caps[2] = 0x3B;            // reads CD-R, CD-RW, DVD-ROM, DVD-R, DVD-RAM
    caps[3] = 0x13;            // writes CD-R, CD-RW, DVD-R
    caps[4] = 0x70;            // multi-session, mode 2 form 1 and 2
    caps[5] = 0x3F;            // CD-DA commands, accurate streams, subchannels, C2 pointers
    caps[6] = 0x29;            // tray, eject, lock
    PutBe16(caps + 8, 7056);   // maximum read speed in kB/s (40x CD)
    PutBe16(caps + 10, 256);   // volume levels
    PutBe16(caps + 12, 2048);  // buffer size in KiB
    PutBe16(caps + 14, 7056);  // current read speed
    PutBe16(caps + 18, 5645);  // maximum write speed
    ReturnData(answer, data, out, sizeof out, Be16(cdb + 7));
}

// GET CONFIGURATION: the profile list, Core, Morphing and Removable Medium features.
void GetConfiguration(const VirtualDrive& drive, VirtualDriveAnswer& answer, const uint8_t* cdb,
                      const VirtualDriveData& data) {
    const uint8_t returned = cdb[1] & 0x03;
    const uint32_t start = Be16(cdb + 2);
    const bool disc = drive.Disc != VirtualDisc::Absent;
    const uint32_t current = disc ? 0x0011 : 0x0000;  // DVD-R sequential, or none
    static const uint8_t profileList[] = {0x00, 0x00, 0x03, 16,   0x00, 0x14, 0x00,
                                          0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x10,
                                          0x00, 0x00, 0x00, 0x08, 0x00, 0x00};
    static const uint8_t core[] = {0x00, 0x01, 0x07, 8, 0x00, 0x00, 0x00, 0x01, 0x01, 0, 0, 0};
    static const uint8_t morphing[] = {0x00, 0x02, 0x07, 4, 0x02, 0x00, 0x00, 0x00};
    static const uint8_t removable[] = {0x00, 0x03, 0x03, 4, 0x29, 0x00, 0x00, 0x00};
    struct Feature {
        const uint8_t* Bytes;
        uint32_t Length;
    };
    const Feature features[] = {{profileList, sizeof profileList},
                                {core, sizeof core},
                                {morphing, sizeof morphing},
                                {removable, sizeof removable}};
    uint8_t out[8 + sizeof profileList + sizeof core + sizeof morphing + sizeof removable] = {};
    uint32_t length = 8;
    PutBe16(out + 6, current);
    for (const Feature& feature : features) {
        const uint32_t code = Be16(feature.Bytes);
        const bool isCurrent = (feature.Bytes[2] & 0x01) != 0;
        if (code < start || (returned == 1 && !isCurrent) || (returned == 2 && code != start)) {
            continue;
        }
        std::memcpy(out + length, feature.Bytes, feature.Length);
        // The profile of the disc in the drive is the current one.
        if (code == 0 && disc) out[length + 10] = 0x01;
        length += feature.Length;
    }
    out[2] = static_cast<uint8_t>((length - 4) >> 8);
    out[3] = static_cast<uint8_t>(length - 4);
    ReturnData(answer, data, out, length, Be16(cdb + 7));
}

// READ CAPACITY: the disc's last block and the block length, or why there is none.
void ReadCapacity(const VirtualDrive& drive, VirtualDriveAnswer& answer,
                  const VirtualDriveData& data) {
    TestUnitReady(drive, answer);
    if (answer.Status != 0) return;
    const uint8_t out[8] = {0x00, 0x21, 0xFF, 0xFF, 0x00, 0x00, 0x08, 0x00};
    ReturnData(answer, data, out, sizeof out, sizeof out);
}

void StartStopUnit(VirtualDrive& drive, const uint8_t* cdb) {
    const bool start = (cdb[4] & 0x01) != 0;
    const bool loadEject = (cdb[4] & 0x02) != 0;
    if (loadEject && !start) {
        drive.Disc = VirtualDisc::Absent;  // tray out: the disc is gone
    } else if (start && drive.Disc == VirtualDisc::Stopped) {
        drive.Disc = VirtualDisc::Loaded;
    } else if (!start && drive.StopSpinsDown && drive.Disc == VirtualDisc::Loaded) {
        drive.Disc = VirtualDisc::Stopped;
    }
}

void ReadBuffer(VirtualDrive& drive, VirtualDriveAnswer& answer, const uint8_t* cdb,
                const VirtualDriveData& data) {
    const uint8_t mode = cdb[1] & 0x1F;
    const uint8_t bufferId = cdb[2];
    const uint32_t offset = Be24(cdb + 3);
    const uint32_t allocation = Be24(cdb + 6);
    if (mode == 2 && bufferId == 0xF1 && offset < InfoPageLength) {
        uint8_t page[InfoPageLength];
        BuildInfoPage(drive, page);
        const uint32_t end = std::min(InfoPageLength, drive.InfoPageAnswered);
        ReturnData(answer, data, page + offset, end > offset ? end - offset : 0, allocation);
        return;
    }
    if (mode == 2 && bufferId == 0xE0 && offset == 0 && drive.TakesPartInUnlock) {
        IssueChallenge(drive);
        ReturnData(answer, data, drive.Challenge, ChallengeLength, allocation);
        return;
    }
    IllegalRequest(answer, 0x24);
}

void WriteChunk(VirtualDrive& drive, VirtualDriveAnswer& answer, bool kernelPart, uint32_t offset,
                uint32_t length, const uint8_t* bytes, uint32_t nowMs) {
    ++drive.ChunkCommands;
    if (drive.PowerLossAtChunk != 0 && drive.ChunkCommands == drive.PowerLossAtChunk) {
        // The chunk never lands; the half-written normal part is worthless.
        drive.PowerLossAtChunk = 0;
        LoseVirtualDrivePower(drive, answer, nowMs);
        return;
    }
    const uint32_t size = kernelPart ? drive.KernelFlashSize : drive.NormalFlashSize;
    if (offset > size || length > size - offset) {
        IllegalRequest(answer, 0x24);
        return;
    }
    std::vector<uint8_t>& flash = kernelPart ? drive.KernelFlash : drive.NormalFlash;
    if (flash.size() != size) flash.resize(size, 0);
    if (length > 0) std::memcpy(flash.data() + offset, bytes, length);
    if (kernelPart) {
        ++drive.KernelChunks;
        drive.KernelBytesEnd = std::max(drive.KernelBytesEnd, offset + length);
        // A chunk at 0 starts a new kernel; until it is whole, the one in flash is not.
        if (offset == 0) drive.KernelTransferEnd = 0;
        if (offset == 0 || offset == drive.KernelTransferEnd) {
            drive.KernelTransferEnd = offset + length;
        }
        drive.KernelFlashed = drive.KernelTransferEnd == size;
    } else {
        ++drive.NormalChunks;
        drive.NormalBytesEnd = std::max(drive.NormalBytesEnd, offset + length);
        drive.NormalReceived = true;
    }
}

void WriteBuffer(VirtualDrive& drive, VirtualDriveAnswer& answer, const uint8_t* cdb,
                 const VirtualDriveData& data, uint32_t nowMs) {
    const uint8_t mode = cdb[1] & 0x1F;
    const uint8_t bufferId = cdb[2];
    const uint32_t offset = Be24(cdb + 3);
    const uint32_t length = Be24(cdb + 6);
    // The drive takes exactly the parameter list length; a host that offers less has sent a
    // broken command.
    if (length > 0 && (data.Out == nullptr || data.OutLength < length)) {
        Answer(answer, 0x05, 0x1A, 0x00);  // PARAMETER LIST LENGTH ERROR
        return;
    }
    if (mode == 4 || mode == 5) {
        SwitchMode(drive, answer, cdb, data.Out, nowMs);
        return;
    }
    if (mode == 7 && (bufferId == 0xFE || bufferId == 0xF0)) {
        if (!RunsKernelOnly(drive)) {
            IllegalRequest(answer, 0x2C);
            return;
        }
        WriteChunk(drive, answer, bufferId == 0xFE, offset, length, data.Out, nowMs);
        return;
    }
    if (mode == 2 && bufferId == 0xD4) {
        if (offset > sizeof drive.PreUpdateArea || length > sizeof drive.PreUpdateArea - offset) {
            IllegalRequest(answer, 0x24);
            return;
        }
        if (length > 0) std::memcpy(drive.PreUpdateArea + offset, data.Out, length);
        ++drive.PreUpdateWrites;
        return;
    }
    if (mode == 2 && (bufferId == 0xE1 || bufferId == 0xE2) && drive.TakesPartInUnlock) {
        if (bufferId == 0xE1) {
            if (offset != 0 || length != ChallengeLength) {
                IllegalRequest(answer, 0x24);
            } else if (!drive.ChallengeIssued) {
                IllegalRequest(answer, 0x2C);
            } else {
                drive.ChallengeIssued = false;  // one answer per challenge
                drive.ResponseAccepted = ResponseFits(drive, data.Out);
                if (!drive.ResponseAccepted) IllegalRequest(answer, 0x26);
            }
        } else if (!drive.ResponseAccepted) {
            IllegalRequest(answer, 0x2C);
        } else {
            drive.ResponseAccepted = false;
            drive.Unlocked = true;
        }
        return;
    }
    IllegalRequest(answer, 0x24);
}

void ReportKey(const VirtualDrive& drive, VirtualDriveAnswer& answer, const uint8_t* cdb,
               const VirtualDriveData& data) {
    const uint8_t keyClass = cdb[7];
    const uint32_t allocation = (uint32_t{cdb[8]} << 8) | cdb[9];
    const uint8_t keyFormat = cdb[10] & 0x3F;
    if (RunsKernelOnly(drive)) {
        IllegalRequest(answer, 0x20);  // the kernel knows nothing of regions
        return;
    }
    if (keyClass != 0 || keyFormat != 8) {
        IllegalRequest(answer, 0x24);
        return;
    }
    const uint8_t rpc[8] = {0x00, 0x06, 0x00, 0x00, 0x25, drive.RegionMask, drive.RpcScheme, 0x00};
    ReturnData(answer, data, rpc, sizeof rpc, allocation);
}

}  // namespace

void LoseVirtualDrivePower(VirtualDrive& drive, VirtualDriveAnswer& answer, uint32_t nowMs) {
    ++drive.PowerLosses;
    if (RunsKernelOnly(drive)) drive.NormalPartPresent = false;
    Boot(drive, answer, nowMs);
    // An older-generation drive forgets a download it was receiving; its memory is as it was.
    drive.Legacy.Prepared = false;
    drive.Legacy.Received.clear();
    drive.Legacy.ImageEnd = 0;
    answer.CallFails = true;
    answer.CallError = 1117;  // ERROR_IO_DEVICE
}

void VirtualDriveExpectedBlock(const VirtualDrive& drive, bool entering, uint8_t block[256]) {
    std::memset(block, 0, BlockLength);
    const char* model = ModelString(drive.Kind, entering);
    if (model != nullptr) std::memcpy(block, model, 16);
    if (drive.Kind == 0x100D || drive.Kind == 0x1048) {
        const uint32_t value = SwitchValue(drive, entering);
        for (int i = 0; i < 4; ++i) block[16 + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

VirtualDriveAnswer RunVirtualDriveCommand(VirtualDrive& drive, const uint8_t* cdb, int cdbLength,
                                          const VirtualDriveData& data, uint32_t nowMs) {
    VirtualDriveAnswer answer;
    ++drive.CommandCount;
    answer.DurationMs = drive.CommandMs;

    // The drive sees only the bytes that were sent.
    uint8_t seen[16] = {};
    const int length = std::clamp(cdbLength, 0, 16);
    if (length > 0) std::memcpy(seen, cdb, length);

    bool failLate = false;
    uint32_t lateError = 0;
    for (VirtualDriveFault& fault : drive.Faults) {
        if (!Matches(fault, drive, seen)) continue;
        if (fault.Times > 0) --fault.Times;
        answer.DurationMs += fault.ExtraMs;
        switch (fault.Effect) {
            case VirtualFaultEffect::Delay:
                break;
            case VirtualFaultEffect::CheckCondition:
                Answer(answer, fault.SenseKey, fault.Asc, fault.Ascq);
                return answer;
            case VirtualFaultEffect::CallFails:
                answer.CallFails = true;
                answer.CallError = fault.CallError;
                return answer;
            case VirtualFaultEffect::CallFailsLate:
                failLate = true;
                lateError = fault.CallError;
                break;
            case VirtualFaultEffect::PowerLoss:
                LoseVirtualDrivePower(drive, answer, nowMs);
                return answer;
        }
        break;
    }

    const uint8_t opcode = seen[0];
    const int needed = GroupCdbLength(opcode);
    if (needed != 0 && length < needed) {
        IllegalRequest(answer, 0x24);
    } else if (drive.Rebooting && static_cast<int32_t>(nowMs - drive.RebootUntilMs) < 0) {
        Answer(answer, 0x02, 0x04, 0x01);
    } else {
        drive.Rebooting = false;
        // INQUIRY, REQUEST SENSE, GET CONFIGURATION and GET EVENT STATUS NOTIFICATION never
        // report the unit attention.
        const bool keepsAttention = opcode == OpInquiry || opcode == OpRequestSense ||
                                    opcode == OpGetConfiguration || opcode == OpEventStatus;
        if (drive.UnitAttentionPending && !keepsAttention) {
            drive.UnitAttentionPending = false;
            Answer(answer, 0x06, 0x29, 0x00);
        } else {
            switch (opcode) {
                case OpTestUnitReady:
                    TestUnitReady(drive, answer);
                    break;
                case OpInquiry:
                    if ((seen[1] & 0x01) != 0) {
                        IllegalRequest(answer, 0x24);  // no vital product data pages
                    } else {
                        uint8_t inquiry[InquiryLength];
                        BuildInquiry(drive, inquiry);
                        const uint32_t allocation = (uint32_t{seen[3]} << 8) | seen[4];
                        ReturnData(answer, data, inquiry, InquiryLength, allocation);
                    }
                    break;
                case OpStartStopUnit:
                    StartStopUnit(drive, seen);
                    break;
                case OpReadBuffer:
                    if (RunVirtualLegacyBuffer(drive, answer, seen, data, nowMs)) break;
                    ReadBuffer(drive, answer, seen, data);
                    break;
                case OpWriteBuffer:
                    if (RunVirtualLegacyBuffer(drive, answer, seen, data, nowMs)) break;
                    WriteBuffer(drive, answer, seen, data, nowMs);
                    break;
                case OpReportKey:
                    ReportKey(drive, answer, seen, data);
                    break;
                case OpPreventAllow:
                    break;  // the lock is not modelled: the tray never moves by itself
                case OpReadCapacity:
                    ReadCapacity(drive, answer, data);
                    break;
                case OpGetConfiguration:
                    GetConfiguration(drive, answer, seen, data);
                    break;
                case OpEventStatus:
                    EventStatus(drive, answer, seen, data);
                    break;
                case OpModeSense10:
                    ModeSense10(answer, seen, data);
                    break;
                default:
                    IllegalRequest(answer, 0x20);
                    break;  // INVALID COMMAND OPERATION CODE
            }
        }
    }

    if (failLate && !answer.CallFails) {
        answer = VirtualDriveAnswer{true, lateError, 0, {}, answer.DurationMs, 0};
    }
    return answer;
}

std::string VirtualDriveStateLines(const VirtualDrive& m) {
    std::ostringstream out;
    out << "revision=" << m.Revision << "\n"
        << "mode=" << (m.Mode == VirtualDriveMode::Kernel ? "kernel" : "normal") << "\n"
        << "kernel-chunks=" << m.KernelChunks << "\n"
        << "normal-chunks=" << m.NormalChunks << "\n"
        << "normal-end=" << m.NormalBytesEnd << "\n"
        << "kernel-end=" << m.KernelBytesEnd << "\n"
        << "reflashes=" << m.ReflashCount << "\n"
        << "pre-update-writes=" << m.PreUpdateWrites << "\n";
    return out.str();
}
