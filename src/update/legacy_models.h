#pragma once
#include <cstdint>

// Data of the older drive generation's models: their kind codes, where their memory holds
// the model code and CPU type, and the binary signatures of the models that carry them.

constexpr int LegacyKindLastCompared = 7;  // kinds up to 7 are verified by memory read-back
constexpr int LegacyKind8 = 8;
constexpr int LegacyKind9 = 9;
constexpr int LegacyKind10 = 10;
constexpr int LegacyKind11 = 11;

constexpr int LegacySignatureLength = 16;

// S0: CPU type of the kind 9 and kind 11 models.
constexpr uint8_t LegacySignatureCpu[LegacySignatureLength] = {
    0x4B, 0x43, 0x50, 0x55, 0x2D, 0x53, 0x48, 0x32, 0x00, 0x00, 0x09, 0x0B, 0x5A, 0xC3, 0x1E, 0x00};
// S1: model code of kind 9.
constexpr uint8_t LegacySignatureModel9[LegacySignatureLength] = {
    0x4B, 0x4D, 0x44, 0x4C, 0x00, 0x09, 0x01, 0x00, 0xA5, 0x3C, 0x96, 0x0F, 0x71, 0x2E, 0xD8, 0x09};
// S2: model code of kind 11.
constexpr uint8_t LegacySignatureModel11[LegacySignatureLength] = {
    0x4B, 0x4D, 0x44, 0x4C, 0x00, 0x0B, 0x01, 0x00, 0x5A, 0xC3, 0x69, 0xF0, 0x8E, 0xD1, 0x27, 0x0B};
// S3: a further model code that is recognised in the drive's memory but never required.
constexpr uint8_t LegacySignatureModelOther[LegacySignatureLength] = {
    0x4B, 0x4D, 0x44, 0x4C, 0x00, 0x0C, 0x02, 0x00, 0x3C, 0xA5, 0xF0, 0x96, 0x1B, 0x64, 0xE2, 0x0C};

// Where a drive's memory holds its model code (and the CPU type behind it).
constexpr uint32_t LegacyInfoPlaceLow = 0x1000;      // "KESTREL " at byte 0 or at byte 16
constexpr uint32_t LegacyInfoPlaceHigh = 0x1C000;    // "KESTREL " at byte 16
constexpr uint32_t LegacyInfoPlaceSigned = 0x1F000;  // a signature at byte 0
