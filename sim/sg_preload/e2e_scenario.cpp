#include "e2e_scenario.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Words of a line; "..." keeps blanks and takes escapes.
bool Tokenize(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        std::string word;
        if (line[i] == '"') {
            size_t end = i + 1;
            while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
            if (end >= line.size()) return false;
            word = DecodeEscapes(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            // A quoted part inside a word (run="--list --dry-run") keeps its blanks too.
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                if (line[i] != '"') {
                    word += line[i++];
                    continue;
                }
                size_t end = i + 1;
                while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
                if (end >= line.size()) return false;
                word += DecodeEscapes(line.substr(i + 1, end - i - 1));
                i = end + 1;
            }
        }
        words.push_back(word);
    }
    return true;
}

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool ParseHexByte(const std::string& text, int& value) {
    if (text.size() != 2 || HexDigit(text[0]) < 0 || HexDigit(text[1]) < 0) return false;
    value = HexDigit(text[0]) * 16 + HexDigit(text[1]);
    return true;
}

bool ParseErrno(const std::string& name, int& value) {
    static const std::pair<const char*, int> names[] = {
        {"EACCES", EACCES}, {"EPERM", EPERM},   {"ENOENT", ENOENT},       {"ENXIO", ENXIO},
        {"ENODEV", ENODEV}, {"EIO", EIO},       {"EBUSY", EBUSY},         {"EROFS", EROFS},
        {"EINVAL", EINVAL}, {"EAGAIN", EAGAIN}, {"ENOMEDIUM", ENOMEDIUM},
    };
    for (const auto& entry : names) {
        if (name == entry.first) {
            value = entry.second;
            return true;
        }
    }
    return false;
}

bool SplitPair(const std::string& word, std::string& key, std::string& value) {
    const size_t at = word.find('=');
    if (at == std::string::npos || at == 0) return false;
    key = word.substr(0, at);
    value = word.substr(at + 1);
    return true;
}

// "KK/AA/QQ"
bool ParseSense(const std::string& text, E2eFault& fault) {
    int key, asc, ascq;
    if (text.size() != 8 || text[2] != '/' || text[5] != '/' ||
        !ParseHexByte(text.substr(0, 2), key) || !ParseHexByte(text.substr(3, 2), asc) ||
        !ParseHexByte(text.substr(6, 2), ascq)) {
        return false;
    }
    fault.SenseKey = static_cast<uint8_t>(key);
    fault.Asc = static_cast<uint8_t>(asc);
    fault.Ascq = static_cast<uint8_t>(ascq);
    return true;
}

// The indented lines of a second program: exit N, stdout TEXT (escapes decoded, nothing
// added, as in the stdout block), stderr TEXT (one line).
bool ParseMeanwhileLine(const std::string& line, const std::vector<std::string>& words,
                        E2eMeanwhile& meanwhile, std::string& why) {
    const std::string& key = words[0];
    uint32_t code = 0;
    if (key == "exit" && words.size() == 2 && ParseNumber(words[1], code)) {
        meanwhile.ExitCode = static_cast<int>(code);
        return true;
    }
    if (key != "stdout" && key != "stderr") {
        why = "a second program takes exit N, stdout TEXT and stderr TEXT";
        return false;
    }
    const size_t rest = line.find_first_not_of(" \t", line.find(key) + key.size());
    const std::string text =
        rest == std::string::npos ? std::string() : DecodeEscapes(line.substr(rest));
    if (key == "stdout") {
        meanwhile.Stdout += text;
    } else {
        meanwhile.Stderr += text + "\n";
    }
    return true;
}

