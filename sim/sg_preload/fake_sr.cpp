// Preloaded into the real odd-fwupdate: /dev/sr0../dev/sr22 of the scenario's virtual drives and
// their SCSI generic nodes /dev/sg1../dev/sg23, answered from the project's drive model through
// SG_IO with the kernel's own checks and error codes, a sysfs of their own for the bus lookup, and
// a virtual monotonic clock that every wait moves forward and that records each wait. Everything
// else passes to the C library.
//
// ODD_E2E_SCENARIO names the scenario file; ODD_E2E_OUT a folder that receives, at exit, the
// command trace, the waits, each drive's state and flash, and per command (and at exit) the
// pipes the program held that it did not start with (pipes.txt). ODD_E2E_NO_SG takes the generic
// nodes away, as when the sg module is not loaded.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_scenario.h"

namespace {

constexpr int SrMajor = 11;
constexpr int SgMajor = 21;
constexpr int SgVersion = 30527;  // what the block layer answers for SG_GET_VERSION_NUM
constexpr int MaxFds = 4096;
constexpr unsigned DidTimeOut = 0x03;
constexpr unsigned DriverSense = 0x08;
constexpr uint64_t ClockStartNs = 1000ull * 1000000000ull;

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

// ---- state -------------------------------------------------------------------------------

struct FakeFd {
    bool Used = false;
    int Drive = -1;  // index into Drives
    bool Writable = false;
    bool Generic = false;  // /dev/sgM rather than /dev/srN
};

struct Preload {
    bool Loaded = false;
    bool Loading = false;
    std::vector<E2eDrive> Drives;
    std::string OutFolder;
    std::string SysRoot;  // the drives' sysfs; "" before it is made
    FakeFd Fds[MaxFds];
    uint64_t ClockNs = ClockStartNs;
    std::vector<std::string> Trace;  // "srN item shown=N [offset=N]", one line per command
    std::vector<uint64_t> WaitsNs;
    std::vector<uint32_t> GenericOpens;  // per drive: successful opens of /dev/sgM
    std::vector<uint32_t> BlockOpens;    // and of /dev/srN
    std::vector<E2ePowerSupply> PowerSupplies;
    // Pipes the program came with (device, inode), and per command the pipes it holds besides
    // them: a logind inhibitor is the write end of a pipe.
    std::vector<std::pair<dev_t, ino_t>> InheritedPipes;
    std::vector<std::string> PipesHeld;
};

Preload& P() {
    static Preload* preload = new Preload;  // never destroyed: calls may come after exit
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
    }
    if (getenv("ODD_E2E_NO_SG") != nullptr) {
        for (E2eDrive& drive : p.Drives) drive.HasGenericNode = false;
    }
    p.GenericOpens.assign(p.Drives.size(), 0);
    p.BlockOpens.assign(p.Drives.size(), 0);
    if (!p.OutFolder.empty()) MakeFolders(p.OutFolder);
    if (!p.OutFolder.empty()) MakeSysfs(p);
    if (!p.OutFolder.empty()) MakePowerSupplies(p);
    p.InheritedPipes = OpenPipes();
    p.Loading = false;
    p.Loaded = true;
}

bool Active() {
    Load();
    return P().Loaded;
}

// A path of the real /sys as it lies in the drives' sysfs.
std::string SysPath(const char* path) {
    const Preload& p = P();
    return (p.SysRoot.empty() ? std::string("/nonexistent-sysfs") : p.SysRoot) + path;
}

FakeFd* Fake(int fd) {
    if (fd < 0 || fd >= MaxFds || !Active()) return nullptr;
    FakeFd& entry = P().Fds[fd];
    return entry.Used ? &entry : nullptr;
}

// ---- opening the nodes -------------------------------------------------------------------

// A real descriptor holds the number, so nothing else can be given the same one.
int Descriptor(int index, bool writable, bool generic) {
    Preload& p = P();
    static const OpenFn realOpen = Next<OpenFn>("open");
    const int fd = realOpen("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fd >= MaxFds) {
        static const CloseFn realClose = Next<CloseFn>("close");
        realClose(fd);
        errno = EMFILE;
        return -1;
    }
    p.Fds[fd] = FakeFd{true, index, writable, generic};
    ++(generic ? p.GenericOpens : p.BlockOpens)[static_cast<size_t>(index)];
    return fd;
}

// The block device open of sr: a node without a drive does not exist; without O_NONBLOCK the
// cdrom layer insists on a disc, and on a writable one for a write open.
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
    return Descriptor(index, access != O_RDONLY, false);
}

