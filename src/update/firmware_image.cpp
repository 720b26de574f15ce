#include "update/firmware_image.h"

#include <cstdio>
#include <cstring>

#include "base/run_state.h"
#include "console/message.h"
#include "device/drive_commands.h"
#include "platform/platform_console.h"
#include "platform/platform_file.h"
#include "update/drive_identity.h"
#include "update/target_preparation.h"

namespace {

const char* const PartnerVendor = "Vantrel ";
const char* const GeneralEdition = "GENERAL ";
const char* const CompoEdition = "COMPO   ";

// Kinds with their own rules.
constexpr int32_t KindFamilyMask = 0xFFF0;
constexpr int32_t KindLenientHardware = 0x1040;  // a kernel part may bring the hardware along
constexpr int32_t KindAlwaysKernel = 0x1003;

// Revisions below 1.00 are pre-production firmware; 0 (a drive on its kernel) is not.
constexpr uint16_t MassProductionRevision = 0x100;

bool Matches(const uint8_t* bytes, const char* text, size_t length) {
    return std::memcmp(bytes, text, length) == 0;
}

bool IsPartnerImage(const uint8_t* image) {
    return Matches(image + ImageHeader::ModelIdentity, PartnerVendor, 8);
}

// An edition code that any image suits, or the image's own.
bool EditionFits(const uint8_t* target, const uint8_t* image) {
    return Matches(target, CompoEdition, 8) || Matches(target, GeneralEdition, 8) ||
           std::memcmp(target, image, ImageHeader::FieldLength) == 0;
}

uint32_t EntryFirmwareDate() {
    const uint8_t index = State.Selection.Index;
    return index < DefinitionEntryCapacity ? State.Definition.Entries[index].FirmwareDate : 0;
}

// Reads the whole file into ImageBuffer: 0 with the byte count, -1 when it cannot be opened
// or read or is larger than ImageBuffer (then nothing is read at all).
int ReadImageFile(const char* name, uint32_t* bytesRead) {
    *bytesRead = 0;
    if (State.ImageBuffer == nullptr) return -1;
    uint32_t error = 0;
    const FileHandle file = PlatformOpenFileForReading(name, &error);
    if (file == InvalidFileHandle) return -1;
    uint32_t sizeHigh = 0;
    const uint32_t size = PlatformGetFileSize(file, &sizeHigh);
    int result = -1;
    if (size != INVALID_FILE_SIZE && sizeHigh == 0 && size <= State.ImageBufferSize &&
        PlatformReadFile(file, State.ImageBuffer, size, bytesRead)) {
        State.LoadedImage = FingerprintOf(State.ImageBuffer, *bytesRead);
        result = 0;
    }
    PlatformCloseFile(file);
    return result;
}

// The byte count the selected entry expects of the normal image; 0 when it names none.
uint32_t ExpectedNormalBytes() {
    return State.Selection.Size > 0 ? static_cast<uint32_t>(State.Selection.Size) : 0;
}

// Both counts on standard error: the box and the console say only that the file is illegal.
void ReportShortImage(const char* name, uint32_t bytes) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "odd-fwupdate: %.128s is cut short: %lu bytes read, %lu expected by the "
                  "package.\n",
                  name, static_cast<unsigned long>(bytes),
                  static_cast<unsigned long>(ExpectedNormalBytes()));
    PlatformWriteError(line);
}

}  // namespace

void ImageFileNameFor(ImagePart part, char* name) {
    std::memcpy(name, State.Selection.ImageFileName, sizeof State.Selection.ImageFileName);
    name[sizeof State.Selection.ImageFileName - 1] = '\0';
    if (part == ImagePartKernel) name[7] = '0';
}

uint32_t ImageDateOf(const uint8_t* image, ImagePart part) {
    const uint8_t* date = image + ImageHeader::DateText;
    if (IsPartnerImage(image)) return PartnerFormDate(date, 6);
    // The maker's kernel images carry the kernel's own date, which the package's oldest
    // acceptable date does not describe.
    if (part == ImagePartKernel) return 0;
    return ShortFormDate(date);
}

