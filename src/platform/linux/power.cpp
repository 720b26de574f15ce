// The machine around the drive on Linux: a logind inhibitor (over D-Bus with sd-bus) while a
// drive is written, and the power supplies under /sys/class/power_supply.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if ODD_LOGIND
#include <systemd/sd-bus.h>
#endif

#include "platform/linux/linux_console.h"
#include "platform/linux/linux_device.h"
#include "platform/platform_console.h"
#include "platform/platform_power.h"

namespace {

int Inhibitor = -1;

bool Japanese() {
    return PlatformGetOemCodePage() == 932;
}

void SayOnStderr(const char* line) {
    PlatformWriteError((std::string(line) + "\n").c_str());
}

const char* const LowBatteryText[2] = {
    "odd-fwupdate: drive %s is not updated: the machine runs on battery at %d %%, below %d %%. "
    "Plug in the power adapter and run odd-fwupdate again.",
    "odd-fwupdate: \x83h\x83\x89\x83"
    "C\x83u %s \x82\xcd\x8dX\x90V\x82\xb5\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\x83o\x83"
    "b\x83"
    "e\x83\x8a\x81[\x82\xcc\x8e"
    "c\x97\xca\x82\xaa %d %% \x82\xc5\x81"
    "A%d %% \x82\xf0\x89\xba\x89\xf1\x82\xc1\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81"
    "B\x93"
    "d\x8c\xb9\x83"
    "A\x83_\x83v\x83^\x81[\x82\xf0\x82\xc2\x82\xc8\x82\xa2\x82\xc5\x82\xa9\x82\xe7\x81"
    "A\x82\xe0\x82\xa4\x88\xea\x93x\x8e\xc0\x8ds\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2"
    "\x81"
    "B",
};

#if ODD_LOGIND
// Everything that would take the machine away from the drive: shutdown and reboot, suspend
// and hibernation, the idle action, and the keys and the lid that trigger them.
const char* const InhibitWhat =
    "shutdown:sleep:idle:handle-lid-switch:handle-power-key:handle-suspend-key:"
    "handle-hibernate-key";
const char* const InhibitWho = "odd-fwupdate";
// "block": the action waits until the descriptor is closed ("delay" would only postpone it
// by a few seconds).
const char* const InhibitMode = "block";
// logind answers at once; a bus that does not is not waited on for long.
constexpr uint64_t InhibitTimeoutUs = 5000000;

const char* const NotHeldText[2] = {
    "odd-fwupdate: shutdown, sleep and idle could not be held off while drive %s is written "
    "(%s); do not suspend, shut down or close the lid until the update is over.",
    "odd-fwupdate: \x83h\x83\x89\x83"
    "C\x83u %s \x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x92\x86\x82\xcc\x83V\x83\x83\x83"
    "b\x83g\x83_\x83"
    "E\x83\x93\x81"
    "A\x83X\x83\x8a\x81[\x83v\x81"
    "A\x83"
    "A\x83"
    "C\x83h\x83\x8b\x8e\x9e\x82\xcc\x93\xae\x8d\xec\x82\xf0\x8e~\x82\xdf\x82\xe7\x82\xea\x82\xdc"
    "\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd (%s)\x81"
    "B\x8dX\x90V\x82\xaa\x8fI\x82\xed\x82\xe9\x82\xdc\x82\xc5\x81"
    "A\x83T\x83X\x83y\x83\x93\x83h\x81"
    "A\x83V\x83\x83\x83"
    "b\x83g\x83_\x83"
    "E\x83\x93\x81"
    "A\x82\xd3\x82\xbd\x82\xf0\x95\xc2\x82\xb6\x82\xe9\x82\xb1\x82\xc6\x82\xcd\x82\xb5\x82\xc8"
    "\x82\xa2\x82\xc5\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81"
    "B",
};

// logind refused or failed: the update goes on, and the user is told once what is not held.
void ReportNotHeld(char letter, const char* reason) {
    static bool said = false;
    if (said) return;
    said = true;
    char name[48];
    DriveNameForLetter(letter, name, sizeof name);
    char line[768];
    std::snprintf(line, sizeof line, NotHeldText[Japanese() ? 1 : 0], name, reason);
    SayOnStderr(line);
}

// No bus, or no logind on it (a container, a minimal install): nothing can suspend the machine
// through logind, so there is nothing to hold.
bool LogindAbsent(const sd_bus_error& error) {
    return sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
           std::strncmp(error.name, "org.freedesktop.DBus.Error.Spawn.", 33) == 0 ||
           std::strncmp(error.name, "org.freedesktop.systemd1.", 25) == 0;
}

void TakeInhibitor(char letter) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return;
    char name[48];
    DriveNameForLetter(letter, name, sizeof name);
    char why[128];
    std::snprintf(why, sizeof why, "Writing the firmware of DVD drive %s", name);

    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                           "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "Inhibit");
    if (r >= 0) r = sd_bus_message_append(call, "ssss", InhibitWhat, InhibitWho, why, InhibitMode);
    if (r >= 0) r = sd_bus_call(bus, call, InhibitTimeoutUs, &error, &reply);
    if (r < 0) {
        if (sd_bus_error_is_set(&error)) {
            if (!LogindAbsent(error)) {
                ReportNotHeld(letter, error.message != nullptr ? error.message : error.name);
            }
        } else if (r == -ETIMEDOUT) {
            ReportNotHeld(letter, "logind did not answer");
        }
        // Any other failure is the bus's own: there is none to speak of.
    } else {
        int fd = -1;
        if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) {
            // The reply owns its descriptor: the hold lives in a copy of it.
            Inhibitor = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        }
        if (Inhibitor < 0) ReportNotHeld(letter, "no descriptor from logind");
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
}
#else
// Built without libsystemd: the machine is not held.
void TakeInhibitor(char) {}
#endif

