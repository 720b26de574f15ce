#pragma once
#include <cstdint>

// Where a message goes and which buttons its box has.
enum MessageStyle : int32_t {
    StyleReport = 0,
    StyleOkCancel = 1,
    StyleYesNo = 2,
    StyleError = 16,
    StyleInformation = 17,
    StyleWarning = 18,
};

// Answers of a box (MessageBoxA's ID* values); 0 when no box could be shown.
constexpr int AnswerNone = 0;
constexpr int AnswerOk = 1;
constexpr int AnswerCancel = 2;
constexpr int AnswerYes = 6;
constexpr int AnswerNo = 7;

constexpr uint32_t CodePageJapanese = 932;
constexpr uint32_t CodePageEnglish = 437;

// Builds message `code` in the run's language from the current run values and shows it
// as `style` says; returns the answer (0 for console-only styles).
int ShowMessage(uint32_t code, int32_t style);

// Writes text to the console unchanged.
void ConsolePrint(const char* text);

// The box under the caption "VELMOR" with the buttons and icon of `style`.
int ShowMessageBox(const char* text, int32_t style);

// Prints the text of a file layer failure cause (1..14); other causes print nothing.
void ReportFileException(int cause);