// fault EFFECT [opcode=3b] [mode=07] [buffer=f0] [skip=N] [times=N]
bool ParseFault(const std::vector<std::string>& words, E2eFault& fault, std::string& why) {
    if (words.size() < 2) {
        why = "fault needs an effect";
        return false;
    }
    const std::string& effect = words[1];
    if (effect == "eio") {
        fault.Effect = E2eFaultEffect::Eio;
    } else if (effect == "eio-late") {
        fault.Effect = E2eFaultEffect::EioLate;
    } else if (effect == "timeout") {
        fault.Effect = E2eFaultEffect::Timeout;
    } else if (effect.compare(0, 6, "check=") == 0) {
        fault.Effect = E2eFaultEffect::Check;
        if (!ParseSense(effect.substr(6), fault)) {
            why = "bad sense " + effect;
            return false;
        }
    } else if (effect.compare(0, 7, "signal=") == 0) {
        fault.Effect = E2eFaultEffect::Signal;
        fault.SignalNumber = E2eSignalNumber(effect.substr(7));
        if (fault.SignalNumber == 0) {
            why = "unknown signal " + effect;
            return false;
        }
    } else if (effect.compare(0, 4, "run=") == 0) {
        fault.Effect = E2eFaultEffect::Run;
        std::istringstream args(effect.substr(4));
        std::string arg;
        while (args >> arg) fault.RunArgs.push_back(arg);
    } else if (effect.compare(0, 6, "delay=") == 0) {
        fault.Effect = E2eFaultEffect::Delay;
        if (!ParseNumber(effect.substr(6), fault.ExtraMs)) {
            why = "bad delay " + effect;
            return false;
        }
    } else {
        why = "unknown fault effect " + effect;
        return false;
    }
    for (size_t i = 2; i < words.size(); ++i) {
        std::string key, value;
        uint32_t number = 0;
        int byte = 0;
        if (!SplitPair(words[i], key, value)) {
            why = "bad fault criterion " + words[i];
            return false;
        }
        if ((key == "opcode" || key == "mode" || key == "buffer") && ParseHexByte(value, byte)) {
            (key == "opcode" ? fault.Opcode : key == "mode" ? fault.Mode : fault.BufferId) = byte;
        } else if (key == "skip" && ParseNumber(value, number)) {
            fault.Skip = number;
        } else if (key == "times" && value == "all") {
            fault.Times = -1;
        } else if (key == "times" && ParseNumber(value, number) && number > 0) {
            fault.Times = static_cast<int>(number);
        } else if (key == "delay" && fault.Effect == E2eFaultEffect::Signal &&
                   ParseNumber(value, number)) {
            fault.ExtraMs = number;  // the signal's command answered this much later
        } else {
            why = "bad fault criterion " + words[i];
            return false;
        }
    }
    return true;
}

bool ParseDriveLine(const std::vector<std::string>& words, E2eDrive& drive, std::string& why) {
    const std::string& key = words[0];
    VirtualDrive& m = drive.Model;
    if (key == "fault") {
        E2eFault fault;
        if (!ParseFault(words, fault, why)) return false;
        drive.Faults.push_back(fault);
        return true;
    }
    // Switches without a value.
    if (words.size() == 1) {
        if (key == "no-rawio") {
            drive.RawIo = false;
        } else if (key == "no-sg") {
            drive.HasGenericNode = false;
        } else if (key == "firewire") {
            drive.OnFireWire = true;
        } else if (key == "requires-unlock") {
            m.RequiresUnlock = true;
        } else if (key == "stop-spins-down") {
            m.StopSpinsDown = true;
        } else if (key == "no-poll-attribute") {
            drive.HasPollAttribute = false;
        } else if (key == "poll-attribute-readonly") {
            drive.PollAttributeReadOnly = true;
        } else {
            why = "unknown drive setting " + key;
            return false;
        }
        return true;
    }
    if (words.size() != 2) {
        why = "drive setting " + key + " takes one value";
        return false;
    }
    const std::string& value = words[1];
    std::string* text = key == "vendor"            ? &m.Vendor
                        : key == "product"         ? &m.Product
                        : key == "revision"        ? &m.Revision
                        : key == "date"            ? &m.DateText
                        : key == "kernel-vendor"   ? &m.KernelVendor
                        : key == "kernel-product"  ? &m.KernelProduct
                        : key == "kernel-revision" ? &m.KernelRevision
                        : key == "kernel-date"     ? &m.KernelDateText
                        : key == "hardware"        ? &m.HardwareRevision
                        : key == "kernel-edition"  ? &m.KernelEdition
                        : key == "normal-edition"  ? &m.NormalEdition
                                                   : nullptr;
    if (text != nullptr) {
        *text = value;
        return true;
    }
    uint32_t number = 0;
    if (key == "disc") {
        if (value == "absent") {
            m.Disc = VirtualDisc::Absent;
        } else if (value == "loaded") {
            m.Disc = VirtualDisc::Loaded;
        } else if (value == "becoming-ready") {
            m.Disc = VirtualDisc::BecomingReady;
        } else if (value == "stopped") {
            m.Disc = VirtualDisc::Stopped;
        } else {
            why = "unknown disc state " + value;
            return false;
        }
        return true;
    }
    if (key == "mode") {
        // A drive found running its kernel only has lost its normal part.
        if (value == "kernel") {
            m.Mode = VirtualDriveMode::Kernel;
            m.NormalPartPresent = false;
        } else if (value != "normal") {
            why = "unknown mode " + value;
            return false;
        }
        return true;
    }
    if (key == "scsi-address") {
        // host:channel:id:lun, as SCSI_IOCTL_GET_IDLUN reports them
        unsigned host, channel, id, lun;
        char end;
        if (std::sscanf(value.c_str(), "%u:%u:%u:%u%c", &host, &channel, &id, &lun, &end) != 4 ||
            host > 255 || channel > 255 || id > 255 || lun > 255) {
            why = "scsi-address takes host:channel:id:lun";
            return false;
        }
        m.Place.PortNumber = static_cast<uint8_t>(host);
        m.Place.PathId = static_cast<uint8_t>(channel);
        m.Place.ScsiTargetId = static_cast<uint8_t>(id);
        m.Place.Lun = static_cast<uint8_t>(lun);
        return true;
    }
    if (key == "open-error" || key == "sg-open-error") {
        if (!ParseErrno(value, key == "open-error" ? drive.OpenErrno : drive.GenericOpenErrno)) {
            why = "unknown errno " + value;
            return false;
        }
        return true;
    }
    if (key == "poll-msecs" || key == "poll-default-msecs") {
        // The attribute takes -1 (the default) or a number of milliseconds.
        char* end = nullptr;
        const long ms = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || ms < -1 || ms > 0x7FFFFFFF) {
            why = key + " takes -1 or milliseconds";
            return false;
        }
        (key == "poll-msecs" ? drive.PollMsecs : drive.PollDefaultMsecs) = static_cast<int>(ms);
        return true;
    }
    if (!ParseNumber(value, number)) {
        why = "drive setting " + key + " needs a number";
        return false;
    }
    if (key == "rpc") {
        m.RpcScheme = static_cast<uint8_t>(number);
    } else if (key == "kind") {
        m.Kind = static_cast<uint16_t>(number);
    } else if (key == "switch-value") {
        m.ModeSwitchValue = number;
    } else if (key == "command-ms") {
        m.CommandMs = number;
    } else if (key == "reboot-ms") {
        m.RebootMs = number;
    } else if (key == "stay-in-kernel") {
        m.StayInKernelAfterReflash = number;
    } else if (key == "power-loss-at-chunk") {
        m.PowerLossAtChunk = number;
    } else if (key == "max-transfer") {
        drive.MaxTransfer = number;
    } else {
        why = "unknown drive setting " + key;
        return false;
    }
    return true;
}