// ---- the power supplies -----------------------------------------------------------------

const char* const PowerSupplyFolder = "/sys/class/power_supply";

// The attribute's first line, without its line end; false when it cannot be read.
bool ReadAttribute(const std::string& folder, const char* attribute, char* text, size_t size) {
    text[0] = '\0';
    std::FILE* file = std::fopen((folder + "/" + attribute).c_str(), "r");
    if (file == nullptr) return false;
    const bool read = std::fgets(text, static_cast<int>(size), file) != nullptr;
    std::fclose(file);
    if (!read) {
        text[0] = '\0';
        return false;
    }
    text[std::strcspn(text, "\n")] = '\0';
    return true;
}

int64_t ReadNumber(const std::string& folder, const char* attribute) {
    char text[32];
    if (!ReadAttribute(folder, attribute, text, sizeof text) || text[0] == '\0') return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0) return -1;
    return value;
}

int32_t SmallNumber(int64_t value) {
    return value > 0x7FFFFFFF ? -1 : static_cast<int32_t>(value);
}

}  // namespace

void PlatformSetThreadExecutionState(uint32_t flags, char letter) {
    const bool hold = (flags & ES_CONTINUOUS) != 0 && (flags & ES_SYSTEM_REQUIRED) != 0;
    if (hold) {
        if (Inhibitor < 0) TakeInhibitor(letter);
        return;
    }
    if ((flags & ES_CONTINUOUS) != 0 && Inhibitor >= 0) {
        close(Inhibitor);
        Inhibitor = -1;
    }
}

bool PlatformGetSystemPowerStatus(SystemPowerStatus*) {
    return false;
}

int PlatformReadPowerSupplies(PowerSupply* supplies, int capacity) {
    DIR* folder = opendir(PowerSupplyFolder);
    if (folder == nullptr) return 0;
    int count = 0;
    while (count < capacity) {
        const dirent* entry = readdir(folder);
        if (entry == nullptr) break;
        if (entry->d_name[0] == '.') continue;
        const std::string path = std::string(PowerSupplyFolder) + "/" + entry->d_name;
        PowerSupply& supply = supplies[count];
        if (!ReadAttribute(path, "type", supply.Type, sizeof supply.Type)) continue;
        ReadAttribute(path, "scope", supply.Scope, sizeof supply.Scope);
        supply.Online = SmallNumber(ReadNumber(path, "online"));
        supply.Capacity = SmallNumber(ReadNumber(path, "capacity"));
        supply.EnergyNow = ReadNumber(path, "energy_now");
        supply.EnergyFull = ReadNumber(path, "energy_full");
        ++count;
    }
    closedir(folder);
    return count;
}

void PlatformReportLowBattery(char letter, int percent, int threshold) {
    char name[48];
    DriveNameForLetter(letter, name, sizeof name);
    char line[512];
    std::snprintf(line, sizeof line, LowBatteryText[Japanese() ? 1 : 0], name, percent, threshold);
    SayOnStderr(line);
}
