#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// The fuzzer's bytes, taken front to back; past the end every byte reads as 0, so any input
// gives a complete case.
struct FuzzInput {
    const uint8_t* Data;
    size_t Size;
    size_t At;
};

inline FuzzInput MakeFuzzInput(const uint8_t* data, size_t size) {
    return {data, size, 0};
}

inline uint8_t TakeByte(FuzzInput& in) {
    return in.At < in.Size ? in.Data[in.At++] : 0;
}

inline uint32_t TakeU32(FuzzInput& in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{TakeByte(in)} << (8 * i);
    return value;
}

inline void TakeBytes(FuzzInput& in, uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = TakeByte(in);
}

// A text of exactly `width` bytes, any bytes at all (NUL included).
inline std::string TakeText(FuzzInput& in, size_t width) {
    std::string text(width, '\0');
    for (size_t i = 0; i < width; ++i) text[i] = static_cast<char>(TakeByte(in));
    return text;
}

inline size_t Remaining(const FuzzInput& in) {
    return in.At < in.Size ? in.Size - in.At : 0;
}

// Stops the fuzzer on a broken promise, so the input is kept as a crash.
#define FUZZ_REQUIRE(condition)             \
    do {                                    \
        if (!(condition)) __builtin_trap(); \
    } while (0)