bool ParsePackage(const std::vector<std::string>& words, E2ePackage& package, std::string& why) {
    package.Present = true;
    for (size_t i = 1; i < words.size(); ++i) {
        std::string key, value;
        uint32_t number = 0;
        if (!SplitPair(words[i], key, value)) {
            why = "bad package setting " + words[i];
            return false;
        }
        if (key == "revision") {
            package.Revision = value;
        } else if (key == "date") {
            package.Date = value;
        } else if (key == "size" && ParseNumber(value, number)) {
            package.Size = number;
        } else if (key == "for" && ParseNumber(value, number)) {
            package.ForDrive = static_cast<int>(number);
        } else if (key == "names" && value == "lower") {
            package.LowerCaseNames = true;
        } else if (key == "omit" && (value == "normal" || value == "kernel")) {
            (value == "normal" ? package.OmitNormal : package.OmitKernel) = true;
        } else if (key == "fifo" && (value == "normal" || value == "kernel")) {
            (value == "normal" ? package.FifoNormal : package.FifoKernel) = true;
        } else if (key == "illegal" && value == "kernel") {
            package.IllegalKernel = true;
        } else {
            why = "bad package setting " + words[i];
            return false;
        }
    }
    return true;
}

bool ParseDriveNumber(const std::string& text, int& drive) {
    uint32_t number = 0;
    if (!ParseNumber(text, number) || number > 22) return false;
    drive = static_cast<int>(number);
    return true;
}

}  // namespace

std::string DecodeEscapes(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'n') {
            out += '\n';
        } else if (c == 'r') {
            out += '\r';
        } else if (c == 't') {
            out += '\t';
        } else if (c == 'x' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
                   HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string EscapeForDisplay(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += ch;  // UTF-8 stays readable
        }
    }
    return out;
}

