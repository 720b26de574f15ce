// Preloaded into the real odd-fwupdate: /dev/sr0../dev/sr22 of the scenario's virtual drives and
// their SCSI generic nodes /dev/sg1../dev/sg23, answered from the project's drive model with the
// kernel's own checks, error codes and waits: SG_IO on either node, sg's asynchronous interface
// (write, poll, read) on the generic node, sg's exclusive opens, the disk's media polling
// (events_poll_msecs, and the GET EVENT STATUS NOTIFICATIONs the kernel sends), a sysfs of
// their own for the bus lookup, the lock folder, and a virtual monotonic clock that every wait
// moves forward and that records each wait. Everything else passes to the C library.
//
// Signals that a scenario sends while a command is with the drive act as the kernel makes them
// act: sg waits interruptibly, so a caught signal leaves the command running in the drive and
// the call is restarted (SA_RESTART, or after a stop and continue) by submitting it again, or
// fails with EINTR; the block layer (/dev/srN) waits uninterruptibly, so the command ends once
// and the signal comes after it. A fatal signal ends the process after the drive got the
// command, the record written first.
//
// ODD_E2E_SCENARIO names the scenario file; ODD_E2E_OUT a folder that receives, at exit, the
// command trace, the waits and each drive's state and flash. ODD_E2E_NO_SG takes the generic
// nodes away, as when the sg module is not loaded. ODD_E2E_LOCKS is the folder that stands in
// for /run/lock (OUT/run-lock unless given) and ODD_E2E_SHARED one where the processes of one
// run tell each other which generic nodes they hold open (OUT unless given): both outlive a
// second program that a scenario starts.
// ODD_E2E_STATE names a folder that carries the drives from one process to the next, as a
// machine keeps its drives between two commands: a drive whose state is there starts from it
// (the scenario only says how the drives were at first), and every drive is saved there at
// exit. ODD_E2E_SYSLOG names a file that each system log line is added to as it is sent, with
// the real process id, the way a host's log keeps the lines of every run.
// pipes.txt records, per command (and at exit), the pipes the program held that it did not
// start with.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <poll.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_scenario.h"

