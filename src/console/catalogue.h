#pragma once
#include <cstdint>

// Message numbers 0..100 may carry a text; nullptr marks a number without one.
constexpr unsigned MessageCodeCount = 101;

extern const char* const MessageTextEn[MessageCodeCount];
// Shift-JIS (code page 932) bytes, parallel to MessageTextEn.
extern const char* const MessageTextJa[MessageCodeCount];

extern const char* const UnknownMessageText;
