// The system log on Linux: syslog(3) under the ident "odd-fwupdate" with the process id, in
// the user facility; journald (or a syslog daemon) keeps it. Without either the call is lost
// quietly, which must never stop an update.
#include <syslog.h>

#include "platform/linux/linux_device.h"
#include "platform/platform_log.h"

namespace {

bool Opened = false;

int Priority(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return LOG_ERR;
        case LogLevel::Warning:
            return LOG_WARNING;
        default:
            return LOG_NOTICE;
    }
}

}  // namespace

void PlatformLogRecord(LogLevel level, char letter, const char* event, const char* details) {
    if (!Opened) {
        openlog("odd-fwupdate", LOG_PID, LOG_USER);
        Opened = true;
    }
    char node[32];
    if (!DevicePathForLetter(letter, node, sizeof node)) {
        syslog(LOG_USER | Priority(level), "%s drive=- node=- %s", event, details);
        return;
    }
    syslog(LOG_USER | Priority(level), "%s drive=%c node=%s %s", event, letter, node, details);
}
