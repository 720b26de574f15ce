#pragma once

// The Japanese texts of the Linux command line, Shift-JIS (see command_line_ja.utf8.txt).

extern const char* const UsageJa;
extern const char* const UnknownOptionJa;
extern const char* const UnknownWordJa;
extern const char* const OneActionJa;
extern const char* const YesOnlyRunJa;
extern const char* const JsonOnlyListJa;
extern const char* const NotDriveJa;
extern const char* const NoDriveOpenedJa;
extern const char* const NoDriveFoundJa;
extern const char* const InUseNotAskedJa;
extern const char* const NoneForPackageJa;
extern const char* const SomeNotOpenedJa;
extern const char* const HelpIntroJa;
