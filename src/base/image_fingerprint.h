#pragma once
#include <cstdint>

// What an image held when it was checked: its byte count and a 64-bit digest of those bytes
// (FNV-1a). An image read again before it is written must give the same fingerprint, or the
// bytes written would not be the bytes checked.
struct ImageFingerprint {
    uint32_t Bytes;
    uint64_t Digest;
};

ImageFingerprint FingerprintOf(const uint8_t* bytes, uint32_t count);

bool SameFingerprint(const ImageFingerprint& a, const ImageFingerprint& b);
