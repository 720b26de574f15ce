#include <cstdio>
#include <cstring>

#include "base/run_state.h"
#include "console/message.h"
#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "discovery/target_enumeration.h"
#include "update/drive_identity.h"
#include "update/legacy_generation.h"
#include "update/legacy_models.h"

namespace {

const char* const MakerName = "KESTREL ";
constexpr size_t MakerNameLength = 8;
const char* const UnrecognisedModel = "Not recognize   ";
constexpr int ModelFieldLength = 16;
constexpr int ShortFieldLength = 12;  // kinds 8 and 10 compare 12 bytes of their texts

constexpr uint32_t InfoReadLength = 64;
constexpr uint32_t SignedReadLength = 32;

constexpr uint32_t MemoryBlock = 0x8000;
constexpr uint32_t FirstAreaEnd = 0x400;
constexpr uint32_t SkippedAreaEnd = 0x450;  // 0x400..0x44F differ from drive to drive

void TakeModelInfo(const uint8_t* modelCode, const uint8_t* cpuType) {
    std::memcpy(State.DriveModelCode, modelCode, ModelFieldLength);
    std::memcpy(State.DriveCpuType, cpuType, ModelFieldLength);
}

bool IsMakerName(const uint8_t* at) {
    return std::memcmp(at, MakerName, MakerNameLength) == 0;
}

int ReportReadFailure() {
    CaptureSense();
    std::snprintf(State.Text, sizeof State.Text, "\r\nError Code : %06lx",
                  static_cast<unsigned long>(State.SenseCode));
    ConsolePrint(State.Text);
    return -1;
}

bool SameBytes(const void* a, const void* b, size_t length) {
    return std::memcmp(a, b, length) == 0;
}

// Compares `length` bytes of ImageBuffer at `offset`; a place outside the buffer never
// matches.
bool ImageHolds(uint32_t offset, const void* expected, size_t length) {
    if (State.ImageBuffer == nullptr || offset > State.ImageBufferSize ||
        length > State.ImageBufferSize - offset) {
        return false;
    }
    return SameBytes(State.ImageBuffer + offset, expected, length);
}

int CheckLegacyImage() {
    const CurrentSelection& selection = State.Selection;
    const int kind = State.CurrentKind;
    const bool signedModel = kind == LegacyKind9 || kind == LegacyKind11;

    if (!SameBytes(selection.Vendor, State.InquiryData + InquiryOffset::VendorId, 8) ||
        !SameBytes(selection.Product, State.InquiryData + InquiryOffset::ProductId, 16)) {
        ShowMessage(49, StyleReport);
        return -1;
    }
    if (RevisionNumber(reinterpret_cast<const uint8_t*>(selection.RevisionText)) <=
        State.DriveRevisionNumber) {
        ShowMessage(4, StyleReport);
        return 1;
    }

    const uint8_t* expectedModel = kind == LegacyKind9 ? LegacySignatureModel9
                                   : kind == LegacyKind11
                                       ? LegacySignatureModel11
                                       : reinterpret_cast<const uint8_t*>(selection.ModelCode);
    if (!SameBytes(State.DriveModelCode, expectedModel, ModelFieldLength)) {
        ShowMessage(64, StyleReport);
        return -1;
    }

    bool cpuMatches;
    if (signedModel) {
        cpuMatches = SameBytes(State.DriveCpuType, LegacySignatureCpu, LegacySignatureLength);
    } else if (kind == LegacyKind10) {
        cpuMatches = SameBytes(State.DriveCpuType, selection.CpuType, ShortFieldLength);
    } else {
        const size_t length = strnlen(selection.CpuType, sizeof selection.CpuType);
        cpuMatches = SameBytes(State.DriveCpuType, selection.CpuType, length);
    }
    if (!cpuMatches) {
        ShowMessage(65, StyleReport);
        return -1;
    }

    bool imageModel;
    bool imageCpu;
    switch (kind) {
        case LegacyKind9:
        case LegacyKind11:
            imageModel = ImageHolds(LegacyInfoPlaceSigned, expectedModel, LegacySignatureLength);
            imageCpu =
                ImageHolds(LegacyInfoPlaceSigned + 0x10, LegacySignatureCpu, LegacySignatureLength);
            break;
        case LegacyKind8:
            imageModel =
                ImageHolds(LegacyInfoPlaceLow + 0x10, selection.ModelCode, ShortFieldLength);
            imageCpu = ImageHolds(LegacyInfoPlaceLow + 0x20, selection.CpuType, ShortFieldLength);
            break;
        case LegacyKind10:
            imageModel =
                ImageHolds(LegacyInfoPlaceHigh + 0x10, selection.ModelCode, ShortFieldLength);
            imageCpu = ImageHolds(LegacyInfoPlaceHigh + 0x20, selection.CpuType, ShortFieldLength);
            break;
        default:
            imageModel = ImageHolds(LegacyInfoPlaceLow, selection.ModelCode, ModelFieldLength);
            imageCpu = ImageHolds(LegacyInfoPlaceLow + 0x10, selection.CpuType, ModelFieldLength);
            break;
    }
    if (!imageModel) {
        ShowMessage(64, StyleReport);
        return -1;
    }
    if (!imageCpu) {
        ShowMessage(40, StyleReport);
        return -1;
    }
    return 0;
}

}  // namespace