// The generic node needs no disc and does no command filtering of its own at open.
int OpenSg(int node, int flags) {
    const int index = DriveIndexForGenericNode(node);
    if (index < 0) {
        errno = ENOENT;
        return -1;
    }
    const E2eDrive& drive = P().Drives[static_cast<size_t>(index)];
    if (drive.GenericOpenErrno != 0) {
        errno = drive.GenericOpenErrno;
        return -1;
    }
    return Descriptor(index, (flags & O_ACCMODE) != O_RDONLY, true);
}

int OpenAny(const char* path, int flags, mode_t mode, bool large) {
    if (Active()) {
        const int node = SrNode(path);
        if (node >= 0) return OpenSr(node, flags);
        const int generic = SgNode(path);
        if (generic >= 0) return OpenSg(generic, flags);
        if (IsSysPath(path)) {
            const std::string redirected = SysPath(path);
            static const OpenFn realOpen = Next<OpenFn>("open");
            return realOpen(redirected.c_str(), flags, mode);
        }
    }
    static const OpenFn realOpen = Next<OpenFn>("open");
    static const OpenFn realOpen64 = Next<OpenFn>("open64");
    return (large ? realOpen64 : realOpen)(path, flags, mode);
}

mode_t ModeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// ---- SG_IO -------------------------------------------------------------------------------

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

uint32_t NowMs() {
    return static_cast<uint32_t>(P().ClockNs / 1000000u);
}

int SgIo(int index, bool writable, bool generic, sg_io_hdr_t* h) {
    E2eDrive& drive = P().Drives[static_cast<size_t>(index)];
    uint8_t cdb[16] = {};
    if (h->interface_id != 'S') {
        errno = EINVAL;
        return -1;
    }
    if (h->cmd_len > 16 || h->cmdp == nullptr) {
        errno = EINVAL;
        return -1;
    }
    memcpy(cdb, h->cmdp, h->cmd_len);
    auto refuse = [&](int error) {
        Record(index, cdb, ErrnoName(error));
        errno = error;
        return -1;
    };
    const bool filtered = !(generic && writable);
    if (filtered && !SafeForRead(cdb[0]) && !(SafeForWrite(cdb[0]) && writable) && !drive.RawIo) {
        return refuse(EPERM);
    }
    // With CAP_SYS_RAWIO the kernel takes WRITE BUFFER through a read-only descriptor too; a
    // program that rewrites firmware opens the drive for writing all the same, and the record
    // counts the writes that came another way.
    if (cdb[0] == 0x3B && !writable) ++drive.ReadOnlyWrites;
    if (h->dxfer_len > drive.MaxTransfer) return refuse(EIO);
    bool toDevice = false;
    if (h->dxfer_len != 0) {
        switch (h->dxfer_direction) {
            case SG_DXFER_TO_DEV:
                toDevice = true;
                break;
            case SG_DXFER_FROM_DEV:
            case SG_DXFER_TO_FROM_DEV:
                break;
            default:
                return refuse(EINVAL);
        }
        if (h->iovec_count != 0 || h->dxferp == nullptr) return refuse(EINVAL);
    }

    // A fault that fires is handed to the model as one that catches this very command.
    drive.Model.Faults.clear();
    E2eFault* firing = FiringFault(drive, cdb);
    if (firing != nullptr && firing->Effect == E2eFaultEffect::Signal) {
        // As from another process: the program's handler (if any) runs before the command.
        kill(getpid(), firing->SignalNumber);
        firing = nullptr;
    }
    if (const E2eFault* fault = firing) {
        drive.Model.Faults.push_back(ModelFault(*fault));
    }

    VirtualDriveData data;
    uint8_t* buffer = static_cast<uint8_t*>(h->dxferp);
    if (h->dxfer_len != 0 && toDevice) {
        data.Out = buffer;
        data.OutLength = h->dxfer_len;
    } else if (h->dxfer_len != 0) {
        data.In = buffer;
        data.InCapacity = h->dxfer_len;
    }
    const VirtualDriveAnswer answer =
        RunVirtualDriveCommand(drive.Model, cdb, h->cmd_len, data, NowMs());
    P().ClockNs += uint64_t{answer.DurationMs} * 1000000u;

    h->status = 0;
    h->masked_status = 0;
    h->msg_status = 0;
    h->host_status = 0;
    h->driver_status = 0;
    h->sb_len_wr = 0;
    h->info = 0;
    h->resid = 0;
    h->duration = answer.DurationMs;
    if (answer.CallFails) {
        if (answer.CallError == E2eModelTimeoutError) {
            // The midlayer gave up on the command: no status from the drive, the host says why.
            h->host_status = DidTimeOut;
            h->info = SG_INFO_CHECK;
            Record(index, cdb, "TIMEOUT");
            return 0;
        }
        Record(index, cdb, ErrnoName(EIO));
        errno = EIO;
        return -1;
    }
    if (!toDevice && h->dxfer_len != 0)
        h->resid = static_cast<int>(h->dxfer_len - answer.DataInLength);
    if (answer.Status != 0) {
        h->status = answer.Status;
        h->masked_status = static_cast<unsigned char>(answer.Status >> 1);
        h->driver_status = DriverSense;
        h->info = SG_INFO_CHECK;
        if (h->sbp != nullptr && h->mx_sb_len != 0) {
            const unsigned length =
                h->mx_sb_len < sizeof answer.Sense ? h->mx_sb_len : sizeof answer.Sense;
            memcpy(h->sbp, answer.Sense, length);
            h->sb_len_wr = static_cast<unsigned char>(length);
        }
        char sense[16];
        snprintf(sense, sizeof sense, "%02x/%02x/%02x", answer.Sense[2], answer.Sense[12],
                 answer.Sense[13]);
        Record(index, cdb, sense);
        return 0;
    }
    Record(index, cdb, "");
    return 0;
}

