#include "platform/platform_log.h"

// Windows keeps no record: the Windows program behaves as it always has. Its event log would
// need an event source registered in the registry (with a message file) by an installer,
// which this program, copied into the package's folder and started from there, does not have.
void PlatformLogRecord(LogLevel, char, const char*, const char*) {}