uint16_t LegacyRevisionNumber(const char* text) {
    if (std::memcmp(text, "0000", 4) == 0) return 0;
    return RevisionNumber(reinterpret_cast<const uint8_t*>(text));
}

int LegacySelectDefinition() {
    int value = Inquiry(State.SelectedTarget, State.InquiryData);
    if (value != 0) {
        ShowMessage(9, StyleError);
    } else {
        value = ReadLegacyModelInfo();
        if (value != 0) {
            ShowMessage(0, StyleError);
        } else {
            const int entry = MatchDefinition(State.InquiryData);
            if (entry >= 0) SelectDefinitionEntry(entry);
        }
    }
    State.NewRevision = LegacyRevisionNumber(State.Selection.RevisionText);
    return value;
}

int ReadLegacyModelInfo() {
    uint8_t* const memory = State.WorkBuffer;
    if (memory == nullptr || State.WorkBufferSize < InfoReadLength) return -1;

    if (LegacyReadMemory(LegacyInfoPlaceLow, InfoReadLength, memory) != 0) {
        return ReportReadFailure();
    }
    if (IsMakerName(memory)) {
        TakeModelInfo(memory, memory + 16);
        return 0;
    }
    if (IsMakerName(memory + 16)) {
        TakeModelInfo(memory + 16, memory + 32);
        return 0;
    }

    if (LegacyReadMemory(LegacyInfoPlaceHigh, InfoReadLength, memory) != 0) {
        return ReportReadFailure();
    }
    if (IsMakerName(memory + 16)) {
        TakeModelInfo(memory + 16, memory + 32);
        return 0;
    }

    if (LegacyReadMemory(LegacyInfoPlaceSigned, SignedReadLength, memory) != 0) {
        return ReportReadFailure();
    }
    if (SameBytes(memory, LegacySignatureModel9, LegacySignatureLength) ||
        SameBytes(memory, LegacySignatureModel11, LegacySignatureLength) ||
        SameBytes(memory, LegacySignatureModelOther, LegacySignatureLength)) {
        TakeModelInfo(memory, memory + 16);
        return 0;
    }

    const auto* unrecognised = reinterpret_cast<const uint8_t*>(UnrecognisedModel);
    TakeModelInfo(unrecognised, unrecognised);
    return 0;
}

int ValidateLegacyImage() {
    const int result = CheckLegacyImage();
    State.NewRevision = LegacyRevisionNumber(State.Selection.RevisionText);
    return result;
}

int CompareDriveMemory(uint32_t length) {
    // Whole blocks are read; what cannot be read into both buffers cannot be compared.
    const uint64_t reach = (uint64_t{length} + MemoryBlock - 1) / MemoryBlock * MemoryBlock;
    const uint64_t compared = reach < MemoryBlock ? MemoryBlock : reach;
    if (State.WorkBuffer == nullptr || State.ImageBuffer == nullptr ||
        compared > State.WorkBufferSize || compared > State.ImageBufferSize) {
        return -3;
    }

    for (uint32_t offset = 0; offset < length; offset += MemoryBlock) {
        const int result = LegacyReadMemory(offset, MemoryBlock, State.WorkBuffer + offset);
        if (result != 0) return result;
    }
    const uint8_t* drive = State.WorkBuffer;
    const uint8_t* image = State.ImageBuffer;
    if (!SameBytes(drive, image, FirstAreaEnd)) return -1;
    if (!SameBytes(drive + SkippedAreaEnd, image + SkippedAreaEnd, MemoryBlock - SkippedAreaEnd)) {
        return -2;
    }
    for (uint32_t offset = MemoryBlock; offset < length; offset += MemoryBlock) {
        if (!SameBytes(drive + offset, image + offset, MemoryBlock)) return -3;
    }
    return 0;
}
