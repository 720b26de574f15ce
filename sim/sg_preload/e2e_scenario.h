#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "virtual_drive.h"

// One end-to-end scenario: the virtual drives behind /dev/srN (read by the preloaded library),
// the package in the program's folder, the answers typed at the boxes and what the run must
// leave behind (read by the runner). Both sides read the same file, so a scenario is one file.
//
// The file is line oriented; '#' starts a comment line. Top-level keywords:
//   drive N                 a virtual drive at /dev/srN; the indented lines below set it up:
//                           model fields (vendor, product, revision, date, kernel-revision,
//                           kernel-date, hardware, kernel-edition, normal-edition, rpc, kind,
//                           switch-value, disc, mode, stay-in-kernel, reboot-ms, ...), the
//                           host's side (open-error ERRNO, no-rawio, max-transfer, firewire,
//                           scsi-address H:C:I:L, no-sg, sg-open-error ERRNO) and faults:
//                           fault eio|eio-late|timeout|check=KK/AA/QQ|delay=MS|signal=NAME|
//                                 run="ARGS" [opcode=HH] [mode=HH] [buffer=HH] [skip=N]
//                                 [times=N|all]
//                           (signal: SIGNAME comes while the drive carries the command out,
//                           and the kernel acts on it as it would: see fake_sr.cpp; NAME is
//                           INT, HUP, TERM, QUIT, TSTP, USR1, CHLD, CONT, KILL (the kernel's
//                           handler), or STOP for a stop and continue from outside; for the
//                           kernel's handler delay=MS answers the command that much later, so
//                           that the signal finds it in flight. run: before the drive sees the
//                           command, the same program runs once more with ARGS; signal and
//                           run faults count their commands apart from the drive's faults,
//                           so they can share a command with one of those),
//                           poll-msecs N (the disk's events_poll_msecs, -1 unless given),
//                           poll-default-msecs N (the block layer's events_dfl_poll_msecs,
//                           0 unless given), no-poll-attribute, poll-attribute-readonly
//   package k=v ...         revision=, date=, size=, for=N (the drive it suits),
//   omit=normal|kernel,
//                           names=lower (the file names in lower case, as some archives carry
//                           them), fifo=normal|kernel (a FIFO with the image's name, no writer),
//                           illegal=kernel (a kernel image of the normal part's kind)
//   power-supply NAME k=v...  an entry of /sys/class/power_supply with these attributes
//                           (type=Battery scope=Device capacity=5 online=1 ...)
//   args WORD...            the program's arguments (none unless given)
//   path sg|sr              the run needs the SCSI generic nodes, or has none (sg not loaded);
//                           without it the scenario holds on both paths
//   env NAME=value          set for the program (LANG=C unless given)
//   no-terminal             run without any controlling terminal
//   stderr-to-stdout        standard error goes where standard output goes (one file, as on
//                           a terminal): the stdout block holds both, in the order written
//   link PATH -> TARGET     PATH (/dev/cdrom, /dev/disk/by-path/...) is a link to TARGET, as
//                           realpath() resolves it
//   within MS               the program ends within MS of real time
//   box TYPE ANSWER [TEXT]  the next box: yesno | ok | okcancel, the word typed, and a text that
//                           the box must contain (escapes decoded); a box that asks again after
//                           an answer it did not take counts as the next box, its text being
//                           what it said since that answer
//   exit N                  the program's exit code; "exit signal=NAME": killed by SIGNAME
//   locked N PID            the lock of drive N (/run/lock/odd-fwupdate-srN.lock) is held by
//                           another live process, the file saying PID
//   stale-lock N PID        the lock file of drive N says PID, and nobody holds it
//   second-exit N           a second program run (fault run=) exits with N
//   second-stderr TEXT      one line of its standard error (several lines add up; {pid}
//                           stands for the first program's process id)
//   second-stdout TEXT      part of its standard output, escapes decoded (several lines add
//                           up, their own line ends dropped; {pid} as above)
//   second-trace N ITEMS... the commands drive N received from it (none: no items)
//   meanwhile MS [ARG...]   a second odd-fwupdate, started MS after the first in the same
//                           folder without a terminal; the indented lines below say what it
//                           must show: exit N, stdout TEXT (escapes decoded, nothing added),
//                           stderr TEXT (a line); lines add up, without any none is expected;
//                           "{holder}" stands for the first program's process id
//   expect-drive N k=v ...  the drive afterwards: revision=, mode=normal|kernel, kernel-chunks=,
//                           normal-chunks=, reflashes=, flash=new|none, read-only-writes= (WRITE
//                           BUFFERs sent through a descriptor opened read-only)
//   trace N ITEMS...        the commands drive N received, in order (several lines add up);
//                           ITEM is the opcode in hex, "3b/07/f0" for the buffer commands, a
//                           "!02/3a/00" / "!EIO" / "!EPERM" suffix for a failed one, "*K" repeats
//   only-program-between A B  from the first command A to the first B after it, the drive
//                           received none of the kernel's own commands ("kernel-between A B
//                           [ITEM...]": some, these among them); A and B are trace items or
//                           their beginnings
//   aborted-within MS       the kernel gave up on a command, each within MS of its arrival
//   waits MS...             every wait of the program's clock, in order ("*K" repeats)
//   stderr TEXT             one line of the expected standard error (escapes decoded; several
//                           lines add up); without any, standard error must stay empty
//   syslog [TEXT]           one line the program sent to the system log, as
//                           "IDENT[PID] FACILITY.LEVEL: TEXT" (escapes decoded; several lines
//                           add up); with any, the whole log must match ("syslog" alone: none
//                           at all); without, the log is not checked
//   stdout                  the rest of the file is the expected standard output: escapes
//                           (\n \r \t \\ \xHH) decoded, the file's own line ends dropped

