#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// Pieces of the Linux console and box that tests reach directly.

// 932 when the first set of LC_ALL, LC_MESSAGES, LANG begins with "ja"; else 437.
uint32_t CodePageFromLocale(const char* lcAll, const char* lcMessages, const char* lang);

// Whether Shift-JIS text must be converted to UTF-8 for this locale: Japanese, and the
// locale does not name a Shift-JIS charset itself.
bool LocaleNeedsUtf8(const char* lcAll, const char* lcMessages, const char* lang);

// Shift-JIS (CP932) to UTF-8; on any failure the bytes are returned unchanged.
std::string Cp932ToUtf8(const char* text);

// The answer a typed line gives in a box with MessageBoxA's `flags`: 1, 2, 6 or 7, or 0
// when the line names none of the box's buttons. A button is named by its letter or its
// whole word in either case, also in full-width letters (UTF-8 or Shift-JIS).
int ParseBoxAnswer(const char* line, uint32_t flags);

// Waits until the next answer can be read from `in`. False when `gone` says the terminal went
// away first, including by a hang-up that arrives at any moment of the wait.
bool AwaitAnswer(FILE* in, bool (*gone)());

// Draws the box on `out` and reads answers from `in` until one names a button; returns it,
// or 0 when input ends first, the box cannot be written, or `gone` (if given) turns true
// while an answer is awaited. After an answer that names no button, `hint` (already in the
// terminal's encoding; the English BoxHint when null) says what to type, and the box asks
// again.
int RunTerminalBox(FILE* in, FILE* out, const char* text, const char* caption, uint32_t flags,
                   const char* hint = nullptr, bool (*gone)() = nullptr);

// Which answers a box with `flags` takes, in English or (Shift-JIS) Japanese.
const char* BoxHint(uint32_t flags, bool japanese);

// The line for standard error when a question cannot be shown at all, without a line end:
// English, or Japanese as Shift-JIS.
const char* NoTerminalNotice(bool japanese);
