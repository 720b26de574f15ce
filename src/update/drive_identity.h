#pragma once
#include <cstdint>

// What the selected drive says about itself: its INQUIRY identity, revision and firmware date,
// and the vendor page of its editions; the revision and date encodings that comparisons use.

// Fields of the 96-byte INQUIRY data (blank-padded ASCII, no terminator).
namespace InquiryOffset {
constexpr int VendorId = 8;  // 8 bytes; with ProductId one 24-character identity
constexpr int ProductId = 16;
constexpr int IdentityLength = 24;
constexpr int RevisionText = 32;      // 4 bytes, shown with byte 36 as 5 characters
constexpr int FirmwareDateText = 37;  // 8 (YY/MM/DD) or 10 characters
constexpr int FirmwareDateLength = 10;
}  // namespace InquiryOffset

// Fields of the vendor page (READ BUFFER mode 2, buffer F1h, 48 bytes).
namespace InfoPageOffset {
constexpr int HardwareRevision = 16;  // interface code (4) and hardware revision (4)
constexpr int KernelModelName = 24;   // edition code of the kernel part
constexpr int NormalModelName = 32;   // edition code of the normal part; ' ' first: none
constexpr int FieldLength = 8;
}  // namespace InfoPageOffset

constexpr int IdentityPhaseBefore = 0;
constexpr int IdentityPhaseAfter = 1;

// "d.dd" as 0xDDD: high byte c0 - '0', low byte (c2 - '0') * 16 + (c3 - '0'), in 8-bit
// arithmetic and unchecked, so 1.22 is 0x0122. The point is not looked at.
uint16_t RevisionNumber(const uint8_t* text);

// A two-character field read as "%02x" reads it, but never past the field: blanks first are
// skipped, then hexadecimal digits are taken; no digit gives 0. "25" gives 0x25.
uint8_t ReadHexPair(const uint8_t* field);

// The month abbreviation "Jan".."Dec" (exact case) as a BCD month 0x01..0x12; 0 for none.
uint8_t MonthNumber(const uint8_t* text);

// Dates as BCD 0xCCYYMMDD, from texts of fixed width:
// "YY/MM/DD" (8 characters, the century is 20);
uint32_t ShortFormDate(const uint8_t* text);
// "YYYY/MM/DD" (10 characters), read as "%04x/%02x/%02x": reading stops at the first
// character that does not fit, and the fields not reached stay 0;
uint32_t LongFormDate(const uint8_t* text);
// the partner form: month abbreviation at 0, day at 3, century at `centuryAt` and the year
// right after it (the drive reports "Jul252008", centuryAt 5; images carry centuryAt 6).
uint32_t PartnerFormDate(const uint8_t* text, int centuryAt);

// The flags of the model table for the identity in InquiryData, DriveRevisionNumber and the
// KernelModelName of the FirmwareInfoPage: KernelTooOld, NeedsUnlock, UtilityTooOld.
void ApplyModelTable();

// Reads the selected target's INQUIRY into InquiryData and prints its revision line. Phase 0
// (before the update) also derives DriveRevisionNumber, DriveFirmwareDate and the model
// flags; phase 1 (after it) waits for a restarting drive where the host needs it. Returns 0
// to go on, the INQUIRY's error code (after message 9), or -1 after message 55 or 56.
int ReadDriveIdentity(int phase);