namespace {

constexpr int SrMajor = 11;
constexpr int SgMajor = 21;
constexpr int SgVersion = 30527;  // what the block layer answers for SG_GET_VERSION_NUM
constexpr int MaxFds = 4096;
constexpr unsigned DidError = 0x07;
constexpr unsigned DidTimeOut = 0x03;
constexpr unsigned DriverSense = 0x08;
constexpr uint64_t ClockStartNs = 1000ull * 1000000000ull;
constexpr size_t SgHeaderSize = 36;  // struct sg_header, sg's version 2 interface
constexpr int SgMaxQueue = 16;       // requests sg keeps per descriptor
constexpr size_t MaxReplies = 64;    // replies waiting to be read, all descriptors together
constexpr size_t MaxWaits = 8192;    // waits recorded; more are counted as lost
constexpr int MaxPollEvents = 16;    // attribute writes not yet acted on, per drive
constexpr int MaxRestarts = 8;       // a restarted SG_IO that keeps being interrupted
constexpr int SecondRunLimitMs = 15000;

// ---- the real functions ------------------------------------------------------------------

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using StatFn = int (*)(const char*, struct stat*);
using Stat64Fn = int (*)(const char*, struct stat64*);
using FstatFn = int (*)(int, struct stat*);
using Fstat64Fn = int (*)(int, struct stat64*);
using FstatatFn = int (*)(int, const char*, struct stat*, int);
using Fstatat64Fn = int (*)(int, const char*, struct stat64*, int);
using AccessFn = int (*)(const char*, int);
using RealpathFn = char* (*)(const char*, char*);
using ReadlinkFn = ssize_t (*)(const char*, char*, size_t);
using FopenFn = FILE* (*)(const char*, const char*);
using OpendirFn = DIR* (*)(const char*);
using ClockGettimeFn = int (*)(clockid_t, struct timespec*);
using ClockNanosleepFn = int (*)(clockid_t, int, const struct timespec*, struct timespec*);
using NanosleepFn = int (*)(const struct timespec*, struct timespec*);
using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using PollFn = int (*)(struct pollfd*, nfds_t, int);
using PpollFn = int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
using UnlinkFn = int (*)(const char*);
using UnlinkatFn = int (*)(int, const char*, int);
using KillFn = int (*)(pid_t, int);
using RaiseFn = int (*)(int);

int RealKill(pid_t pid, int number) {
    static const KillFn real = Next<KillFn>("kill");
    return real(pid, number);
}

int RealClose(int fd) {
    static const CloseFn real = Next<CloseFn>("close");
    return real(fd);
}

int RealOpen(const char* path, int flags, mode_t mode = 0) {
    static const OpenFn real = Next<OpenFn>("open");
    return real(path, flags, mode);
}

ssize_t RealWrite(int fd, const void* bytes, size_t count) {
    static const WriteFn real = Next<WriteFn>("write");
    return real(fd, bytes, count);
}

// ---- state -------------------------------------------------------------------------------

enum class FdKind { None, Block, Generic, PollAttribute };

struct FakeFd {
    FdKind Kind = FdKind::None;
    int Drive = -1;  // index into Drives
    bool Readable = false;
    bool Writable = false;
    bool NonBlocking = false;
    bool Exclusive = false;      // opened with O_EXCL
    int PendingSignal = 0;       // a signal fault of a write(), for the wait that follows it
    size_t AttributeOffset = 0;  // read position in the attribute's text
};

// A command submitted with write() and not read yet: sg keeps the header, the sense and (on
// its indirect path) the data until read() copies them out.
struct Reply {
    int Fd = -1;  // -1: free
    uint64_t Order = 0;
    sg_io_hdr_t Header = {};
    uint8_t Sense[18] = {};
    uint8_t SenseLength = 0;
    std::vector<uint8_t> Data;
};

// The disk's media polling: the attribute as read back, and what the kernel acts on. A write
// is noted here and acted on later, outside the write, since writes may come from a signal
// handler.
struct PollEvent {
    uint64_t AtNs = 0;
    int Value = 0;
};

struct DriveRuntime {
    int Attribute = -1;       // events_poll_msecs as read back
    int PollingValue = -1;    // the value the kernel's polling runs on
    uint64_t NextPollNs = 0;  // 0: not polling
    uint64_t LastModelMs = 0;
    PollEvent Events[MaxPollEvents];
    int EventCount = 0;
    int LostEvents = 0;
    int GenericOpen = 0;  // descriptors of the generic node
    bool GenericExclusive = false;
    int BlockExclusive = 0;
};

struct Preload {
    bool Loaded = false;
    bool Loading = false;
    std::vector<E2eDrive> Drives;
    std::vector<DriveRuntime> Runtime;
    std::string OutFolder;
    std::string SysRoot;    // the drives' sysfs; "" before it is made
    std::string LockDir;    // stands in for /run/lock
    std::string SharedDir;  // the generic nodes held open, per process
    FakeFd Fds[MaxFds];
    Reply Replies[MaxReplies];
    uint64_t NextOrder = 1;
    uint64_t ClockNs = ClockStartNs;
    std::vector<std::string> Trace;   // "srN item shown=N [offset=N]", one line per command
    uint64_t WaitsNs[MaxWaits] = {};  // filled by the clock hooks, which must not allocate
    size_t WaitCount = 0;
    size_t LostWaits = 0;
    std::vector<uint32_t> GenericOpens;  // per drive: successful opens of /dev/sgM
    std::vector<uint32_t> BlockOpens;    // and of /dev/srN
    int SecondRuns = 0;
    std::vector<E2ePowerSupply> PowerSupplies;
    std::vector<std::pair<std::string, std::string>> Links;  // the scenario's links
    // Pipes the program came with (device, inode), and per command the pipes it holds besides
    // them: a logind inhibitor is the write end of a pipe.
    std::vector<std::pair<dev_t, ino_t>> InheritedPipes;
    std::vector<std::string> PipesHeld;
    // The system log: openlog's ident, options and facility, and each line sent, as
    // "IDENT[PID] FACILITY.LEVEL: TEXT" ("[PID]" when LOG_PID was asked for).
    std::string LogIdent = "(no openlog)";
    int LogOption = 0;
    int LogFacility = 1 << 3;  // LOG_USER, the C library's default
    std::vector<std::string> Syslog;
    std::string StateDir;    // ODD_E2E_STATE: "" when the drives start from the scenario
    std::string SyslogFile;  // ODD_E2E_SYSLOG: "" when the log stays in OUT/syslog.txt
};

// Built in place, never destroyed: the clock hooks may come before the allocator is ready
// (the sanitizers' allocator reads the clock itself) and calls may come after exit.
Preload& P() {
    alignas(Preload) static unsigned char storage[sizeof(Preload)];
    static Preload* preload = new (storage) Preload;
    return *preload;
}

int DriveIndexForNode(int node) {
    const Preload& p = P();
    for (size_t i = 0; i < p.Drives.size(); ++i) {
        if (p.Drives[i].Index == node) return static_cast<int>(i);
    }
    return -1;
}

int DriveIndexForGenericNode(int node) {
    const Preload& p = P();
    for (size_t i = 0; i < p.Drives.size(); ++i) {
        if (p.Drives[i].HasGenericNode && p.Drives[i].Index + 1 == node) return static_cast<int>(i);
    }
    return -1;
}

// /dev/srN (or /dev/sgN with prefix "/dev/sg"): N, or -1 for any other path.
int NodeNumber(const char* path, const char* prefix) {
    if (path == nullptr || strncmp(path, prefix, 7) != 0) return -1;
    const char* digits = path + 7;
    if (*digits < '0' || *digits > '9') return -1;
    char* end = nullptr;
    const long node = strtol(digits, &end, 10);
    if (*end != '\0' || node > 255) return -1;
    return static_cast<int>(node);
}

int SrNode(const char* path) {
    return NodeNumber(path, "/dev/sr");
}

int SgNode(const char* path) {
    return NodeNumber(path, "/dev/sg");
}

bool IsSysPath(const char* path) {
    return path != nullptr && (strcmp(path, "/sys") == 0 || strncmp(path, "/sys/", 5) == 0);
}

// The program's lock files, /run/lock/odd-fwupdate* (or through /var/lock): the name inside.
const char* LockName(const char* path) {
    if (path == nullptr) return nullptr;
    for (const char* folder : {"/run/lock/", "/var/lock/"}) {
        const size_t length = strlen(folder);
        if (strncmp(path, folder, length) == 0 && strncmp(path + length, "odd-fwupdate", 12) == 0) {
            return path + length;
        }
    }
    return nullptr;
}

// A path of the real /sys or lock folder as it lies in the run's own folders, without
// allocating (a signal handler may open the attribute). False: the path is the machine's own.
bool Redirect(const char* path, char* out, size_t size) {
    const Preload& p = P();
    if (IsSysPath(path)) {
        const char* root = p.SysRoot.empty() ? "/nonexistent-sysfs" : p.SysRoot.c_str();
        snprintf(out, size, "%s%s", root, path);
        return true;
    }
    const char* lock = LockName(path);
    if (lock != nullptr && !p.LockDir.empty()) {
        snprintf(out, size, "%s/%s", p.LockDir.c_str(), lock);
        return true;
    }
    return false;
}

// The drive whose events_poll_msecs the path names (/sys/block/srN/..., /sys/class/block/srN/
// ..., /sys/dev/block/11:N/..., or the device folder they lead to), or -1.
int PollAttributeDrive(const char* path) {
    static const char attribute[] = "/events_poll_msecs";
    if (!IsSysPath(path)) return -1;
    const size_t length = strlen(path);
    const size_t tail = sizeof attribute - 1;
    if (length <= tail || strcmp(path + length - tail, attribute) != 0) return -1;
    size_t start = length - tail;
    while (start > 0 && path[start - 1] != '/') --start;
    const char* name = path + start;
    const size_t nameLength = length - tail - start;
    int node = -1;
    char text[16];
    if (nameLength >= sizeof text) return -1;
    memcpy(text, name, nameLength);
    text[nameLength] = '\0';
    char* end = nullptr;
    if (strncmp(text, "sr", 2) == 0 && text[2] >= '0' && text[2] <= '9') {
        node = static_cast<int>(strtol(text + 2, &end, 10));
    } else if (strncmp(text, "11:", 3) == 0 && text[3] >= '0' && text[3] <= '9') {
        node = static_cast<int>(strtol(text + 3, &end, 10));
    } else {
        return -1;
    }
    if (*end != '\0') return -1;
    const int index = DriveIndexForNode(node);
    if (index < 0 || !P().Drives[static_cast<size_t>(index)].HasPollAttribute) return -1;
    return index;
}

void MakeFolders(const std::string& path) {
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
        mkdir(path.substr(0, at).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The drives' corner of sysfs: /sys/block/srN and /sys/dev/block/11:N point at the SCSI device,
// which sits below a FireWire unit (with the SBP-2 attribute) or an ATA port.
void MakeSysfs(Preload& p) {
    p.SysRoot = p.OutFolder + "/sysfs";
    for (const E2eDrive& drive : p.Drives) {
        const std::string n = std::to_string(drive.Index);
        const std::string host = "host" + n;
        const std::string scsi = n + ":0:0:0";
        const std::string bus = drive.OnFireWire
                                    ? "devices/pci0000:00/0000:00:1e.0/0000:05:00.0/fw1/fw1.0/"
                                    : "devices/pci0000:00/0000:00:1f.2/ata" + n + "/";
        const std::string device = bus + host + "/target" + n + ":0:0/" + scsi;
        const std::string root = p.SysRoot + "/sys/";
        MakeFolders(root + device + "/block/sr" + n);
        if (drive.OnFireWire) WriteText(root + device + "/ieee1394_id", "0001f2000000abcd:0:0\n");
        if (drive.HasPollAttribute) {
            // Read and written through the hooks; the file is there for stat and listings.
            const std::string attribute = root + device + "/block/sr" + n + "/events_poll_msecs";
            WriteText(attribute, std::to_string(drive.PollMsecs) + "\n");
            chmod(attribute.c_str(), drive.PollAttributeReadOnly ? 0444 : 0644);
        }
        // The queue's limit for one command, which a program reads before it sends anything.
        MakeFolders(root + device + "/block/sr" + n + "/queue");
        WriteText(root + device + "/block/sr" + n + "/queue/max_hw_sectors_kb",
                  std::to_string(drive.MaxTransfer / 1024) + "\n");
        MakeFolders(root + "block");
        MakeFolders(root + "dev/block");
        symlink(("../" + device + "/block/sr" + n).c_str(), (root + "block/sr" + n).c_str());
        symlink(("../../" + device + "/block/sr" + n).c_str(),
                (root + "dev/block/11:" + n).c_str());
        symlink(("../../../" + scsi).c_str(),
                (root + device + "/block/sr" + n + "/device").c_str());
        if (!drive.HasGenericNode) continue;
        // The generic node as the sg module registers it: below the SCSI device, with the
        // character device number's link and the class link.
        const std::string sg = "sg" + std::to_string(drive.Index + 1);
        const std::string generic = device + "/scsi_generic/" + sg;
        MakeFolders(root + generic);
        MakeFolders(root + "dev/char");
        MakeFolders(root + "class/scsi_generic");
        symlink(("../../../" + scsi).c_str(), (root + generic + "/device").c_str());
        symlink(("../../" + generic).c_str(),
                (root + "dev/char/21:" + std::to_string(drive.Index + 1)).c_str());
        symlink(("../../" + generic).c_str(), (root + "class/scsi_generic/" + sg).c_str());
    }
}

// The kernel polls a disk every events_poll_msecs, or every events_dfl_poll_msecs while the
// attribute is -1; 0 turns polling off.
uint64_t PollIntervalNs(const E2eDrive& drive, int value) {
    const int ms = value > 0 ? value : value == -1 ? drive.PollDefaultMsecs : 0;
    return uint64_t(ms > 0 ? ms : 0) * 1000000u;
}

// The machine's power supplies, as the kernel lists them: a folder per supply below
// devices/, linked from class/power_supply. Without any, class/power_supply does not exist.
void MakePowerSupplies(Preload& p) {
    const std::string root = p.SysRoot + "/sys/";
    for (const E2ePowerSupply& supply : p.PowerSupplies) {
        const std::string device = "devices/virtual/power_supply/" + supply.Name;
        MakeFolders(root + device);
        MakeFolders(root + "class/power_supply");
        for (const auto& attribute : supply.Attributes) {
            WriteText(root + device + "/" + attribute.first, attribute.second + "\n");
        }
        symlink(("../../" + device).c_str(), (root + "class/power_supply/" + supply.Name).c_str());
    }
}

// The pipes the process holds now, as (device, inode); /proc/self/fd lists its descriptors.
std::vector<std::pair<dev_t, ino_t>> OpenPipes() {
    std::vector<std::pair<dev_t, ino_t>> pipes;
    static const FstatFn realFstat = Next<FstatFn>("fstat");
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return pipes;
    while (const dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        struct stat info;
        if (realFstat(atoi(entry->d_name), &info) == 0 && S_ISFIFO(info.st_mode)) {
            pipes.emplace_back(info.st_dev, info.st_ino);
        }
    }
    closedir(fds);
    return pipes;
}

int PipesBeyondInherited() {
    int count = 0;
    for (const auto& pipe : OpenPipes()) {
        bool inherited = false;
        for (const auto& known : P().InheritedPipes) inherited = inherited || known == pipe;
        if (!inherited) ++count;
    }
    return count;
}

// ---- the drives from one process to the next --------------------------------------------

// What an update changes in a drive and what it needs to answer as the updated drive next
// time: its identity in both modes, the mode it runs, its flash and the counts a check reads.
// A reboot under way is not kept: the next command comes later than any reboot takes.
std::string DriveStateText(const VirtualDrive& m) {
    std::ostringstream out;
    out << "revision=" << EscapeForDisplay(m.Revision) << "\n"
        << "date=" << EscapeForDisplay(m.DateText) << "\n"
        << "kernel-revision=" << EscapeForDisplay(m.KernelRevision) << "\n"
        << "kernel-date=" << EscapeForDisplay(m.KernelDateText) << "\n"
        << "mode=" << (m.Mode == VirtualDriveMode::Kernel ? "kernel" : "normal") << "\n"
        << "normal-part=" << (m.NormalPartPresent ? 1 : 0) << "\n"
        << "kernel-flashed=" << (m.KernelFlashed ? 1 : 0) << "\n"
        << "unit-attention=" << (m.UnitAttentionPending ? 1 : 0) << "\n"
        << "stay-in-kernel=" << m.StayInKernelAfterReflash << "\n"
        << "reflashes=" << m.ReflashCount << "\n"
        << "power-losses=" << m.PowerLosses << "\n"
        << "kernel-chunks=" << m.KernelChunks << "\n"
        << "normal-chunks=" << m.NormalChunks << "\n"
        << "kernel-end=" << m.KernelBytesEnd << "\n"
        << "normal-end=" << m.NormalBytesEnd << "\n";
    return out.str();
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void LoadDriveState(const std::string& folder, int index, VirtualDrive& m) {
    const std::string base = folder + "/sr" + std::to_string(index);
    std::ifstream in(base + ".state");
    if (!in) return;  // a drive not seen before starts as the scenario says
    std::string line;
    while (std::getline(in, line)) {
        const size_t at = line.find('=');
        if (at == std::string::npos) continue;
        const std::string key = line.substr(0, at);
        const std::string value = DecodeEscapes(line.substr(at + 1));
        const uint32_t number = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
        if (key == "revision") m.Revision = value;
        if (key == "date") m.DateText = value;
        if (key == "kernel-revision") m.KernelRevision = value;
        if (key == "kernel-date") m.KernelDateText = value;
        if (key == "mode")
            m.Mode = value == "kernel" ? VirtualDriveMode::Kernel : VirtualDriveMode::Normal;
        if (key == "normal-part") m.NormalPartPresent = number != 0;
        if (key == "kernel-flashed") m.KernelFlashed = number != 0;
        if (key == "unit-attention") m.UnitAttentionPending = number != 0;
        if (key == "stay-in-kernel") m.StayInKernelAfterReflash = number;
        if (key == "reflashes") m.ReflashCount = number;
        if (key == "power-losses") m.PowerLosses = number;
        if (key == "kernel-chunks") m.KernelChunks = number;
        if (key == "normal-chunks") m.NormalChunks = number;
        if (key == "kernel-end") m.KernelBytesEnd = number;
        if (key == "normal-end") m.NormalBytesEnd = number;
    }
    m.KernelFlash = ReadBytes(base + ".kernel.bin");
    m.NormalFlash = ReadBytes(base + ".normal.bin");
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Only a drive this process opened is saved: any other process that the preload reaches (a
// shell, the interpreter that starts the program) leaves the state as the program left it.
// Each drive's file is written whole under a new name and renamed, so a process that reads
// the folder never finds half a state.
void SaveDriveStates(const Preload& p) {
    if (p.StateDir.empty()) return;
    MakeFolders(p.StateDir);
    for (size_t i = 0; i < p.Drives.size(); ++i) {
        if (p.GenericOpens[i] == 0 && p.BlockOpens[i] == 0) continue;
        const E2eDrive& drive = p.Drives[i];
        const std::string base = p.StateDir + "/sr" + std::to_string(drive.Index);
        WriteBytes(base + ".kernel.bin", drive.Model.KernelFlash);
        WriteBytes(base + ".normal.bin", drive.Model.NormalFlash);
        WriteText(base + ".state.new", DriveStateText(drive.Model));
        rename((base + ".state.new").c_str(), (base + ".state").c_str());
    }
}

void Load() {
    Preload& p = P();
    if (p.Loaded || p.Loading) return;
    p.Loading = true;
    const char* file = getenv("ODD_E2E_SCENARIO");
    const char* out = getenv("ODD_E2E_OUT");
    if (out != nullptr) p.OutFolder = out;
    if (file != nullptr) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        E2eScenario scenario;
        std::string error;
        if (!ParseScenario(text.str(), scenario, error)) {
            fprintf(stderr, "fake_sr: %s: %s\n", file, error.c_str());
            _exit(125);
        }
        p.Drives = scenario.Drives;
        p.PowerSupplies = scenario.PowerSupplies;
        p.Links = scenario.Links;
    }
    const char* state = getenv("ODD_E2E_STATE");
    if (state != nullptr && *state != '\0') {
        p.StateDir = state;
        for (E2eDrive& drive : p.Drives) LoadDriveState(p.StateDir, drive.Index, drive.Model);
    }
    const char* syslogFile = getenv("ODD_E2E_SYSLOG");
    if (syslogFile != nullptr) p.SyslogFile = syslogFile;
    if (getenv("ODD_E2E_NO_SG") != nullptr) {
        for (E2eDrive& drive : p.Drives) drive.HasGenericNode = false;
    }
    p.GenericOpens.assign(p.Drives.size(), 0);
    p.BlockOpens.assign(p.Drives.size(), 0);
    p.Runtime.assign(p.Drives.size(), DriveRuntime{});
    for (size_t i = 0; i < p.Drives.size(); ++i) {
        DriveRuntime& r = p.Runtime[i];
        r.Attribute = r.PollingValue = p.Drives[i].PollMsecs;
        const uint64_t interval = PollIntervalNs(p.Drives[i], r.PollingValue);
        r.NextPollNs = interval != 0 ? p.ClockNs + interval : 0;
    }
    const char* locks = getenv("ODD_E2E_LOCKS");
    const char* shared = getenv("ODD_E2E_SHARED");
    if (!p.OutFolder.empty()) {
        MakeFolders(p.OutFolder);
        MakeSysfs(p);
        p.LockDir = locks != nullptr ? locks : p.OutFolder + "/run-lock";
        p.SharedDir = (shared != nullptr ? shared : p.OutFolder.c_str()) + std::string("/sg-opens");
        MakeFolders(p.LockDir);
        MakeFolders(p.SharedDir);
        // The process id, for expectations that name it (a lock holder's PID).
        WriteText(p.OutFolder + "/pid.txt", std::to_string(getpid()) + "\n");
    }
    if (!p.OutFolder.empty()) MakePowerSupplies(p);
    p.InheritedPipes = OpenPipes();
    p.Loading = false;
    p.Loaded = true;
}

bool Active() {
    Load();
    return P().Loaded;
}

FakeFd* Fake(int fd) {
    if (fd < 0 || fd >= MaxFds || !Active()) return nullptr;
    FakeFd& entry = P().Fds[fd];
    return entry.Kind != FdKind::None ? &entry : nullptr;
}

// ---- the clock ---------------------------------------------------------------------------

bool IsVirtualClock(clockid_t clock) {
    return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW ||
           clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_BOOTTIME;
}

uint64_t Ns(const timespec& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// A wait of the program. No allocation: the clock hooks run before main and in handlers.
void Advance(uint64_t ns) {
    Preload& p = P();
    p.ClockNs += ns;
    if (p.WaitCount < MaxWaits) {
        p.WaitsNs[p.WaitCount++] = ns;
    } else {
        ++p.LostWaits;
    }
}

uint32_t NowMs() {
    return static_cast<uint32_t>(P().ClockNs / 1000000u);
}

// ---- the trace ---------------------------------------------------------------------------

// Bytes standard output has received so far: the runner redirects it to a file, so its size
// tells what the user would have seen by the time of a command.
long long ShownBytes() {
    static const FstatFn realFstat = Next<FstatFn>("fstat");
    struct stat info;
    if (realFstat(STDOUT_FILENO, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<long long>(info.st_size);
}

// One trace line: the drive, the command, the output shown so far and, for the buffer
// commands, the buffer offset of CDB bytes 3 to 5.
void Record(int drive, const uint8_t* cdb, const std::string& outcome) {
    std::string line = "sr" + std::to_string(P().Drives[static_cast<size_t>(drive)].Index) + " " +
                       TraceItem(cdb, outcome) + " shown=" + std::to_string(ShownBytes());
    if (cdb[0] == 0x3B || cdb[0] == 0x3C) {
        line +=
            " offset=" + std::to_string(uint32_t{cdb[3]} << 16 | uint32_t{cdb[4]} << 8 | cdb[5]);
    }
    P().Trace.push_back(line);
    P().PipesHeld.push_back(line.substr(0, line.find(' ')) + " " + TraceItem(cdb, outcome) +
                            " pipes=" + std::to_string(PipesBeyondInherited()));
}

std::string SenseText(const VirtualDriveAnswer& answer) {
    char sense[16];
    snprintf(sense, sizeof sense, "%02x/%02x/%02x", answer.Sense[2], answer.Sense[12],
             answer.Sense[13]);
    return sense;
}

// ---- media polling -----------------------------------------------------------------------

// The kernel's own media check, sr_check_events: GET EVENT STATUS NOTIFICATION, polled, for
// the media class. It goes to the drive between the program's commands.
void SendEventStatus(size_t index, uint64_t atNs) {
    Preload& p = P();
    E2eDrive& drive = p.Drives[index];
    DriveRuntime& r = p.Runtime[index];
    const uint8_t cdb[10] = {0x4A, 0x01, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x08, 0x00};
    uint8_t answer[8] = {};
    VirtualDriveData data;
    data.In = answer;
    data.InCapacity = sizeof answer;
    drive.Model.Faults.clear();
    uint64_t ms = atNs / 1000000u;
    if (ms < r.LastModelMs) ms = r.LastModelMs;
    const VirtualDriveAnswer result =
        RunVirtualDriveCommand(drive.Model, cdb, 10, data, static_cast<uint32_t>(ms));
    p.Trace.push_back("kernel " + TraceItem(cdb, result.Status != 0 ? SenseText(result) : "") +
                      " drive=sr" + std::to_string(drive.Index) + " at=" + std::to_string(ms));
}

// Every check the kernel made on the drives up to now: the polls that fell due, and the
// checks that writing the attribute starts at once.
void CatchUpPolling() {
    Preload& p = P();
    const uint64_t now = p.ClockNs;
    for (size_t i = 0; i < p.Drives.size(); ++i) {
        DriveRuntime& r = p.Runtime[i];
        int next = 0;
        for (;;) {
            const bool event = next < r.EventCount && r.Events[next].AtNs <= now;
            const uint64_t eventAt = event ? r.Events[next].AtNs : UINT64_MAX;
            if (r.NextPollNs != 0 && r.NextPollNs <= now && r.NextPollNs <= eventAt) {
                const uint64_t at = r.NextPollNs;
                SendEventStatus(i, at);
                r.NextPollNs = at + PollIntervalNs(p.Drives[i], r.PollingValue);
                continue;
            }
            if (!event) break;
            // A new value: the drive is checked at once, then polled at the new interval.
            r.PollingValue = r.Events[next].Value;
            SendEventStatus(i, eventAt);
            const uint64_t interval = PollIntervalNs(p.Drives[i], r.PollingValue);
            r.NextPollNs = interval != 0 ? eventAt + interval : 0;
            ++next;
        }
        for (int k = next; k < r.EventCount; ++k) r.Events[k - next] = r.Events[k];
        r.EventCount -= next;
    }
}

// What writing the attribute does (disk_events_poll_msecs_store): -1 or a number of
// milliseconds, anything else refused; the check itself comes later, see above.
ssize_t WriteAttribute(FakeFd& fake, const void* bytes, size_t count) {
    char text[32];
    const size_t length = count < sizeof text - 1 ? count : sizeof text - 1;
    memcpy(text, bytes, length);
    text[length] = '\0';
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (end == text || errno != 0 || (value < 0 && value != -1) || value > INT_MAX) {
        errno = EINVAL;
        return -1;
    }
    DriveRuntime& r = P().Runtime[static_cast<size_t>(fake.Drive)];
    r.Attribute = static_cast<int>(value);
    if (r.EventCount < MaxPollEvents) {
        r.Events[r.EventCount++] = PollEvent{P().ClockNs, r.Attribute};
    } else {
        ++r.LostEvents;
    }
    return static_cast<ssize_t>(count);
}

ssize_t ReadAttribute(FakeFd& fake, void* bytes, size_t count) {
    char text[32];
    const int length =
        snprintf(text, sizeof text, "%d\n", P().Runtime[static_cast<size_t>(fake.Drive)].Attribute);
    if (fake.AttributeOffset >= static_cast<size_t>(length)) return 0;
    size_t n = static_cast<size_t>(length) - fake.AttributeOffset;
    if (n > count) n = count;
    memcpy(bytes, text + fake.AttributeOffset, n);
    fake.AttributeOffset += n;
    return static_cast<ssize_t>(n);
}

// The block layer's command filter: what anybody who can open the node may send, and what a
// writable open may send; everything else needs CAP_SYS_RAWIO. sg applies it to read-only
// opens only: opened read-write, it passes any command.
bool SafeForRead(uint8_t opcode) {
    static const uint8_t safe[] = {
        0x00, 0x03, 0x08, 0x28, 0xA8, 0x88, 0x3C, 0x37, 0x3E, 0x12, 0x1A, 0x5A, 0x4D,
        0x1B, 0x2F, 0x8F, 0xBC, 0x45, 0x47, 0x48, 0x4B, 0x5C, 0xBE, 0xB9, 0x51, 0x25,
        0xAD, 0x44, 0x52, 0x42, 0x43, 0xA4, 0xBA, 0x46, 0x23, 0x4A, 0xAC, 0x2B, 0x4E,
    };
    for (const uint8_t code : safe) {
        if (code == opcode) return true;
    }
    return false;
}

bool SafeForWrite(uint8_t opcode) {
    static const uint8_t safe[] = {
        0x0A, 0x2A, 0x2E, 0xAA, 0xAE, 0x8A, 0x3F, 0xEA, 0x19, 0x55, 0x15, 0x4C, 0xA1, 0x5B,
        0x35, 0x04, 0x58, 0x53, 0xBF, 0xA2, 0xA3, 0x54, 0x5D, 0xBB, 0x1E, 0xA6, 0xB6,
    };
    for (const uint8_t code : safe) {
        if (code == opcode) return true;
    }
    return false;
}

// ---- the record at exit ------------------------------------------------------------------

// Descriptors of the drive still open when the program ends.
int HandlesOpen(const Preload& p, const E2eDrive& drive) {
    int count = 0;
    for (const FakeFd& fd : p.Fds) {
        if ((fd.Kind == FdKind::Block || fd.Kind == FdKind::Generic) &&
            p.Drives[static_cast<size_t>(fd.Drive)].Index == drive.Index) {
            ++count;
        }
    }
    return count;
}

std::string FlashState(const Preload& p, const E2eDrive& drive) {
    std::ostringstream out;
    const size_t index = static_cast<size_t>(&drive - p.Drives.data());
    out << "handles-open=" << HandlesOpen(p, drive) << "\n";
    out << "opens-sg=" << p.GenericOpens[index] << "\n"
        << "opens-sr=" << p.BlockOpens[index] << "\n";
    out << VirtualDriveStateLines(drive.Model) << "read-only-writes=" << drive.ReadOnlyWrites
        << "\n";
    const DriveRuntime& r = p.Runtime[index];
    if (drive.HasPollAttribute) {
        out << "events-poll-msecs=" << r.Attribute << "\n";
    } else {
        out << "events-poll-msecs=none\n";
    }
    if (r.LostEvents != 0) out << "lost-attribute-writes=" << r.LostEvents << "\n";
    return out.str();
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// At exit, and before the process ends by a signal (which skips the destructors).
void WriteRecord() {
    Preload& p = P();
    static bool writing = false;
    if (!p.Loaded || writing) return;
    writing = true;
    SaveDriveStates(p);
    if (p.OutFolder.empty()) {
        writing = false;
        return;
    }
    CatchUpPolling();
    std::string trace;
    for (const std::string& line : p.Trace) trace += line + "\n";
    WriteText(p.OutFolder + "/trace.txt", trace);
    std::string waits;
    for (size_t i = 0; i < p.WaitCount; ++i) {
        const uint64_t ns = p.WaitsNs[i];
        // Waits of whole milliseconds are shown as such; anything finer keeps its nanoseconds.
        waits += ns % 1000000u == 0 ? std::to_string(ns / 1000000u) : std::to_string(ns) + "ns";
        waits += "\n";
    }
    // Never silently: a wait list that overflowed does not match any scenario.
    if (p.LostWaits != 0) waits += "lost " + std::to_string(p.LostWaits) + " waits\n";
    WriteText(p.OutFolder + "/waits.txt", waits);
    std::string syslog;
    for (const std::string& line : p.Syslog) syslog += line + "\n";
    WriteText(p.OutFolder + "/syslog.txt", syslog);
    std::string pipes;
    for (const std::string& line : p.PipesHeld) pipes += line + "\n";
    WriteText(p.OutFolder + "/pipes.txt",
              pipes + "exit pipes=" + std::to_string(PipesBeyondInherited()) + "\n");
    for (const E2eDrive& drive : p.Drives) {
        const std::string base = p.OutFolder + "/sr" + std::to_string(drive.Index);
        WriteText(base + ".state", FlashState(p, drive));
        WriteBytes(base + ".kernel.bin", drive.Model.KernelFlash);
        WriteBytes(base + ".normal.bin", drive.Model.NormalFlash);
    }
    writing = false;
}

// "IDENT[PID] FACILITY.LEVEL: TEXT", the facility the priority's own or else openlog's.
void KeepSyslogLine(int priority, const char* format, va_list args) {
    static const char* const levels[8] = {"emerg",   "alert",  "crit", "err",
                                          "warning", "notice", "info", "debug"};
    constexpr int LogPid = 0x01;
    constexpr int FacilityMask = 0x03F8;
    constexpr int User = 1 << 3;
    constexpr int Daemon = 3 << 3;
    Load();  // the file named by ODD_E2E_SYSLOG
    Preload& p = P();
    const int facility = (priority & FacilityMask) != 0 ? priority & FacilityMask : p.LogFacility;
    std::string facilityName = facility == User     ? "user"
                               : facility == Daemon ? "daemon"
                                                    : "facility" + std::to_string(facility >> 3);
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    const std::string where = "." + std::string(levels[priority & 7]) + ": " + text;
    p.Syslog.push_back(p.LogIdent + ((p.LogOption & LogPid) != 0 ? "[PID] " : " ") + facilityName +
                       where);
    if (!p.SyslogFile.empty()) {
        const std::string pid =
            (p.LogOption & LogPid) != 0 ? "[" + std::to_string(getpid()) + "] " : " ";
        std::ofstream log(p.SyslogFile, std::ios::binary | std::ios::app);
        log << p.LogIdent + pid + facilityName + where + "\n";
    }
}

__attribute__((destructor)) void WriteRecordAtExit() {
    WriteRecord();
}

// ---- signals -----------------------------------------------------------------------------

bool DefaultIgnored(int number) {
    return number == SIGCHLD || number == SIGCONT || number == SIGURG || number == SIGWINCH;
}

bool DefaultStops(int number) {
    return number == SIGTSTP || number == SIGTTIN || number == SIGTTOU || number == SIGSTOP;
}

// What a signal does to a waiting call, read from the process's own disposition.
enum class Disposition {
    Nothing,            // ignored, ignored by default, or blocked during the wait
    Handler,            // a handler without SA_RESTART
    RestartingHandler,  // a handler with SA_RESTART
    Stop,               // the process stops and is continued later
    Fatal,              // the process ends
};

Disposition DispositionOf(int number, const sigset_t* waitMask) {
    if (number == E2eStopContinue) return Disposition::Stop;
    if (number == SIGKILL) return Disposition::Fatal;
    sigset_t blocked;
    if (waitMask != nullptr) {
        blocked = *waitMask;
    } else {
        sigprocmask(SIG_BLOCK, nullptr, &blocked);
    }
    if (sigismember(&blocked, number)) return Disposition::Nothing;
    struct sigaction current;
    sigaction(number, nullptr, &current);
    if (current.sa_handler == SIG_IGN) return Disposition::Nothing;
    if (current.sa_handler == SIG_DFL) {
        if (DefaultIgnored(number)) return Disposition::Nothing;
        return DefaultStops(number) ? Disposition::Stop : Disposition::Fatal;
    }
    return (current.sa_flags & SA_RESTART) != 0 ? Disposition::RestartingHandler
                                                : Disposition::Handler;
}

bool EndsProcess(int number) {
    if (number == SIGKILL) return true;
    if (number <= 0 || number >= NSIG) return false;
    struct sigaction current;
    sigaction(number, nullptr, &current);
    return current.sa_handler == SIG_DFL && !DefaultIgnored(number) && !DefaultStops(number);
}

// The signal as another process would send it: a handler runs before this returns, a fatal
// one ends the process (the record written first). A stop and continue is not made: only the
// continue is sent, as the process would see it on waking.
void Deliver(int number) {
    if (number == E2eStopContinue) {
        RealKill(getpid(), SIGCONT);
        return;
    }
    if (EndsProcess(number)) WriteRecord();
    RealKill(getpid(), number);
}

// After a stop and continue the interrupted call is restarted, unless a SIGCONT handler ran:
// then SA_RESTART decides where the call honours it, and poll() is never restarted.
bool RestartsAfterContinue(bool honoursRestart) {
    const Disposition cont = DispositionOf(SIGCONT, nullptr);
    if (cont == Disposition::Handler) return false;
    if (cont == Disposition::RestartingHandler) return honoursRestart;
    return true;
}

// ---- a second program --------------------------------------------------------------------

// The same program with other arguments, as started from another terminal while this one
// runs: no terminal, the scenario's environment, records in OUT/second. Waited for (with a
// bound), its end written to OUT/second/exit.txt. Its SIGCHLD is taken back, since a program
// started elsewhere would not be this one's child.
void RunSecond(const std::vector<std::string>& args) {
    Preload& p = P();
    if (p.OutFolder.empty()) return;
    const std::string out =
        p.OutFolder + "/second" + (p.SecondRuns > 0 ? std::to_string(p.SecondRuns + 1) : "");
    ++p.SecondRuns;
    MakeFolders(out);
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return;
    const std::string sharedRoot = p.SharedDir.substr(0, p.SharedDir.rfind('/'));
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string pair = *entry;
        if (pair.compare(0, 12, "ODD_E2E_OUT=") == 0 ||
            pair.compare(0, 14, "ODD_E2E_LOCKS=") == 0 ||
            pair.compare(0, 15, "ODD_E2E_SHARED=") == 0) {
            continue;
        }
        env.push_back(pair);
    }
    env.push_back("ODD_E2E_OUT=" + out);
    env.push_back("ODD_E2E_LOCKS=" + p.LockDir);
    env.push_back("ODD_E2E_SHARED=" + sharedRoot);
    std::vector<char*> envp;
    for (std::string& pair : env) envp.push_back(&pair[0]);
    envp.push_back(nullptr);
    std::vector<std::string> words = {self};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    const std::string stdoutPath = out + "/stdout.bin";
    const std::string stderrPath = out + "/stderr.bin";

    sigset_t child, saved;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, &saved);
    const pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &saved, nullptr);
        setsid();
        const int none = RealOpen("/dev/null", O_RDONLY);
        const int o = RealOpen(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = RealOpen(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (none < 0 || o < 0 || e < 0) syscall(SYS_exit_group, 126);
        dup2(none, STDIN_FILENO);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        execve(self, argv.data(), envp.data());
        syscall(SYS_exit_group, 127);
    }
    std::string end = "fork-failed";
    if (pid > 0) {
        static const NanosleepFn realSleep = Next<NanosleepFn>("nanosleep");
        int status = 0;
        int waited = 0;
        pid_t done = 0;
        while ((done = waitpid(pid, &status, WNOHANG)) == 0 && waited < SecondRunLimitMs) {
            const timespec tick = {0, 10 * 1000000};
            realSleep(&tick, nullptr);
            waited += 10;
        }
        if (done == 0) {
            RealKill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            end = "timeout";
        } else if (WIFEXITED(status)) {
            end = "exit " + std::to_string(WEXITSTATUS(status));
        } else {
            end = "signal " + std::to_string(WTERMSIG(status));
        }
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGCHLD) && !sigismember(&saved, SIGCHLD)) {
            const timespec none = {0, 0};
            sigtimedwait(&child, nullptr, &none);
        }
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    WriteText(out + "/exit.txt", end + "\n");
}

// ---- opening the nodes -------------------------------------------------------------------

// A real descriptor holds the number, so nothing else can be given the same one; opened with
// the caller's access mode and flags, so that fcntl(F_GETFL) and F_SETFL work on it.
int Descriptor(int index, FdKind kind, int flags) {
    Preload& p = P();
    const int fd = RealOpen("/dev/null", flags & (O_ACCMODE | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) return -1;
    if (fd >= MaxFds) {
        RealClose(fd);
        errno = EMFILE;
        return -1;
    }
    const int access = flags & O_ACCMODE;
    FakeFd& fake = p.Fds[fd];
    fake = FakeFd{};
    fake.Kind = kind;
    fake.Drive = index;
    fake.Readable = access != O_WRONLY;
    fake.Writable = access != O_RDONLY;
    ++(kind == FdKind::Generic ? p.GenericOpens : p.BlockOpens)[static_cast<size_t>(index)];
    return fd;
}

bool NonBlocking(int fd) {
    static const auto realFcntl = Next<int (*)(int, int, ...)>("fcntl");
    const int flags = realFcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

// The block device open of sr: a node without a drive does not exist; without O_NONBLOCK the
// cdrom layer insists on a disc, and on a writable one for a write open. O_EXCL claims the
// block device: a second claim fails, plain opens do not.
int OpenSr(int node, int flags) {
    Preload& p = P();
    const int index = DriveIndexForNode(node);
    if (index < 0) {
        errno = ENOENT;
        return -1;
    }
    const E2eDrive& drive = p.Drives[static_cast<size_t>(index)];
    if (drive.OpenErrno != 0) {
        errno = drive.OpenErrno;
        return -1;
    }
    const int access = flags & O_ACCMODE;
    if ((flags & O_NONBLOCK) == 0) {
        if (drive.Model.Disc != VirtualDisc::Loaded) {
            errno = ENOMEDIUM;
            return -1;
        }
        if (access != O_RDONLY) {
            errno = EROFS;
            return -1;
        }
    }
    DriveRuntime& r = p.Runtime[static_cast<size_t>(index)];
    if ((flags & O_EXCL) != 0 && r.BlockExclusive > 0) {
        errno = EBUSY;
        return -1;
    }
    const int fd = Descriptor(index, FdKind::Block, flags);
    if (fd >= 0 && (flags & O_EXCL) != 0) {
        p.Fds[fd].Exclusive = true;
        ++r.BlockExclusive;
    }
    return fd;
}

// The generic node's holders in other processes of the run (a second program), from the
// files each process keeps in the shared folder: sgM.PID holding "E" (exclusive) or "O".
void OthersHolding(int node, bool& open, bool& exclusive) {
    open = exclusive = false;
    const Preload& p = P();
    if (p.SharedDir.empty()) return;
    static const OpendirFn realOpendir = Next<OpendirFn>("opendir");
    DIR* folder = realOpendir(p.SharedDir.c_str());
    if (folder == nullptr) return;
    while (const dirent* entry = readdir(folder)) {
        int entryNode = -1;
        int pid = -1;
        if (sscanf(entry->d_name, "sg%d.%d", &entryNode, &pid) != 2 || entryNode != node ||
            pid == getpid()) {
            continue;
        }
        if (RealKill(pid, 0) != 0 && errno != EPERM) continue;  // its holder is gone
        char path[PATH_MAX];
        snprintf(path, sizeof path, "%s/%s", p.SharedDir.c_str(), entry->d_name);
        const int fd = RealOpen(path, O_RDONLY | O_CLOEXEC);
        char mark = 'O';
        if (fd >= 0) {
            static const ReadFn realRead = Next<ReadFn>("read");
            if (realRead(fd, &mark, 1) != 1) mark = 'O';
            RealClose(fd);
        }
        open = true;
        if (mark == 'E') exclusive = true;
    }
    closedir(folder);
}

void ShareHolding(size_t index) {
    const Preload& p = P();
    if (p.SharedDir.empty()) return;
    const DriveRuntime& r = p.Runtime[index];
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/sg%d.%d", p.SharedDir.c_str(), p.Drives[index].Index + 1,
             static_cast<int>(getpid()));
    static const UnlinkFn realUnlink = Next<UnlinkFn>("unlink");
    if (r.GenericOpen == 0) {
        realUnlink(path);
        return;
    }
    const int fd = RealOpen(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const char mark = r.GenericExclusive ? 'E' : 'O';
    if (RealWrite(fd, &mark, 1) != 1) fprintf(stderr, "fake_sr: %s not written\n", path);
    RealClose(fd);
}

// The generic node needs no disc and does no command filtering of its own at open. O_EXCL
// (read-write only) fails while any descriptor of the node is open, and a plain open fails
// while an exclusive one is; sg makes a blocking open wait instead, which here (the holder
// being this very process, or one that waits for it) would never end: said on standard
// error, and EBUSY.
int OpenSg(int node, int flags) {
    if ((flags & O_EXCL) != 0 && (flags & O_ACCMODE) == O_RDONLY) {
        errno = EPERM;
        return -1;
    }
    const int index = DriveIndexForGenericNode(node);
    if (index < 0) {
        errno = ENOENT;
        return -1;
    }
    Preload& p = P();
    const E2eDrive& drive = p.Drives[static_cast<size_t>(index)];
    if (drive.GenericOpenErrno != 0) {
        errno = drive.GenericOpenErrno;
        return -1;
    }
    DriveRuntime& r = p.Runtime[static_cast<size_t>(index)];
    bool othersOpen = false;
    bool othersExclusive = false;
    OthersHolding(node, othersOpen, othersExclusive);
    const bool busy = (flags & O_EXCL) != 0 ? r.GenericOpen > 0 || othersOpen
                                            : r.GenericExclusive || othersExclusive;
    if (busy) {
        if ((flags & O_NONBLOCK) == 0) {
            fprintf(stderr, "fake_sr: an open of /dev/sg%d would wait for its %s holder\n", node,
                    (flags & O_EXCL) != 0 ? "other" : "exclusive");
        }
        errno = EBUSY;
        return -1;
    }
    const int fd = Descriptor(index, FdKind::Generic, flags);
    if (fd < 0) return -1;
    if ((flags & O_EXCL) != 0) {
        p.Fds[fd].Exclusive = true;
        r.GenericExclusive = true;
    }
    ++r.GenericOpen;
    ShareHolding(static_cast<size_t>(index));
    return fd;
}

// events_poll_msecs: a real descriptor of the file in the drives' sysfs (for fstat), read and
// written through the hooks. Root's attribute: another user may read it, not write it.
int OpenAttribute(int index, const char* redirected, int flags) {
    const E2eDrive& drive = P().Drives[static_cast<size_t>(index)];
    const int access = flags & O_ACCMODE;
    if (access != O_RDONLY && drive.PollAttributeReadOnly) {
        errno = EACCES;
        return -1;
    }
    const int fd = RealOpen(redirected, O_RDONLY | (flags & O_CLOEXEC));
    if (fd < 0) return -1;
    if (fd >= MaxFds) {
        RealClose(fd);
        errno = EMFILE;
        return -1;
    }
    FakeFd& fake = P().Fds[fd];
    fake = FakeFd{};
    fake.Kind = FdKind::PollAttribute;
    fake.Drive = index;
    fake.Readable = access != O_WRONLY;
    fake.Writable = access != O_RDONLY;
    return fd;
}

int OpenAny(const char* path, int flags, mode_t mode, bool large) {
    if (Active()) {
        const int node = SrNode(path);
        if (node >= 0) return OpenSr(node, flags);
        const int generic = SgNode(path);
        if (generic >= 0) return OpenSg(generic, flags);
        char redirected[PATH_MAX];
        if (Redirect(path, redirected, sizeof redirected)) {
            const int attribute = PollAttributeDrive(path);
            if (attribute >= 0) return OpenAttribute(attribute, redirected, flags);
            return RealOpen(redirected, flags, mode);
        }
    }
    static const OpenFn realOpen64 = Next<OpenFn>("open64");
    return large ? realOpen64(path, flags, mode) : RealOpen(path, flags, mode);
}

mode_t ModeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

void CloseFake(int fd, FakeFd& fake) {
    Preload& p = P();
    const size_t index = static_cast<size_t>(fake.Drive);
    if (fake.Kind == FdKind::Generic) {
        // Replies nobody read go with the descriptor.
        for (Reply& reply : p.Replies) {
            if (reply.Fd == fd) {
                reply.Fd = -1;
                std::vector<uint8_t>().swap(reply.Data);
            }
        }
        DriveRuntime& r = p.Runtime[index];
        --r.GenericOpen;
        if (fake.Exclusive) r.GenericExclusive = false;
        ShareHolding(index);
    } else if (fake.Kind == FdKind::Block && fake.Exclusive) {
        --p.Runtime[index].BlockExclusive;
    }
    fake = FakeFd{};
}

// ---- commands ----------------------------------------------------------------------------

std::string ErrnoName(int error) {
    switch (error) {
        case EIO:
            return "EIO";
        case EPERM:
            return "EPERM";
        case EINVAL:
            return "EINVAL";
        default:
            return "E" + std::to_string(error);
    }
}

enum class Route {
    BlockIoctl,    // SG_IO on /dev/srN: the block layer's sg_io
    GenericIoctl,  // SG_IO on /dev/sgM
    GenericWrite,  // write() of an sg_io_hdr on /dev/sgM
};

// One command after the drive: the caller's header with the outcome filled in, the sense,
// the data-in bytes (copied out when the call completes, as sg's indirect transfer does), and
// the signal that came while the drive had it.
struct Completion {
    sg_io_hdr_t Header = {};
    uint8_t Sense[18] = {};
    uint8_t SenseLength = 0;
    std::vector<uint8_t> Data;
    bool TransportFailed = false;  // no status: EIO from SG_IO
    int Signal = 0;
};

// The checks at submission (the block layer's sg_io, or sg_new_write), the faults, the drive.
// 0, or the errno the submission fails with before the drive sees anything.
int Execute(int index, bool writable, Route route, const sg_io_hdr_t& in, Completion& c) {
    Preload& p = P();
    E2eDrive& drive = p.Drives[static_cast<size_t>(index)];
    const bool generic = route != Route::BlockIoctl;
    if (in.interface_id != 'S') return generic ? ENOSYS : EINVAL;
    if (generic) {
        if (in.cmdp == nullptr || in.cmd_len < 6 || in.cmd_len > 252) return EMSGSIZE;
    } else if (in.cmd_len > 16 || in.cmdp == nullptr) {
        return EINVAL;
    }
    uint8_t cdb[16] = {};
    memcpy(cdb, in.cmdp, in.cmd_len < 16 ? in.cmd_len : 16);
    CatchUpPolling();
    auto refuse = [&](int error) {
        Record(index, cdb, ErrnoName(error));
        return error;
    };
    // The command filter: what anybody who can open the node may send, and what a writable
    // open may send; the rest needs CAP_SYS_RAWIO. The block layer applies it to every SG_IO,
    // sg to SG_IO through a read-only open, and not to write() (which needs a writable open).
    const bool filtered = route == Route::BlockIoctl || (route == Route::GenericIoctl && !writable);
    if (filtered && !SafeForRead(cdb[0]) && !(SafeForWrite(cdb[0]) && writable) && !drive.RawIo) {
        return refuse(EPERM);
    }
    // With CAP_SYS_RAWIO the kernel takes WRITE BUFFER through a read-only descriptor too; a
    // program that rewrites firmware opens the drive for writing all the same, and the record
    // counts the writes that came another way.
    if (cdb[0] == 0x3B && !writable) ++drive.ReadOnlyWrites;
    if (in.dxfer_len > drive.MaxTransfer) return refuse(EIO);
    bool toDevice = false;
    if (in.dxfer_len != 0) {
        switch (in.dxfer_direction) {
            case SG_DXFER_TO_DEV:
                toDevice = true;
                break;
            case SG_DXFER_FROM_DEV:
            case SG_DXFER_TO_FROM_DEV:
                break;
            default:
                return refuse(EINVAL);
        }
        if (in.iovec_count != 0 || in.dxferp == nullptr) return refuse(EINVAL);
    }

    // Signal and run faults: a second program runs now, before the drive sees the command; a
    // signal comes while the drive has it.
    E2eFault* side[4];
    const size_t sides = FiringSideFaults(drive, cdb, side, 4);
    for (size_t i = 0; i < sides; ++i) {
        if (side[i]->Effect == E2eFaultEffect::Run) RunSecond(side[i]->RunArgs);
        if (side[i]->Effect == E2eFaultEffect::Signal) c.Signal = side[i]->SignalNumber;
    }
    // A fault that fires is handed to the model as one that catches this very command.
    drive.Model.Faults.clear();
    if (const E2eFault* fault = FiringFault(drive, cdb)) {
        drive.Model.Faults.push_back(ModelFault(*fault));
    }

    VirtualDriveData data;
    if (in.dxfer_len != 0 && toDevice) {
        data.Out = static_cast<const uint8_t*>(in.dxferp);
        data.OutLength = in.dxfer_len;
    } else if (in.dxfer_len != 0) {
        c.Data.assign(in.dxfer_len, 0);
        data.In = c.Data.data();
        data.InCapacity = in.dxfer_len;
    }
    const VirtualDriveAnswer answer =
        RunVirtualDriveCommand(drive.Model, cdb, in.cmd_len, data, NowMs());
    p.Runtime[static_cast<size_t>(index)].LastModelMs = NowMs();
    p.ClockNs += uint64_t{answer.DurationMs} * 1000000u;

    sg_io_hdr_t& h = c.Header;
    h = in;
    h.status = 0;
    h.masked_status = 0;
    h.msg_status = 0;
    h.host_status = 0;
    h.driver_status = 0;
    h.sb_len_wr = 0;
    h.info = 0;
    h.resid = 0;
    h.duration = answer.DurationMs;
    if (answer.CallFails) {
        c.Data.clear();
        if (answer.CallError == E2eModelTimeoutError) {
            // The midlayer gave up on the command: no status from the drive, the host says why.
            h.host_status = DidTimeOut;
            h.info = SG_INFO_CHECK;
            Record(index, cdb, "TIMEOUT");
            return 0;
        }
        // Where SG_IO fails with EIO, sg's read() tells of the lost command by its host.
        c.TransportFailed = route != Route::GenericWrite;
        if (!c.TransportFailed) {
            h.host_status = DidError;
            h.info = SG_INFO_CHECK;
        }
        Record(index, cdb, ErrnoName(EIO));
        return 0;
    }
    if (!toDevice && in.dxfer_len != 0) {
        h.resid = static_cast<int>(in.dxfer_len - answer.DataInLength);
        c.Data.resize(answer.DataInLength);
    }
    if (answer.Status != 0) {
        h.status = answer.Status;
        h.masked_status = static_cast<unsigned char>(answer.Status >> 1);
        h.driver_status = DriverSense;
        h.info = SG_INFO_CHECK;
        memcpy(c.Sense, answer.Sense, sizeof c.Sense);
        c.SenseLength = sizeof c.Sense;
        Record(index, cdb, SenseText(answer));
        return 0;
    }
    Record(index, cdb, "");
    return 0;
}

// The outcome into the caller's header, sense area and data buffer, as sg_new_read (and the
// block layer's sg_io) copies them out.
void CopyOut(const Completion& c, sg_io_hdr_t& h) {
    void* data = h.dxferp;
    unsigned char* sense = h.sbp;
    const unsigned char room = h.mx_sb_len;
    h = c.Header;
    h.sb_len_wr = 0;
    if (sense != nullptr && room != 0 && c.SenseLength != 0) {
        const unsigned length = room < c.SenseLength ? room : c.SenseLength;
        memcpy(sense, c.Sense, length);
        h.sb_len_wr = static_cast<unsigned char>(length);
    }
    if (data != nullptr && !c.Data.empty()) memcpy(data, c.Data.data(), c.Data.size());
}

// SG_IO. On the generic node the wait for the drive is interruptible: a signal that a handler
// catches leaves the command with the drive as an orphan and the call returns -ERESTARTSYS, so
// that SA_RESTART (or a stop and continue) submits it again and no SA_RESTART gives EINTR. The
// block layer waits uninterruptibly: the command ends, then the signal comes.
int SgIoCall(FakeFd& fake, sg_io_hdr_t* h) {
    const Route route = fake.Kind == FdKind::Generic ? Route::GenericIoctl : Route::BlockIoctl;
    for (int round = 0;; ++round) {
        Completion c;
        const int refused = Execute(fake.Drive, fake.Writable, route, *h, c);
        if (refused != 0) {
            errno = refused;
            return -1;
        }
        int after = c.Signal;  // a signal delivered once the call has completed
        if (c.Signal != 0 && route == Route::GenericIoctl && round < MaxRestarts) {
            switch (DispositionOf(c.Signal, nullptr)) {
                case Disposition::Nothing:
                    break;
                case Disposition::Fatal:
                    Deliver(c.Signal);
                    after = 0;
                    break;
                case Disposition::Handler:
                    Deliver(c.Signal);
                    errno = EINTR;
                    return -1;
                case Disposition::RestartingHandler:
                    Deliver(c.Signal);
                    continue;
                case Disposition::Stop:
                    Deliver(c.Signal);
                    if (RestartsAfterContinue(true)) continue;
                    errno = EINTR;
                    return -1;
            }
        }
        CopyOut(c, *h);
        if (after != 0) Deliver(after);
        if (c.TransportFailed) {
            errno = EIO;
            return -1;
        }
        return 0;
    }
}

int FakeIoctl(FakeFd& fake, unsigned long request, void* arg) {
    E2eDrive& drive = P().Drives[static_cast<size_t>(fake.Drive)];
    switch (request) {
        case SG_GET_VERSION_NUM:
            *static_cast<int*>(arg) = SgVersion;
            return 0;
        case BLKSECTGET:  // the queue's limit for one command, in bytes
            *static_cast<int*>(arg) = static_cast<int>(drive.MaxTransfer);
            return 0;
        case SCSI_IOCTL_GET_IDLUN: {
            const VirtualDrivePlace& place = drive.Model.Place;
            int* idLun = static_cast<int*>(arg);
            idLun[0] =
                static_cast<int>(uint32_t{place.ScsiTargetId} | uint32_t{place.Lun} << 8 |
                                 uint32_t{place.PathId} << 16 | uint32_t{place.PortNumber} << 24);
            idLun[1] = place.PortNumber + 1;  // the host's unique id
            return 0;
        }
        case SG_IO:
            return SgIoCall(fake, static_cast<sg_io_hdr_t*>(arg));
        default: {
            char item[48];
            snprintf(item, sizeof item, "sr%d ioctl-%lx!ENOTTY", drive.Index, request);
            P().Trace.push_back(item);
            errno = ENOTTY;
            return -1;
        }
    }
}

// ---- sg's asynchronous interface ---------------------------------------------------------

int QueuedFor(int fd) {
    int count = 0;
    for (const Reply& reply : P().Replies) {
        if (reply.Fd == fd) ++count;
    }
    return count;
}

Reply* OldestReply(int fd) {
    Reply* oldest = nullptr;
    for (Reply& reply : P().Replies) {
        if (reply.Fd == fd && (oldest == nullptr || reply.Order < oldest->Order)) oldest = &reply;
    }
    return oldest;
}

// Said on standard error and ended: the real kernel would wait here for ever.
[[noreturn]] void NeverReturns(const char* what, int fd) {
    fprintf(stderr, "fake_sr: %s on descriptor %d would wait for ever\n", what, fd);
    WriteRecord();
    _exit(125);
}

// sg_write: an sg_io_hdr submits the command (sg_new_write without the command filter); the
// reply waits for read(). The version 2 interface (struct sg_header) is not emulated.
ssize_t WriteGeneric(int fd, FakeFd& fake, const void* bytes, size_t count) {
    if (!fake.Writable) {
        errno = EBADF;
        return -1;
    }
    if (count < SgHeaderSize) {
        errno = EIO;
        return -1;
    }
    int replyLength = 0;
    memcpy(&replyLength, static_cast<const uint8_t*>(bytes) + 4, sizeof replyLength);
    if (replyLength >= 0) {
        fprintf(stderr, "fake_sr: write() of an sg_header (version 2) is not emulated\n");
        errno = ENOSYS;
        return -1;
    }
    if (count < sizeof(sg_io_hdr_t)) {
        errno = EINVAL;
        return -1;
    }
    Reply* slot = nullptr;
    for (Reply& reply : P().Replies) {
        if (reply.Fd < 0) {
            slot = &reply;
            break;
        }
    }
    if (QueuedFor(fd) >= SgMaxQueue || slot == nullptr) {
        if (slot == nullptr) fprintf(stderr, "fake_sr: more than %zu replies unread\n", MaxReplies);
        errno = EDOM;  // sg: queue full
        return -1;
    }
    sg_io_hdr_t in;
    memcpy(&in, bytes, sizeof in);
    Completion c;
    const int refused = Execute(fake.Drive, true, Route::GenericWrite, in, c);
    if (refused != 0) {
        errno = refused;
        return -1;
    }
    slot->Fd = fd;
    slot->Order = P().NextOrder++;
    slot->Header = c.Header;
    memcpy(slot->Sense, c.Sense, sizeof slot->Sense);
    slot->SenseLength = c.SenseLength;
    slot->Data.swap(c.Data);
    if (c.Signal != 0) fake.PendingSignal = c.Signal;  // it comes during the wait that follows
    return static_cast<ssize_t>(count);
}

// sg_read: the oldest reply (no pack_id matching), EAGAIN without one on a non-blocking
// descriptor; a blocking read waits interruptibly (restarted by SA_RESTART).
ssize_t ReadGeneric(int fd, FakeFd& fake, void* bytes, size_t count) {
    if (!fake.Readable) {
        errno = EBADF;
        return -1;
    }
    const bool nonBlocking = NonBlocking(fd);
    if (fake.PendingSignal != 0) {
        const int number = fake.PendingSignal;
        fake.PendingSignal = 0;
        // A non-blocking read does not wait, so nothing of it is interrupted.
        const Disposition what =
            nonBlocking ? Disposition::Nothing : DispositionOf(number, nullptr);
        Deliver(number);
        if (what == Disposition::Handler ||
            (what == Disposition::Stop && !RestartsAfterContinue(true))) {
            errno = EINTR;
            return -1;
        }
    }
    Reply* reply = OldestReply(fd);
    if (reply == nullptr) {
        if (nonBlocking) {
            errno = EAGAIN;
            return -1;
        }
        NeverReturns("read() of /dev/sg with no command submitted", fd);
    }
    sg_io_hdr_t h = reply->Header;
    const std::vector<uint8_t> data = std::move(reply->Data);
    Completion c;
    c.Header = reply->Header;
    memcpy(c.Sense, reply->Sense, sizeof c.Sense);
    c.SenseLength = reply->SenseLength;
    reply->Fd = -1;
    reply->Data.clear();
    // Too short a buffer still takes the reply off the queue.
    if (count < sizeof(sg_io_hdr_t)) {
        errno = EINVAL;
        return -1;
    }
    c.Data = data;
    CopyOut(c, h);
    memcpy(bytes, &h, sizeof h);
    return static_cast<ssize_t>(count);
}

// sg_poll: readable once a reply waits, writable while the queue has room. A block device
// has no poll of its own (always ready), nor has the attribute here.
short FakeEvents(int fd, const FakeFd& fake) {
    if (fake.Kind != FdKind::Generic) return POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
    short events = 0;
    if (OldestReply(fd) != nullptr) events |= POLLIN | POLLRDNORM;
    if (QueuedFor(fd) < SgMaxQueue) events |= POLLOUT | POLLWRNORM;
    return events;
}

// poll/ppoll over descriptors of which some are fake. A signal fault of a write comes during
// this wait: a handler makes it fail with EINTR (poll is never restarted after a handler,
// SA_RESTART or not), a stop and continue restarts it unseen, a blocked or ignored one waits.
int PollAny(struct pollfd* fds, nfds_t count, int timeoutMs, const sigset_t* waitMask,
            bool ppollCall) {
    constexpr nfds_t MaxEntries = 256;
    int deferred = 0;
    for (nfds_t i = 0; i < count; ++i) {
        FakeFd* fake = Fake(fds[i].fd);
        if (fake == nullptr || fake->PendingSignal == 0) continue;
        const int number = fake->PendingSignal;
        fake->PendingSignal = 0;
        const Disposition what = DispositionOf(number, waitMask);
        if (what == Disposition::Handler || what == Disposition::RestartingHandler) {
            sigset_t saved;
            if (waitMask != nullptr) sigprocmask(SIG_SETMASK, waitMask, &saved);
            Deliver(number);
            if (waitMask != nullptr) sigprocmask(SIG_SETMASK, &saved, nullptr);
            errno = EINTR;
            return -1;
        }
        if (what == Disposition::Stop) {
            Deliver(number);
            if (!RestartsAfterContinue(false)) {
                errno = EINTR;
                return -1;
            }
        } else if (what == Disposition::Fatal) {
            Deliver(number);
        } else {
            deferred = number;
        }
        break;
    }
    if (count > MaxEntries) {
        fprintf(stderr, "fake_sr: poll() of %lu descriptors is not emulated\n",
                static_cast<unsigned long>(count));
        errno = EINVAL;
        return -1;
    }
    int saved[MaxEntries];
    int readyFakes = 0;
    int realEntries = 0;
    for (nfds_t i = 0; i < count; ++i) {
        saved[i] = fds[i].fd;
        FakeFd* fake = Fake(fds[i].fd);
        if (fake == nullptr) {
            if (fds[i].fd >= 0) ++realEntries;
            continue;
        }
        if ((FakeEvents(fds[i].fd, *fake) & (fds[i].events | POLLERR | POLLHUP)) != 0) ++readyFakes;
        fds[i].fd = -1;  // the kernel skips it
    }
    int result = 0;
    if (realEntries == 0 && readyFakes == 0) {
        if (timeoutMs < 0) {
            for (nfds_t i = 0; i < count; ++i) fds[i].fd = saved[i];
            NeverReturns("poll() of /dev/sg with no reply coming", saved[0]);
        }
        Advance(uint64_t(timeoutMs) * 1000000u);
    } else {
        static const PollFn realPoll = Next<PollFn>("poll");
        static const PpollFn realPpoll = Next<PpollFn>("ppoll");
        const int wait = readyFakes != 0 ? 0 : timeoutMs;
        if (ppollCall) {
            const timespec length = {wait / 1000, (wait % 1000) * 1000000L};
            result = realPpoll(fds, count, wait < 0 ? nullptr : &length, waitMask);
        } else {
            result = realPoll(fds, count, wait);
        }
    }
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].fd = saved[i];
        FakeFd* fake = Fake(fds[i].fd);
        if (fake == nullptr) continue;
        fds[i].revents =
            static_cast<short>(FakeEvents(fds[i].fd, *fake) & (fds[i].events | POLLERR | POLLHUP));
        if (fds[i].revents != 0 && result >= 0) ++result;
    }
    if (deferred != 0) Deliver(deferred);
    return result;
}

bool AnyFake(const struct pollfd* fds, nfds_t count) {
    for (nfds_t i = 0; i < count; ++i) {
        if (Fake(fds[i].fd) != nullptr) return true;
    }
    return false;
}

// ---- stat --------------------------------------------------------------------------------

template <typename S>
void FillSrStat(int node, S* info, bool generic = false) {
    memset(info, 0, sizeof *info);
    info->st_mode = (generic ? S_IFCHR : S_IFBLK) | 0660;
    info->st_rdev = makedev(generic ? SgMajor : SrMajor, node);
    info->st_nlink = 1;
    info->st_blksize = 2048;
}

// The nodes of the drives, or -1 when the path is none of them (1: filled, 0: ENOENT).
template <typename S>
int StatNode(const char* path, S* info) {
    const int node = SrNode(path);
    if (node >= 0) {
        if (DriveIndexForNode(node) < 0) return 0;
        FillSrStat(node, info);
        return 1;
    }
    const int generic = SgNode(path);
    if (generic >= 0) {
        if (DriveIndexForGenericNode(generic) < 0) return 0;
        FillSrStat(generic, info, true);
        return 1;
    }
    return -1;
}

template <typename S, typename F>
int StatPath(const char* path, S* info, F real) {
    if (Active()) {
        const int node = StatNode(path, info);
        if (node >= 0) {
            if (node == 0) errno = ENOENT;
            return node == 1 ? 0 : -1;
        }
        char redirected[PATH_MAX];
        if (Redirect(path, redirected, sizeof redirected)) return real(redirected, info);
    }
    return real(path, info);
}

template <typename S, typename F>
int StatFd(int fd, S* info, F real) {
    FakeFd* fake = Fake(fd);
    if (fake != nullptr && fake->Kind != FdKind::PollAttribute) {
        const int index = P().Drives[static_cast<size_t>(fake->Drive)].Index;
        const bool generic = fake->Kind == FdKind::Generic;
        FillSrStat(generic ? index + 1 : index, info, generic);
        return 0;
    }
    return real(fd, info);
}

template <typename S, typename F>
int StatAt(int dirfd, const char* path, S* info, int flags, F real) {
    if (path != nullptr && path[0] == '\0' && (flags & AT_EMPTY_PATH) != 0) {
        FakeFd* fake = Fake(dirfd);
        if (fake != nullptr && fake->Kind != FdKind::PollAttribute) {
            const int index = P().Drives[static_cast<size_t>(fake->Drive)].Index;
            const bool generic = fake->Kind == FdKind::Generic;
            FillSrStat(generic ? index + 1 : index, info, generic);
            return 0;
        }
    }
    if (path != nullptr && path[0] == '/' && Active()) {
        const int node = StatNode(path, info);
        if (node >= 0) {
            if (node == 0) errno = ENOENT;
            return node == 1 ? 0 : -1;
        }
        char redirected[PATH_MAX];
        if (Redirect(path, redirected, sizeof redirected)) {
            return real(dirfd, redirected, info, flags);
        }
    }
    return real(dirfd, path, info, flags);
}

// fopen() of the attribute: a stream over the hooked descriptor (glibc's own open would
// bypass the hooks).
ssize_t StreamRead(void* cookie, char* bytes, size_t count) {
    return read(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), bytes, count);
}

ssize_t StreamWrite(void* cookie, const char* bytes, size_t count) {
    const ssize_t written =
        write(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), bytes, count);
    return written < 0 ? 0 : written;
}

int StreamClose(void* cookie) {
    return close(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

FILE* OpenAttributeStream(const char* path, const char* mode) {
    int flags = O_RDONLY;
    if (mode[0] == 'w' || mode[0] == 'a') flags = O_WRONLY;
    if (strchr(mode, '+') != nullptr) flags = O_RDWR;
    if (strchr(mode, 'e') != nullptr) flags |= O_CLOEXEC;
    const int fd = OpenAny(path, flags, 0, false);
    if (fd < 0) return nullptr;
    const cookie_io_functions_t io = {StreamRead, StreamWrite, nullptr, StreamClose};
    FILE* stream = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), mode, io);
    if (stream == nullptr) close(fd);
    return stream;
}

}  // namespace

// ---- the interposed calls ----------------------------------------------------------------

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return OpenAny(path, flags, mode, false);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return OpenAny(path, flags, mode, true);
}

// What _FORTIFY_SOURCE turns open() into when the mode is known to be absent.
int __open_2(const char* path, int flags) {
    return OpenAny(path, flags, 0, false);
}

int __open64_2(const char* path, int flags) {
    return OpenAny(path, flags, 0, true);
}

static int OpenAtAny(int dirfd, const char* path, int flags, mode_t mode, bool large) {
    if (path != nullptr && path[0] == '/') return OpenAny(path, flags, mode, large);
    static const OpenatFn realOpenat = Next<OpenatFn>("openat");
    static const OpenatFn realOpenat64 = Next<OpenatFn>("openat64");
    return (large ? realOpenat64 : realOpenat)(dirfd, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return OpenAtAny(dirfd, path, flags, mode, false);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return OpenAtAny(dirfd, path, flags, mode, true);
}

int __openat_2(int dirfd, const char* path, int flags) {
    return OpenAtAny(dirfd, path, flags, 0, false);
}

int __openat64_2(int dirfd, const char* path, int flags) {
    return OpenAtAny(dirfd, path, flags, 0, true);
}

int close(int fd) {
    if (FakeFd* fake = Fake(fd)) CloseFake(fd, *fake);
    return RealClose(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    FakeFd* fake = Fake(fd);
    if (fake != nullptr && fake->Kind != FdKind::PollAttribute) {
        return FakeIoctl(*fake, request, arg);
    }
    static const IoctlFn realIoctl = Next<IoctlFn>("ioctl");
    return realIoctl(fd, request, arg);
}

ssize_t read(int fd, void* bytes, size_t count) {
    if (FakeFd* fake = Fake(fd)) {
        switch (fake->Kind) {
            case FdKind::Generic:
                return ReadGeneric(fd, *fake, bytes, count);
            case FdKind::PollAttribute:
                if (!fake->Readable) break;
                return ReadAttribute(*fake, bytes, count);
            case FdKind::Block:
                // The model keeps no disc contents: a read of the disc fails as a bad sector does.
                if (!fake->Readable) break;
                errno = EIO;
                return -1;
            case FdKind::None:
                break;
        }
        errno = EBADF;
        return -1;
    }
    static const ReadFn real = Next<ReadFn>("read");
    return real(fd, bytes, count);
}

ssize_t write(int fd, const void* bytes, size_t count) {
    if (FakeFd* fake = Fake(fd)) {
        switch (fake->Kind) {
            case FdKind::Generic:
                return WriteGeneric(fd, *fake, bytes, count);
            case FdKind::PollAttribute:
                if (!fake->Writable) break;
                return WriteAttribute(*fake, bytes, count);
            case FdKind::Block:
                // sr marks the disk read-only: blkdev_write_iter refuses.
                if (!fake->Writable) break;
                errno = EPERM;
                return -1;
            case FdKind::None:
                break;
        }
        errno = EBADF;
        return -1;
    }
    return RealWrite(fd, bytes, count);
}

int poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    if (Active() && AnyFake(fds, count)) return PollAny(fds, count, timeoutMs, nullptr, false);
    static const PollFn real = Next<PollFn>("poll");
    return real(fds, count, timeoutMs);
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout, const sigset_t* mask) {
    if (Active() && AnyFake(fds, count)) {
        const int ms = timeout == nullptr
                           ? -1
                           : static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_nsec / 1000000);
        return PollAny(fds, count, ms, mask, true);
    }
    static const PpollFn real = Next<PpollFn>("ppoll");
    return real(fds, count, timeout, mask);
}

int stat(const char* path, struct stat* info) noexcept {
    static const StatFn real = Next<StatFn>("stat");
    return StatPath(path, info, real);
}

int stat64(const char* path, struct stat64* info) noexcept {
    static const Stat64Fn real = Next<Stat64Fn>("stat64");
    return StatPath(path, info, real);
}

int lstat(const char* path, struct stat* info) noexcept {
    static const StatFn real = Next<StatFn>("lstat");
    return StatPath(path, info, real);
}

int lstat64(const char* path, struct stat64* info) noexcept {
    static const Stat64Fn real = Next<Stat64Fn>("lstat64");
    return StatPath(path, info, real);
}

int fstat(int fd, struct stat* info) noexcept {
    static const FstatFn real = Next<FstatFn>("fstat");
    return StatFd(fd, info, real);
}

int fstat64(int fd, struct stat64* info) noexcept {
    static const Fstat64Fn real = Next<Fstat64Fn>("fstat64");
    return StatFd(fd, info, real);
}

int fstatat(int dirfd, const char* path, struct stat* info, int flags) noexcept {
    static const FstatatFn real = Next<FstatatFn>("fstatat");
    return StatAt(dirfd, path, info, flags, real);
}

int fstatat64(int dirfd, const char* path, struct stat64* info, int flags) noexcept {
    static const Fstatat64Fn real = Next<Fstatat64Fn>("fstatat64");
    return StatAt(dirfd, path, info, flags, real);
}

// The process's capabilities: a scenario's drive without CAP_SYS_RAWIO (no-rawio) stands for a
// process that lacks it, as the runner's --without-rawio makes it on the real kernel.
int capget(cap_user_header_t header, cap_user_data_t data) noexcept {
    using CapgetFn = int (*)(cap_user_header_t, cap_user_data_t);
    static const CapgetFn real = Next<CapgetFn>("capget");
    const int result = real(header, data);
    if (result != 0 || data == nullptr || !Active()) return result;
    for (const E2eDrive& drive : P().Drives) {
        if (!drive.RawIo) data[CAP_SYS_RAWIO / 32].effective &= ~(1u << (CAP_SYS_RAWIO % 32));
    }
    return result;
}

int access(const char* path, int how) noexcept {
    static const AccessFn real = Next<AccessFn>("access");
    if (Active()) {
        const int node = SrNode(path);
        if (node >= 0) {
            if (DriveIndexForNode(node) >= 0) return 0;
            errno = ENOENT;
            return -1;
        }
        const int generic = SgNode(path);
        if (generic >= 0) {
            if (DriveIndexForGenericNode(generic) >= 0) return 0;
            errno = ENOENT;
            return -1;
        }
        const int attribute = PollAttributeDrive(path);
        if (attribute >= 0 && (how & W_OK) != 0 &&
            P().Drives[static_cast<size_t>(attribute)].PollAttributeReadOnly) {
            errno = EACCES;
            return -1;
        }
        char redirected[PATH_MAX];
        if (Redirect(path, redirected, sizeof redirected)) return real(redirected, how);
    }
    return real(path, how);
}

int unlink(const char* path) noexcept {
    static const UnlinkFn real = Next<UnlinkFn>("unlink");
    char redirected[PATH_MAX];
    if (Active() && Redirect(path, redirected, sizeof redirected)) return real(redirected);
    return real(path);
}

int unlinkat(int dirfd, const char* path, int flags) noexcept {
    static const UnlinkatFn real = Next<UnlinkatFn>("unlinkat");
    char redirected[PATH_MAX];
    if (path[0] == '/' && Active() && Redirect(path, redirected, sizeof redirected)) {
        return real(dirfd, redirected, flags);
    }
    return real(dirfd, path, flags);
}

// glibc resolves the links with internal calls, so the whole lookup is redirected here and
// the drives' sysfs folder is taken off the answer again.
char* realpath(const char* path, char* resolved) noexcept {
    static const RealpathFn real = Next<RealpathFn>("realpath");
    if (Active() && !IsSysPath(path)) {
        // The scenario's links (/dev/cdrom, /dev/disk/by-path/...), then the drives' nodes.
        std::string at = path;
        for (int hops = 0; hops < 8; ++hops) {
            bool followed = false;
            for (const auto& link : P().Links) {
                if (link.first == at) {
                    at = link.second;
                    followed = true;
                    break;
                }
            }
            if (!followed) break;
        }
        const int sr = SrNode(at.c_str());
        const int sg = SgNode(at.c_str());
        if (sr >= 0 || sg >= 0) {
            if ((sr >= 0 ? DriveIndexForNode(sr) : DriveIndexForGenericNode(sg)) < 0) {
                errno = ENOENT;
                return nullptr;
            }
            if (resolved == nullptr) return strdup(at.c_str());
            snprintf(resolved, PATH_MAX, "%s", at.c_str());
            return resolved;
        }
        if (at != path) return real(at.c_str(), resolved);
        return real(path, resolved);
    }
    if (!(Active() && IsSysPath(path))) return real(path, resolved);
    char redirected[PATH_MAX];
    Redirect(path, redirected, sizeof redirected);
    char full[PATH_MAX];
    if (real(redirected, full) == nullptr) return nullptr;
    const std::string& root = P().SysRoot;
    const char* inside = strncmp(full, root.c_str(), root.size()) == 0 ? full + root.size() : full;
    if (resolved == nullptr) return strdup(inside);
    snprintf(resolved, PATH_MAX, "%s", inside);
    return resolved;
}

ssize_t readlink(const char* path, char* buffer, size_t size) noexcept {
    static const ReadlinkFn real = Next<ReadlinkFn>("readlink");
    char redirected[PATH_MAX];
    if (Active() && IsSysPath(path) && Redirect(path, redirected, sizeof redirected)) {
        return real(redirected, buffer, size);
    }
    return real(path, buffer, size);
}

static FILE* FopenAny(const char* path, const char* mode, FopenFn real) {
    if (Active()) {
        if (SrNode(path) >= 0 || SgNode(path) >= 0) {
            errno = EACCES;  // the program never reads the nodes as files
            return nullptr;
        }
        if (PollAttributeDrive(path) >= 0) return OpenAttributeStream(path, mode);
        char redirected[PATH_MAX];
        if (Redirect(path, redirected, sizeof redirected)) return real(redirected, mode);
    }
    return real(path, mode);
}

FILE* fopen(const char* path, const char* mode) {
    static const FopenFn real = Next<FopenFn>("fopen");
    return FopenAny(path, mode, real);
}

FILE* fopen64(const char* path, const char* mode) {
    static const FopenFn real = Next<FopenFn>("fopen64");
    return FopenAny(path, mode, real);
}

DIR* opendir(const char* path) {
    static const OpendirFn real = Next<OpendirFn>("opendir");
    char redirected[PATH_MAX];
    if (Active() && Redirect(path, redirected, sizeof redirected)) return real(redirected);
    return real(path);
}

// A process that ends itself by a signal skips the destructors: the record is written first.
int kill(pid_t pid, int number) noexcept {
    if ((pid == getpid() || pid == 0) && EndsProcess(number)) WriteRecord();
    return RealKill(pid, number);
}

int raise(int number) noexcept {
    static const RaiseFn real = Next<RaiseFn>("raise");
    if (EndsProcess(number)) WriteRecord();
    return real(number);
}

void _exit(int status) {
    WriteRecord();
    syscall(SYS_exit_group, status);
    __builtin_unreachable();
}

int clock_gettime(clockid_t clock, struct timespec* now) noexcept {
    if (IsVirtualClock(clock)) {
        const uint64_t ns = P().ClockNs;
        now->tv_sec = static_cast<time_t>(ns / 1000000000u);
        now->tv_nsec = static_cast<long>(ns % 1000000000u);
        return 0;
    }
    static const ClockGettimeFn real = Next<ClockGettimeFn>("clock_gettime");
    return real(clock, now);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* at, struct timespec* left) {
    if (!IsVirtualClock(clock)) {
        static const ClockNanosleepFn real = Next<ClockNanosleepFn>("clock_nanosleep");
        return real(clock, flags, at, left);
    }
    if (at == nullptr || at->tv_nsec < 0 || at->tv_nsec >= 1000000000) return EINVAL;
    if ((flags & TIMER_ABSTIME) != 0) {
        const uint64_t deadline = Ns(*at);
        if (deadline > P().ClockNs) Advance(deadline - P().ClockNs);
    } else {
        Advance(Ns(*at));
        if (left != nullptr) *left = timespec{0, 0};
    }
    return 0;
}

int nanosleep(const struct timespec* length, struct timespec* left) {
    if (length == nullptr || length->tv_nsec < 0 || length->tv_nsec >= 1000000000) {
        errno = EINVAL;
        return -1;
    }
    Advance(Ns(*length));
    if (left != nullptr) *left = timespec{0, 0};
    return 0;
}

// The system log: every line is kept for OUT/syslog.txt and none reaches the host's log.
void openlog(const char* ident, int option, int facility) {
    Preload& p = P();
    p.LogIdent = ident != nullptr ? ident : "(null)";
    p.LogOption = option;
    if (facility != 0) p.LogFacility = facility;
}

void closelog() {}

void vsyslog(int priority, const char* format, va_list args) {
    KeepSyslogLine(priority, format, args);
}

void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    KeepSyslogLine(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int, const char* format, va_list args) {
    KeepSyslogLine(priority, format, args);
}

void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    KeepSyslogLine(priority, format, args);
    va_end(args);
}

}  // extern "C"
