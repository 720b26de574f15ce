#include "run/json_output.h"

#include <cstdio>
#include <cstring>

#include "base/run_state.h"
#include "run/run_driver.h"
#include "update/drive_identity.h"

namespace {

constexpr int VendorOffset = 8;
constexpr int ProductOffset = 16;
constexpr int RevisionOffset = 32;
constexpr int DateOffset = 37;

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x", value & 0xFF);
    return text;
}

std::string Bool(bool value) {
    return value ? "true" : "false";
}

std::string TextOrNull(const char* text) {
    return text == nullptr ? "null" : JsonText(std::string(text));
}

std::string RevisionOf(uint16_t revision) {
    char text[8];
    std::snprintf(text, sizeof text, "%x.%02x", (revision >> 8) & 0xF, revision & 0xFF);
    return text;
}

std::string DriveObject(const JsonDrive& drive) {
    char letter[2] = {drive.Letter, '\0'};
    std::string text = "{\"letter\": " + JsonText(std::string(letter)) +
                       ", \"device\": " + JsonText(drive.Device) + ", \"generic\": " +
                       (drive.Generic.empty() ? "null" : JsonText(drive.Generic));
    const uint8_t* inquiry = drive.Inquiry;
    if (inquiry != nullptr) {
        text += ", \"vendor\": " + JsonText(inquiry + VendorOffset, 8) +
                ", \"product\": " + JsonText(inquiry + ProductOffset, 16) +
                ", \"revision\": " + JsonText(inquiry + RevisionOffset, 4) +
                ", \"date\": " + JsonText(inquiry + DateOffset, InquiryDateLength(inquiry));
    } else {
        text += ", \"vendor\": null, \"product\": null, \"revision\": null, \"date\": null";
    }
    text += ", \"for_package\": " + Bool(drive.ForPackage) +
            ", \"package_is\": " + TextOrNull(drive.PackageIs) +
            ", \"update_mode\": " + Bool(drive.UpdateMode) + ", \"busy\": " + Bool(drive.Busy);
    if (drive.Plan != nullptr) {
        text += ", \"plan\": " + JsonText(std::string(drive.Plan)) +
                ", \"message\": " + (drive.Message != 0 ? std::to_string(drive.Message) : "null") +
                ", \"reason\": " + JsonText(drive.Reason);
    }
    return text + "}";
}

}  // namespace

std::string JsonText(const uint8_t* bytes, size_t length) {
    while (length > 0 && (bytes[length - 1] == ' ' || bytes[length - 1] == '\0')) --length;
    std::string text = "\"";
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = bytes[i];
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            text += "\\u00" + Hex2(c);
        }
    }
    return text + "\"";
}

std::string JsonText(const std::string& text) {
    return JsonText(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

uint16_t PackageRevision(const DefinitionEntry& entry) {
    if (entry.RevisionText[0] != '\0' && std::memcmp(entry.RevisionText, "0000", 4) != 0) {
        return RevisionNumber(reinterpret_cast<const uint8_t*>(entry.RevisionText));
    }
    return State.NewRevision;
}

size_t InquiryDateLength(const uint8_t* inquiry) {
    return inquiry[39] == '/' && inquiry[42] == '/' ? 8 : 10;
}

const char* PackageIs(uint16_t package, const uint8_t* inquiry) {
    const uint16_t current = RevisionNumber(inquiry + RevisionOffset);
    return package > current ? "newer" : package == current ? "same" : "older";
}

std::string JsonDocument(uint16_t packageRevision, bool withDate, uint32_t imageDate,
                         const JsonDrive* drives, int count) {
    const DefinitionEntry& entry = State.Definition.Entries[0];
    char program[40];
    std::snprintf(program, sizeof program, "odd-fwupdate %d.%02d%c", VersionMajor, VersionMinor,
                  VersionLetter);
    std::string text =
        "{\"version\": 1, \"program\": " + JsonText(std::string(program)) +
        ", \"package\": {\"vendor\": " +
        JsonText(reinterpret_cast<const uint8_t*>(entry.Vendor), sizeof entry.Vendor) +
        ", \"product\": " +
        JsonText(reinterpret_cast<const uint8_t*>(entry.Product), sizeof entry.Product) +
        ", \"revision\": " + JsonText(RevisionOf(packageRevision));
    if (withDate) {
        char date[16];
        std::snprintf(date, sizeof date, "%02x%02x/%02x/%02x", imageDate >> 24 & 0xFF,
                      imageDate >> 16 & 0xFF, imageDate >> 8 & 0xFF, imageDate & 0xFF);
        text +=
            std::string(", \"date\": ") + (imageDate != 0 ? JsonText(std::string(date)) : "null");
    }
    text += "}, \"drives\": [";
    for (int i = 0; i < count; ++i) {
        text += (i == 0 ? "\n  " : ",\n  ") + DriveObject(drives[i]);
    }
    return text + (count > 0 ? "\n]}\n" : "]}\n");
}