int LoadFirmwareImage(ImagePart part) {
    State.ImageDate = 0;
    char name[sizeof State.Selection.ImageFileName];
    ImageFileNameFor(part, name);
    uint32_t bytes = 0;
    if (ReadImageFile(name, &bytes) != 0) return -1;

    // A cut-short image (an interrupted download, a full disk) would be written as firmware
    // with garbage behind it; the entry says how long the package's image is. A longer one is
    // taken as it stands.
    if (part == ImagePartNormal && bytes < ExpectedNormalBytes()) {
        ReportShortImage(name, bytes);
        ShowMessage(40, StyleError);
        return -1;
    }

    // The header must be in the file, not left over from an earlier image; the kernel part is
    // sent as 0x20000 bytes, which must all come from this file.
    if (part == ImagePartNormal && bytes < ImageHeader::Size) {
        ShowMessage(40, StyleError);
        return -1;
    }
    if (part == ImagePartKernel && bytes < KernelPartLength) {
        ShowMessage(39, StyleError);
        return -1;
    }

    const uint8_t* image = State.ImageBuffer;
    if (part == ImagePartNormal) {
        State.ImageSize = static_cast<int32_t>(bytes);
        std::memcpy(State.NewRevisionText, image + ImageHeader::RevisionText,
                    sizeof State.NewRevisionText);
    }
    State.NewRevision = RevisionNumber(image + ImageHeader::RevisionText);
    State.ImageDate = ImageDateOf(image, part);
    if (part == ImagePartNormal) State.NormalImageDate = State.ImageDate;

    const bool dated = part == ImagePartNormal || IsPartnerImage(image);
    if (dated && State.ImageDate < EntryFirmwareDate()) {
        ShowMessage(69, StyleError);
        return -1;
    }

    const bool general = Matches(image + ImageHeader::KernelModelName, GeneralEdition, 8);
    const uint8_t kind = image[ImageHeader::PartKind];
    if (part == ImagePartKernel && !(general && kind == 'K')) {
        ShowMessage(39, StyleError);
        return -1;
    }
    if (part == ImagePartNormal && !(general && (kind == 'N' || kind == 'P'))) {
        ShowMessage(40, StyleError);
        return -1;
    }
    return 0;
}

int32_t EditionClassFor(const uint8_t* infoPage, int32_t otherwise) {
    const uint8_t* kernel = infoPage + InfoPageOffset::KernelModelName;
    if (Matches(kernel, GeneralEdition, 8)) {
        return Matches(infoPage + InfoPageOffset::HardwareRevision, "SCSI", 4) ? EditionGeneralScsi
                                                                               : EditionGeneral;
    }
    if (Matches(kernel, CompoEdition, 8)) return EditionCompo;
    return otherwise;
}

int ValidateFirmwareImage() {
    const int rc = ReadFirmwareInfo();
    if (rc != 0) {
        ShowMessage(0, StyleError);
        return rc;
    }
    const uint8_t* page = State.FirmwareInfoPage;
    const uint8_t* image = State.ImageBuffer;

    if (std::memcmp(page + InfoPageOffset::HardwareRevision, image + ImageHeader::HardwareRevision,
                    ImageHeader::FieldLength) != 0) {
        if ((State.CurrentKind & KindFamilyMask) != KindLenientHardware) {
            ShowMessage(1, StyleError);
            return -1;
        }
        // Any non-zero parts flag means the package has no kernel part to bring the drive's
        // hardware support along.
        if (State.Selection.PartsFlag != 0) {
            ShowMessage(1, StyleReport);
            return -1;
        }
    }

    if (!EditionFits(page + InfoPageOffset::KernelModelName,
                     image + ImageHeader::KernelModelName)) {
        ShowMessage(37, StyleError);
        return -1;
    }

    // A drive with no normal part has no edition, date or revision to compare.
    if (State.NormalPartAbsent == 1) return 0;

    if (!EditionFits(page + InfoPageOffset::NormalModelName,
                     image + ImageHeader::NormalModelName)) {
        ShowMessage(3, StyleError);
        return -1;
    }

    if (State.ImageDate <= State.DriveFirmwareDate &&
        State.NewRevision <= State.DriveRevisionNumber) {
        ShowMessage(54, State.UpdateAll == 1 ? StyleReport : StyleInformation);
        return 1;
    }

    const int32_t target = State.SelectedTarget;
    if (State.UsesAspi == 1 && target >= 0 && target < TargetListCapacity &&
        State.TargetList[target].HostAdapter == State.Ieee1394Marker &&
        State.AutoInsertCount != 0 &&
        Matches(State.InquiryData + InquiryOffset::VendorId, "KESTREL DVD-RW  QXR-710", 23)) {
        ShowMessage(53, StyleError);
        return -1;
    }

    if (State.DriveRevisionNumber < MassProductionRevision && State.DriveRevisionNumber != 0) {
        ShowMessage(73, StyleError);
        return -1;
    }

    State.EditionClass = EditionClassFor(page, State.EditionClass);
    return 0;
}

int CheckKernelNeedsUpdate() {
    if (Inquiry(State.SelectedTarget, State.InquiryData) != 0) {
        ShowMessage(9, StyleReport);
        return -1;
    }
    if (State.CurrentKind == KindAlwaysKernel) return 0;
    const uint8_t* image = State.ImageBuffer;
    if (std::memcmp(State.InquiryData + InquiryOffset::RevisionText,
                    image + ImageHeader::KernelModeRevision,
                    ImageHeader::KernelModeRevisionLength) == 0 &&
        std::memcmp(State.InquiryData + InquiryOffset::FirmwareDateText,
                    image + ImageHeader::DateText, 8) == 0) {
        ShowMessage(10, StyleReport);
        return 1;
    }
    return 0;
}