enum class E2eFaultEffect {
    Eio,      // SG_IO fails with EIO before the drive sees the command
    EioLate,  // the drive carries the command out, then SG_IO fails with EIO
    Timeout,  // SG_IO returns with host_status DID_TIME_OUT; the drive never saw it
    Check,    // CHECK CONDITION with the given sense
    Delay,    // the command takes ExtraMs longer
    Signal,   // SignalNumber comes while the drive carries the command out
    Run,      // the program is run once more with RunArgs before the drive sees the command
};

// Not a signal: a stop and continue from outside (SIGSTOP, then SIGCONT).
constexpr int E2eStopContinue = -1;

// A fault on the commands that fit (-1: any). The first Skip fitting commands pass.
struct E2eFault {
    int Opcode = -1;
    int Mode = -1;
    int BufferId = -1;
    uint32_t Skip = 0;
    int Times = 1;  // -1: without end
    E2eFaultEffect Effect = E2eFaultEffect::Eio;
    uint8_t SenseKey = 0;
    uint8_t Asc = 0;
    uint8_t Ascq = 0;
    uint32_t ExtraMs = 0;
    int SignalNumber = 0;  // or E2eStopContinue
    std::vector<std::string> RunArgs;
    uint32_t Seen = 0;  // fitting commands so far
};

struct E2eDrive {
    int Index = 0;  // /dev/srN
    VirtualDrive Model;
    int OpenErrno = 0;             // every open of the node fails with this
    bool RawIo = true;             // false: the process lacks CAP_SYS_RAWIO
    uint32_t MaxTransfer = 65536;  // the queue's max_hw_sectors << 9
    bool OnFireWire = false;       // sysfs puts the device below a FireWire unit
    // The SCSI generic node: /dev/sg(N+1), so that a mix-up of the two numbers shows.
    bool HasGenericNode = true;
    int GenericOpenErrno = 0;  // every open of /dev/sgM fails with this
    std::vector<E2eFault> Faults;
    // Media polling: /sys/block/srN/events_poll_msecs (-1: the block layer's default, which
    // is events_dfl_poll_msecs), absent, or not writable by this user.
    int PollMsecs = -1;
    int PollDefaultMsecs = 0;
    bool HasPollAttribute = true;
    bool PollAttributeReadOnly = false;
    uint32_t ReadOnlyWrites = 0;  // WRITE BUFFERs that came through a read-only descriptor
};

struct E2ePackage {
    bool Present = false;
    int ForDrive = 0;
    std::string Revision = "1.22";
    std::string Date = "08/07/25";
    uint32_t Size = 0x200000;
    bool OmitNormal = false;
    bool OmitKernel = false;
    bool LowerCaseNames = false;
    bool FifoNormal = false;
    bool FifoKernel = false;
    bool IllegalKernel = false;
};