bool ExpandRuns(const std::vector<std::string>& items, std::vector<std::string>& out) {
    for (const std::string& item : items) {
        const size_t star = item.rfind('*');
        if (star == std::string::npos) {
            out.push_back(item);
            continue;
        }
        uint32_t count = 0;
        if (star == 0 || !ParseNumber(item.substr(star + 1), count) || count == 0) return false;
        out.insert(out.end(), count, item.substr(0, star));
    }
    return true;
}

std::string FoldRuns(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size();) {
        size_t run = 1;
        while (i + run < items.size() && items[i + run] == items[i]) ++run;
        if (!out.empty()) out += ' ';
        out += items[i];
        if (run > 1) out += "*" + std::to_string(run);
        i += run;
    }
    return out;
}

std::string TraceItem(const uint8_t* cdb, const std::string& outcome) {
    char text[16];
    if (cdb[0] == 0x3B || cdb[0] == 0x3C) {
        std::snprintf(text, sizeof text, "%02x/%02x/%02x", cdb[0], cdb[1] & 0x1F, cdb[2]);
    } else {
        std::snprintf(text, sizeof text, "%02x", cdb[0]);
    }
    return outcome.empty() ? std::string(text) : std::string(text) + "!" + outcome;
}

namespace {

bool Fits(const E2eFault& fault, const uint8_t* cdb) {
    const bool buffer = cdb[0] == 0x3B || cdb[0] == 0x3C;
    if (fault.Opcode >= 0 && fault.Opcode != cdb[0]) return false;
    if (fault.Mode >= 0 && (!buffer || fault.Mode != (cdb[1] & 0x1F))) return false;
    if (fault.BufferId >= 0 && (!buffer || fault.BufferId != cdb[2])) return false;
    return true;
}

bool IsSideFault(const E2eFault& fault) {
    return fault.Effect == E2eFaultEffect::Signal || fault.Effect == E2eFaultEffect::Run;
}

}  // namespace

int E2eSignalNumber(const std::string& name) {
    static const std::pair<const char*, int> names[] = {
        {"INT", SIGINT},   {"HUP", SIGHUP},   {"TERM", SIGTERM},         {"QUIT", SIGQUIT},
        {"TSTP", SIGTSTP}, {"USR1", SIGUSR1}, {"CHLD", SIGCHLD},         {"CONT", SIGCONT},
        {"PIPE", SIGPIPE}, {"KILL", SIGKILL}, {"STOP", E2eStopContinue},
    };
    for (const auto& entry : names) {
        if (name == entry.first) return entry.second;
    }
    return 0;
}

size_t FiringSideFaults(E2eDrive& drive, const uint8_t* cdb, E2eFault** firing, size_t room) {
    size_t count = 0;
    for (E2eFault& fault : drive.Faults) {
        if (!IsSideFault(fault) || fault.Times == 0 || !Fits(fault, cdb)) continue;
        if (fault.Seen++ < fault.Skip) continue;
        if (fault.Times > 0) --fault.Times;
        if (count < room) firing[count++] = &fault;
    }
    return count;
}

E2eFault* FiringFault(E2eDrive& drive, const uint8_t* cdb) {
    for (E2eFault& fault : drive.Faults) {
        if (IsSideFault(fault) || fault.Times == 0 || !Fits(fault, cdb)) continue;
        if (fault.Seen++ < fault.Skip) continue;
        if (fault.Times > 0) --fault.Times;
        return &fault;
    }
    return nullptr;
}

VirtualDriveFault ModelFault(const E2eFault& fault) {
    VirtualDriveFault f;
    f.Times = 1;
    f.SenseKey = fault.SenseKey;
    f.Asc = fault.Asc;
    f.Ascq = fault.Ascq;
    f.ExtraMs = fault.ExtraMs;
    switch (fault.Effect) {
        case E2eFaultEffect::Eio:
            f.Effect = VirtualFaultEffect::CallFails;
            f.CallError = E2eModelIoDeviceError;
            break;
        case E2eFaultEffect::EioLate:
            f.Effect = VirtualFaultEffect::CallFailsLate;
            f.CallError = E2eModelIoDeviceError;
            break;
        case E2eFaultEffect::Timeout:
            f.Effect = VirtualFaultEffect::CallFails;
            f.CallError = E2eModelTimeoutError;
            break;
        case E2eFaultEffect::Check:
            f.Effect = VirtualFaultEffect::CheckCondition;
            break;
        case E2eFaultEffect::Delay:
            f.Effect = VirtualFaultEffect::Delay;
            break;
        case E2eFaultEffect::Signal:  // not the drive's doing: the fake sends the signal
        case E2eFaultEffect::Run:
            f.Effect = VirtualFaultEffect::Delay;
            break;
    }
    return f;
}

