#include "base/image_fingerprint.h"

namespace {

constexpr uint64_t FnvOffsetBasis = 0xCBF29CE484222325ULL;
constexpr uint64_t FnvPrime = 0x100000001B3ULL;

}  // namespace

ImageFingerprint FingerprintOf(const uint8_t* bytes, uint32_t count) {
    uint64_t digest = FnvOffsetBasis;
    for (uint32_t i = 0; i < count; ++i) {
        digest ^= bytes[i];
        digest *= FnvPrime;
    }
    return ImageFingerprint{count, digest};
}

bool SameFingerprint(const ImageFingerprint& a, const ImageFingerprint& b) {
    return a.Bytes == b.Bytes && a.Digest == b.Digest;
}
