#pragma once
#include <cstdint>

// The firmware image files of the package: loading one into ImageBuffer with the checks of
// the file by itself, checking the loaded normal image against the selected target, and
// deciding whether the kernel part needs writing.

// Header fields of an image file (kernel and normal images alike): byte offsets from the
// start of the file; texts are blank-padded ASCII without terminator.
namespace ImageHeader {
constexpr uint32_t ModelIdentity = 0x60;  // 24: vendor and product as the model reports them
constexpr uint32_t ModelIdentityLength = 24;
constexpr uint32_t RevisionText = 0x90;  // 5: "d.dd" and one more character
constexpr uint32_t RevisionTextLength = 5;
constexpr uint32_t HardwareRevision = 0xB0;  // 8
constexpr uint32_t KernelModelName = 0xD0;   // 8: "GENERAL " in every valid image
constexpr uint32_t NormalModelName = 0xF0;   // 8
constexpr uint32_t PartKind = 0x110;         // 'K' kernel; 'N' or 'P' normal
constexpr uint32_t DateText = 0x130;         // "YY/MM/DD", or the partner's "MmmDD CCYY"
constexpr uint32_t DateTextLength = 10;
constexpr uint32_t KernelModeRevision = 0x150;  // 4: the revision a drive on this kernel reports
constexpr uint32_t KernelModeRevisionLength = 4;
constexpr uint32_t Size = 0x154;     // the header ends here
constexpr uint32_t FieldLength = 8;  // HardwareRevision and the edition codes
}  // namespace ImageHeader

// The kernel part is always sent as this many bytes from the start of the kernel image.
constexpr uint32_t KernelPartLength = 0x20000;

enum ImagePart : int32_t {
    ImagePartKernel = 0,
    ImagePartNormal = 1,
};

// EditionClass values.
constexpr int32_t EditionGeneralScsi = 0x300;
constexpr int32_t EditionGeneral = 0x100;
constexpr int32_t EditionCompo = -1;

// The image file name for `part`: the selection's name, with the eighth character made '0'
// for the kernel image. `name` holds 128 bytes and is always terminated.
void ImageFileNameFor(ImagePart part, char* name);

// The image's date from its header (ImageDate's encoding), or 0 for a maker's-form kernel
// image, which is not dated against the package.
uint32_t ImageDateOf(const uint8_t* image, ImagePart part);

// Reads the image file for `part` into ImageBuffer and checks it by itself. 0 loaded; -1
// when it could not be opened or read or does not fit ImageBuffer (no message), or after
// message 69, 39 or 40 (a normal image shorter than the selection's Size also gets a line on
// standard error). The normal part sets ImageSize and NewRevisionText; both set NewRevision
// and ImageDate; a read file sets LoadedImage.
int LoadFirmwareImage(ImagePart part);

// The target's EditionClass from its vendor page's kernel edition and hardware revision;
// `otherwise` for an edition that has no class.
int32_t EditionClassFor(const uint8_t* infoPage, int32_t otherwise);

// Checks the loaded normal image against the target read by ReadDriveIdentity(0). 0 go on;
// -1 after a message, or the failed page read's code after message 0; 1 when the target
// already runs this firmware or a newer one (message 54).
int ValidateFirmwareImage();

// With the kernel image loaded and the target on its kernel: 0 write the kernel part; 1 the
// target already runs this kernel (message 10); -1 INQUIRY failed (message 9).
int CheckKernelNeedsUpdate();