struct E2eBox {
    std::string Type;  // yesno, ok, okcancel
    std::string Answer;
    std::string Contains;
};

struct E2eDriveCheck {
    int Drive = 0;
    std::vector<std::pair<std::string, std::string>> Expected;  // key, value
};

struct E2eTrace {
    int Drive = 0;
    std::vector<std::string> Items;  // expanded
};

struct E2eWindow {
    std::string From;
    std::string To;
    bool ProgramOnly = true;
    std::vector<std::string> KernelItems;  // each among the kernel's commands in the window
};

struct E2eLock {
    int Drive = 0;
    uint32_t Pid = 0;  // written in the file
    bool Held = true;  // false: a stale file nobody holds
};

struct E2eMeanwhile {
    uint32_t AfterMs = 0;
    std::vector<std::string> Args;
    int ExitCode = 0;
    std::string Stdout;
    std::string Stderr;
};

// A power supply of the machine: its folder's name and attribute files.
struct E2ePowerSupply {
    std::string Name;
    std::vector<std::pair<std::string, std::string>> Attributes;
};

struct E2eScenario {
    std::vector<E2eDrive> Drives;
    E2ePackage Package;
    std::string Path = "any";  // sg, sr or any
    std::vector<std::string> Env;
    bool NoTerminal = false;
    bool StderrToStdout = false;
    std::vector<std::pair<std::string, std::string>> Links;  // path, target
    uint32_t WithinMs = 0;                                   // 0: the runner's own limit only
    std::vector<E2eBox> Boxes;
    int ExitCode = 0;
    int ExitSignal = 0;  // non-zero: the program must die by this signal
    std::vector<E2eLock> Locks;
    int SecondExit = -1;  // -1: not checked
    bool CheckSecondStderr = false;
    std::string SecondStderr;
    bool CheckSecondStdout = false;
    std::string SecondStdout;
    std::vector<E2eTrace> SecondTraces;
    std::vector<E2eDriveCheck> DriveChecks;
    std::vector<E2eTrace> Traces;
    std::vector<E2eWindow> Windows;
    uint32_t AbortedWithinMs = 0;
    bool CheckWaits = false;
    std::vector<std::string> Waits;  // expanded
    bool CheckStdout = false;
    std::string Stdout;
    std::vector<std::string> Args;
    std::string Stderr;  // expected standard error; empty: none
    bool CheckSyslog = false;
    std::string Syslog;  // the expected system log, a line each
    std::vector<E2eMeanwhile> Meanwhile;
    std::vector<E2ePowerSupply> PowerSupplies;
};

// The model's call errors are Windows codes.
constexpr uint32_t E2eModelIoDeviceError = 1117;  // ERROR_IO_DEVICE
constexpr uint32_t E2eModelTimeoutError = 121;    // ERROR_SEM_TIMEOUT

// The first of the drive's faults that fires on this command (each counts the commands that
// fit it), or null. Signal and run faults are left to FiringSideFaults.
E2eFault* FiringFault(E2eDrive& drive, const uint8_t* cdb);

// The signal and run faults that fire on this command (at most `room`), each counting its
// own commands; their number.
size_t FiringSideFaults(E2eDrive& drive, const uint8_t* cdb, E2eFault** firing, size_t room);

// SIGNAME of a scenario ("INT"), E2eStopContinue for "STOP", or 0.
int E2eSignalNumber(const std::string& name);

// The fault as the drive model takes it: one that catches the command at hand, once.
VirtualDriveFault ModelFault(const E2eFault& fault);

// False with a message naming the line when the text is not a valid scenario.
bool ParseScenario(const std::string& text, E2eScenario& scenario, std::string& error);

// "\n", "\r", "\t", "\\", "\xHH" decoded; any other character as it stands.
std::string DecodeEscapes(const std::string& text);

// The opposite, for messages: control and non-ASCII bytes escaped.
std::string EscapeForDisplay(const std::string& text);

// "a*3" becomes a a a; false on a bad count.
bool ExpandRuns(const std::vector<std::string>& items, std::vector<std::string>& out);

// Repeats folded back into "a*3", to show a list briefly.
std::string FoldRuns(const std::vector<std::string>& items);

// The trace item of one command: opcode, buffer mode and id, and the outcome ("" when good).
std::string TraceItem(const uint8_t* cdb, const std::string& outcome);