int FakeIoctl(FakeFd& fake, unsigned long request, void* arg) {
    E2eDrive& drive = P().Drives[static_cast<size_t>(fake.Drive)];
    switch (request) {
        case SG_GET_VERSION_NUM:
            *static_cast<int*>(arg) = SgVersion;
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
            return SgIo(fake.Drive, fake.Writable, fake.Generic, static_cast<sg_io_hdr_t*>(arg));
        default: {
            char item[48];
            snprintf(item, sizeof item, "sr%d ioctl-%lx!ENOTTY", drive.Index, request);
            P().Trace.push_back(item);
            errno = ENOTTY;
            return -1;
        }
    }
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

template <typename S, typename F>
int StatPath(const char* path, S* info, F real) {
    if (Active()) {
        const int node = SrNode(path);
        if (node >= 0) {
            if (DriveIndexForNode(node) < 0) {
                errno = ENOENT;
                return -1;
            }
            FillSrStat(node, info);
            return 0;
        }
        const int generic = SgNode(path);
        if (generic >= 0) {
            if (DriveIndexForGenericNode(generic) < 0) {
                errno = ENOENT;
                return -1;
            }
            FillSrStat(generic, info, true);
            return 0;
        }
        if (IsSysPath(path)) return real(SysPath(path).c_str(), info);
    }
    return real(path, info);
}

template <typename S, typename F>
int StatFd(int fd, S* info, F real) {
    if (FakeFd* fake = Fake(fd)) {
        const int index = P().Drives[static_cast<size_t>(fake->Drive)].Index;
        FillSrStat(fake->Generic ? index + 1 : index, info, fake->Generic);
        return 0;
    }
    return real(fd, info);
}

template <typename S, typename F>
int StatAt(int dirfd, const char* path, S* info, int flags, F real) {
    if (path != nullptr && path[0] == '\0' && (flags & AT_EMPTY_PATH) != 0) {
        if (FakeFd* fake = Fake(dirfd)) {
            const int index = P().Drives[static_cast<size_t>(fake->Drive)].Index;
            FillSrStat(fake->Generic ? index + 1 : index, info, fake->Generic);
            return 0;
        }
    }
    if (path != nullptr && path[0] == '/' && Active()) {
        const int node = SrNode(path);
        if (node >= 0) {
            if (DriveIndexForNode(node) < 0) {
                errno = ENOENT;
                return -1;
            }
            FillSrStat(node, info);
            return 0;
        }
        if (IsSysPath(path)) return real(dirfd, SysPath(path).c_str(), info, flags);
    }
    return real(dirfd, path, info, flags);
}

// ---- the clock ---------------------------------------------------------------------------

bool IsVirtualClock(clockid_t clock) {
    return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW ||
           clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_BOOTTIME;
}

uint64_t Ns(const timespec& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

void Advance(uint64_t ns) {
    Preload& p = P();
    p.ClockNs += ns;
    p.WaitsNs.push_back(ns);
}

// ---- the record at exit ------------------------------------------------------------------

// Descriptors of the drive still open when the program ends.
int HandlesOpen(const Preload& p, const E2eDrive& drive) {
    int count = 0;
    for (const FakeFd& fd : p.Fds) {
        if (fd.Used && p.Drives[static_cast<size_t>(fd.Drive)].Index == drive.Index) ++count;
    }
    return count;
}

std::string FlashState(const Preload& p, const E2eDrive& drive) {
    const VirtualDrive& m = drive.Model;
    std::ostringstream out;
    const size_t index = static_cast<size_t>(&drive - p.Drives.data());
    out << "handles-open=" << HandlesOpen(p, drive) << "\n";
    out << "opens-sg=" << p.GenericOpens[index] << "\n"
        << "opens-sr=" << p.BlockOpens[index] << "\n";
    out << "revision=" << m.Revision << "\n"
        << "mode=" << (m.Mode == VirtualDriveMode::Kernel ? "kernel" : "normal") << "\n"
        << "kernel-chunks=" << m.KernelChunks << "\n"
        << "normal-chunks=" << m.NormalChunks << "\n"
        << "normal-end=" << m.NormalBytesEnd << "\n"
        << "kernel-end=" << m.KernelBytesEnd << "\n"
        << "reflashes=" << m.ReflashCount << "\n"
        << "pre-update-writes=" << m.PreUpdateWrites << "\n"
        << "read-only-writes=" << drive.ReadOnlyWrites << "\n";
    return out.str();
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

__attribute__((destructor)) void WriteRecord() {
    Preload& p = P();
    if (!p.Loaded || p.OutFolder.empty()) return;
    std::string trace;
    for (const std::string& line : p.Trace) trace += line + "\n";
    WriteText(p.OutFolder + "/trace.txt", trace);
    std::string waits;
    for (const uint64_t ns : p.WaitsNs) {
        // Waits of whole milliseconds are shown as such; anything finer keeps its nanoseconds.
        waits += ns % 1000000u == 0 ? std::to_string(ns / 1000000u) : std::to_string(ns) + "ns";
        waits += "\n";
    }
    WriteText(p.OutFolder + "/waits.txt", waits);
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
    if (FakeFd* fake = Fake(fd)) *fake = FakeFd{};
    static const CloseFn realClose = Next<CloseFn>("close");
    return realClose(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (FakeFd* fake = Fake(fd)) return FakeIoctl(*fake, request, arg);
    static const IoctlFn realIoctl = Next<IoctlFn>("ioctl");
    return realIoctl(fd, request, arg);
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
        if (IsSysPath(path)) return real(SysPath(path).c_str(), how);
    }
    return real(path, how);
}

// glibc resolves the links with internal calls, so the whole lookup is redirected here and
// the drives' sysfs folder is taken off the answer again.
char* realpath(const char* path, char* resolved) noexcept {
    static const RealpathFn real = Next<RealpathFn>("realpath");
    if (!(Active() && IsSysPath(path))) return real(path, resolved);
    char full[PATH_MAX];
    if (real(SysPath(path).c_str(), full) == nullptr) return nullptr;
    const std::string& root = P().SysRoot;
    const char* inside = strncmp(full, root.c_str(), root.size()) == 0 ? full + root.size() : full;
    if (resolved == nullptr) return strdup(inside);
    snprintf(resolved, PATH_MAX, "%s", inside);
    return resolved;
}

ssize_t readlink(const char* path, char* buffer, size_t size) noexcept {
    static const ReadlinkFn real = Next<ReadlinkFn>("readlink");
    if (Active() && IsSysPath(path)) {
        return real(SysPath(path).c_str(), buffer, size);
    }
    return real(path, buffer, size);
}

FILE* fopen(const char* path, const char* mode) {
    static const FopenFn real = Next<FopenFn>("fopen");
    if (Active()) {
        if (SrNode(path) >= 0 || SgNode(path) >= 0) {
            errno = EACCES;  // the program never reads the nodes as files
            return nullptr;
        }
        if (IsSysPath(path)) return real(SysPath(path).c_str(), mode);
    }
    return real(path, mode);
}

DIR* opendir(const char* path) {
    static const OpendirFn real = Next<OpendirFn>("opendir");
    if (Active() && IsSysPath(path)) return real(SysPath(path).c_str());
    return real(path);
}

FILE* fopen64(const char* path, const char* mode) {
    static const FopenFn real = Next<FopenFn>("fopen64");
    if (Active() && IsSysPath(path)) return real(SysPath(path).c_str(), mode);
    return real(path, mode);
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

}  // extern "C"
