#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The machine-readable documents of --list --json and --dry-run --json: one JSON document on
// standard output, whatever bytes the drives answer with. The shape is kept stable for the
// scripts that read it ("version" changes when it does not stay compatible).

// A text as a JSON string with its quotes: trailing blanks (and NULs) trimmed, printable ASCII
// as it stands ('"' and '\' escaped), every other byte as \u00XX, so that the document is
// plain ASCII and so valid UTF-8.
std::string JsonText(const uint8_t* bytes, size_t length);
std::string JsonText(const std::string& text);

// How many bytes of the INQUIRY date text (at its offset 37) a list shows: 8 for the short
// form YY/MM/DD, else 10.
size_t InquiryDateLength(const uint8_t* inquiry);

struct DefinitionEntry;

// The package's revision for an entry: the legacy entries name theirs, the others share
// NewRevision (read it before an image is loaded).
uint16_t PackageRevision(const DefinitionEntry& entry);

// "newer", "same" or "older": the package's revision against the drive's INQUIRY revision.
const char* PackageIs(uint16_t package, const uint8_t* inquiry);

// One drive of the document. Identity fields come from Inquiry, or are null without it.
struct JsonDrive {
    char Letter = 0;
    std::string Device;
    std::string Generic;               // empty: null
    const uint8_t* Inquiry = nullptr;  // 96 bytes; null: nothing was asked (busy)
    bool ForPackage = false;
    const char* PackageIs = nullptr;  // null: not for the package, or in its update mode
    bool UpdateMode = false;
    bool Busy = false;
    // The dry run only (Plan null: the list's drive).
    const char* Plan = nullptr;  // "update", "latest", "refused", "busy"
    uint32_t Message = 0;        // the deciding message's number; 0: null
    std::string Reason;
};

// The whole document with a line per drive: the built-in package (its revision as the list
// compares it) and, with withDate, the normal image's date (BCD 0xCCYYMMDD; null when 0).
std::string JsonDocument(uint16_t packageRevision, bool withDate, uint32_t imageDate,
                         const JsonDrive* drives, int count);