bool ParseScenario(const std::string& text, E2eScenario& scenario, std::string& error) {
    scenario = E2eScenario{};
    std::istringstream in(text);
    std::string line;
    int number = 0;
    E2eDrive* drive = nullptr;          // the drive that indented lines set up
    E2eMeanwhile* meanwhile = nullptr;  // or the second program
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(number) + ": " + why;
        return false;
    };

    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        const bool indented = first > 0;

        if (!indented && line == "stdout") {
            scenario.CheckStdout = true;
            while (std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                scenario.Stdout += DecodeEscapes(line);
            }
            break;
        }

        std::vector<std::string> words;
        if (!Tokenize(line, words)) return fail("unterminated quote");
        const std::string& key = words[0];

        if (indented && meanwhile != nullptr) {
            std::string why;
            if (!ParseMeanwhileLine(line, words, *meanwhile, why)) return fail(why);
            continue;
        }
        if (indented) {
            if (drive == nullptr) return fail("indented line outside a drive");
            std::string why;
            if (!ParseDriveLine(words, *drive, why)) return fail(why);
            continue;
        }
        drive = nullptr;
        meanwhile = nullptr;

        if (key == "drive") {
            E2eDrive added;
            if (words.size() != 2 || !ParseDriveNumber(words[1], added.Index)) {
                return fail("drive takes the N of /dev/srN (0 to 22)");
            }
            for (const E2eDrive& other : scenario.Drives) {
                if (other.Index == added.Index) return fail("drive given twice");
            }
            scenario.Drives.push_back(added);
            drive = &scenario.Drives.back();
        } else if (key == "package") {
            std::string why;
            if (!ParsePackage(words, scenario.Package, why)) return fail(why);
        } else if (key == "path") {
            if (words.size() != 2 || (words[1] != "sg" && words[1] != "sr")) {
                return fail("path takes sg or sr");
            }
            scenario.Path = words[1];
        } else if (key == "power-supply") {
            E2ePowerSupply supply;
            if (words.size() < 2 || words[1].find('/') != std::string::npos || words[1][0] == '.') {
                return fail("power-supply takes a name and attribute=value pairs");
            }
            supply.Name = words[1];
            for (size_t i = 2; i < words.size(); ++i) {
                const size_t at = words[i].find('=');
                if (at == std::string::npos || at == 0 || words[i].find('/') != std::string::npos) {
                    return fail("power-supply takes attribute=value pairs");
                }
                supply.Attributes.emplace_back(words[i].substr(0, at), words[i].substr(at + 1));
            }
            scenario.PowerSupplies.push_back(supply);
        } else if (key == "env") {
            if (words.size() != 2 || words[1].find('=') == std::string::npos) {
                return fail("env takes NAME=value");
            }
            scenario.Env.push_back(words[1]);
        } else if (key == "args") {
            scenario.Args.insert(scenario.Args.end(), words.begin() + 1, words.end());
        } else if (key == "stderr") {
            const size_t rest = line.find_first_not_of(" \t", line.find("stderr") + 6);
            scenario.Stderr +=
                (rest == std::string::npos ? std::string() : DecodeEscapes(line.substr(rest))) +
                "\n";
        } else if (key == "syslog") {
            scenario.CheckSyslog = true;
            const size_t rest = line.find_first_not_of(" \t", line.find("syslog") + 6);
            if (rest != std::string::npos)
                scenario.Syslog += DecodeEscapes(line.substr(rest)) + "\n";
        } else if (key == "no-terminal") {
            scenario.NoTerminal = true;
        } else if (key == "stderr-to-stdout") {
            scenario.StderrToStdout = true;
        } else if (key == "link") {
            if (words.size() != 4 || words[2] != "->") return fail("link PATH -> TARGET");
            scenario.Links.emplace_back(words[1], words[3]);
        } else if (key == "within") {
            if (words.size() != 2 || !ParseNumber(words[1], scenario.WithinMs)) {
                return fail("within takes milliseconds");
            }
        } else if (key == "box") {
            if (words.size() < 3 ||
                (words[1] != "yesno" && words[1] != "ok" && words[1] != "okcancel")) {
                return fail("box takes yesno|ok|okcancel, the answer and a text");
            }
            E2eBox box{words[1], words[2], ""};
            // The rest of the line as it stands, so a text may hold several blanks.
            const size_t at = line.find(words[2], line.find(words[1]) + words[1].size());
            const size_t rest = line.find_first_not_of(" \t", at + words[2].size());
            if (rest != std::string::npos) box.Contains = DecodeEscapes(line.substr(rest));
            scenario.Boxes.push_back(box);
        } else if (key == "exit" || key == "second-exit") {
            uint32_t code = 0;
            if (key == "exit" && words.size() == 2 && words[1].compare(0, 7, "signal=") == 0) {
                scenario.ExitSignal = E2eSignalNumber(words[1].substr(7));
                if (scenario.ExitSignal <= 0) return fail("unknown signal " + words[1]);
            } else if (words.size() != 2 || !ParseNumber(words[1], code) || code > 255) {
                return fail(key + " takes a number (or signal=NAME)");
            } else {
                (key == "exit" ? scenario.ExitCode : scenario.SecondExit) = static_cast<int>(code);
            }
        } else if (key == "locked" || key == "stale-lock") {
            E2eLock lock;
            if (words.size() != 3 || !ParseDriveNumber(words[1], lock.Drive) ||
                !ParseNumber(words[2], lock.Pid)) {
                return fail(key + " takes N and a PID");
            }
            lock.Held = key == "locked";
            scenario.Locks.push_back(lock);
        } else if (key == "second-stderr" || key == "second-stdout") {
            const size_t rest = line.find_first_not_of(" \t", line.find(key) + key.size());
            const std::string text =
                rest == std::string::npos ? std::string() : DecodeEscapes(line.substr(rest));
            if (key == "second-stderr") {
                scenario.CheckSecondStderr = true;
                scenario.SecondStderr += text + "\n";
            } else {
                // As "stdout": the line ends are the escapes'.
                scenario.CheckSecondStdout = true;
                scenario.SecondStdout += text;
            }
        } else if (key == "meanwhile") {
            E2eMeanwhile added;
            if (words.size() < 2 || !ParseNumber(words[1], added.AfterMs)) {
                return fail("meanwhile takes milliseconds and the arguments");
            }
            added.Args.assign(words.begin() + 2, words.end());
            scenario.Meanwhile.push_back(added);
            meanwhile = &scenario.Meanwhile.back();
        } else if (key == "expect-drive") {
            E2eDriveCheck check;
            if (words.size() < 3 || !ParseDriveNumber(words[1], check.Drive)) {
                return fail("expect-drive takes N and key=value pairs");
            }
            for (size_t i = 2; i < words.size(); ++i) {
                std::string k, v;
                if (!SplitPair(words[i], k, v)) return fail("bad expectation " + words[i]);
                check.Expected.emplace_back(k, v);
            }
            scenario.DriveChecks.push_back(check);
        } else if (key == "trace" || key == "second-trace") {
            int index = 0;
            if (words.size() < 2 || !ParseDriveNumber(words[1], index)) {
                return fail(key + " takes N and items");
            }
            std::vector<E2eTrace>& traces =
                key == "trace" ? scenario.Traces : scenario.SecondTraces;
            E2eTrace* trace = nullptr;
            for (E2eTrace& t : traces) {
                if (t.Drive == index) trace = &t;
            }
            if (trace == nullptr) {
                traces.push_back(E2eTrace{index, {}});
                trace = &traces.back();
            }
            if (!ExpandRuns({words.begin() + 2, words.end()}, trace->Items)) {
                return fail("bad repeat count");
            }
        } else if (key == "only-program-between" || key == "kernel-between") {
            const bool programOnly = key[0] == 'o';
            if (words.size() < 3 || (programOnly && words.size() != 3)) {
                return fail(key + " takes two trace items");
            }
            scenario.Windows.push_back(
                E2eWindow{words[1], words[2], programOnly, {words.begin() + 3, words.end()}});
        } else if (key == "aborted-within") {
            uint32_t ms = 0;
            if (words.size() != 2 || !ParseNumber(words[1], ms) || ms == 0) {
                return fail("aborted-within takes milliseconds");
            }
            scenario.AbortedWithinMs = ms;
        } else if (key == "waits") {
            scenario.CheckWaits = true;
            if (!ExpandRuns({words.begin() + 1, words.end()}, scenario.Waits)) {
                return fail("bad repeat count");
            }
        } else {
            return fail("unknown keyword " + key);
        }
    }
    if (scenario.Path == "sr") {
        for (E2eDrive& d : scenario.Drives) d.HasGenericNode = false;
    }
    return true;
}
