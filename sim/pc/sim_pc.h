#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform_log.h"
#include "platform/platform_power.h"
#include "virtual_drive.h"

// The simulated PC: the host that the tests and the demo run on. Everything the program
// asks of its platform is answered from here, and everything it does is recorded here.

struct SimBoxRecord {
    std::string Text;
    std::string Caption;
    uint32_t Flags;
    int Answer;
};

// One command as it reached a virtual drive (or failed to), in order of submission.
struct SimCommandRecord {
    char Letter;   // SPTI: the drive letter; 0 on ASPI
    int Adapter;   // ASPI: host adapter number; -1 on SPTI
    int TargetId;  // ASPI: target id; -1 on SPTI
    uint8_t Cdb[16];
    int CdbLength;
    int Direction;       // 0 none, 1 in (drive to host), 2 out
    uint32_t Length;     // transfer length
    uint32_t TimeoutMs;  // SPTI: TimeOutValue x 1000; ASPI: 0 (the ASPI block carries none)
    uint8_t Status;      // SCSI status (0 good, 2 CHECK CONDITION); SimCallFailed when the
                         // pass-through call itself failed
    uint8_t Sense[18];   // fixed-format sense data returned with CHECK CONDITION
    uint32_t AtMs;       // virtual clock when the command was submitted
};
constexpr uint8_t SimCallFailed = 0xFF;

// A file in the simulated PC's current directory, with the failures to inject on it.
struct SimFile {
    std::string Name;
    std::vector<uint8_t> Bytes;
    uint32_t OpenError = 0;  // non-zero: opening fails with this Windows error code
    bool ReadFails = false;  // ReadFile fails
    // The file replaced behind the program's back: from its ReplacedAtOpen-th open on
    // (1-based; 0 never) it holds ReplacedBytes. Opens counts the opens so far.
    uint32_t ReplacedAtOpen = 0;
    std::vector<uint8_t> ReplacedBytes;
    uint32_t Opens = 0;
};
// An open file: a snapshot of the bytes taken at the open, and the read position.
struct SimOpenFile {
    std::vector<uint8_t> Bytes;
    uint32_t Position = 0;
    bool ReadFails = false;
    bool Open = true;
};

// An ASPI host adapter: its 16-byte HA_Identifier, blank padded. An adapter named "intelata"
// is the Intel ATA driver, which reports NOT READY for a command that the drive carried out
// when the drive is busy (re-flashing, rebooting) as the command ends.
struct SimAdapter {
    std::string Name;
};
// A handle of PlatformOpenDevice (handle - SimDeviceHandleBase indexes DeviceHandles).
struct SimDeviceHandle {
    char Letter;
    uint32_t Access;
    bool Open;
};
// An event of PlatformCreateEvent (handle - 1 indexes Events).
struct SimEvent {
    bool Open;
    bool Signalled;
};
// An SC_EXEC_SCSI_CMD the drive has answered but the ASPI layer has not yet completed: at
// CompleteAtMs it writes the status, sense and data-in bytes into the caller's storage, and
// signals the event then or, with Sim.AspiSignalDelayMs, that much later.
struct SimPendingAspi {
    uint8_t* Srb;
    uint8_t* Data;
    uint32_t BufLen;
    uint8_t SenseLen;  // SRB_SenseLen as it was at submission
    intptr_t Event;    // the AspiEvent to signal; 0: none
    uint32_t CompleteAtMs;
    uint8_t SrbStatus;  // SS_COMP or SS_ERR
    uint8_t HaStat;
    uint8_t TargStat;
    uint8_t Sense[18];
    std::vector<uint8_t> DataIn;
    bool StatusWritten;  // completed; the event's signal is still to come at SignalAtMs
    uint32_t SignalAtMs;
    bool Done;  // completed and signalled, or aborted: it writes and signals nothing any more
};
constexpr intptr_t SimDeviceHandleBase = 0x100;

// The simulated registry: keys under HKEY_LOCAL_MACHINE or HKEY_DYN_DATA (Root), each
// with its path below the root and its values. Subkeys are enumerated in the order the keys
// were added; paths compare without regard to case, as on Windows.
struct SimRegistryValue {
    std::string Name;
    std::vector<uint8_t> Data;
};
struct SimRegistryKey {
    intptr_t Root;
    std::string Path;
    std::vector<SimRegistryValue> Values;
};
enum class SimRegCall { Open, QueryInfo, EnumKey, QueryValue };
// A registry call that fails with Error: the call on the key at Path (for Open, the path
// asked for; empty: any key), for EnumKey at subkey Index (-1: any).
struct SimRegistryFailure {
    SimRegCall Call;
    std::string Path;
    uint32_t Error;
    int Index = -1;
};
struct SimRegistryOpen {
    intptr_t Root;
    std::string Path;
    uint32_t Access;
    uint32_t Result;  // ERROR_SUCCESS or the error the open answered
};

// A SetThreadExecutionState call: its flags, the drive it was for, and how many commands
// had reached the drive layer by then.
struct SimExecutionState {
    uint32_t Flags;
    char Letter;
    size_t CommandsBefore;
};

// A record of the system log, and how many commands had reached the drive layer by then.
struct SimLogRecord {
    LogLevel Level;
    char Letter;
    std::string Event;
    std::string Details;
    size_t CommandsBefore;
};

struct SimPc {
    // Console and language
    std::string Console;  // everything written to standard output
    std::string Errors;   // what the program wrote to standard error through the platform
    uint32_t OemCodePage = 437;

    // Boxes: answers are taken in order; when none is left the box counts as not shown (0).
    std::deque<int> BoxAnswers;
    std::vector<SimBoxRecord> Boxes;
    // Console length at the moment each box was shown, so tests can check the order.
    std::vector<size_t> ConsoleAtBox;

    // Virtual clock
    uint32_t ClockMs = 0;
    uint32_t TimerPeriodsHeld = 0;     // timeBeginPeriod without its timeEndPeriod yet
    uint32_t RefusedTimerPeriods = 0;  // periods below this are refused
    std::vector<uint32_t> Waits;       // each stretch the clock was idled forward
    std::vector<uint32_t> Sleeps;      // each Sleep(ms)

    // Memory blocks
    int AllocationsLeft = -1;  // -1 no limit; 0 the next allocation fails
    // Blocks allocated and not freed. A run may keep some on purpose while the ASPI layer can
    // still write into them; they go at SimEndProcess, as with a process's end.
    std::vector<uint8_t*> HeldBlocks;

    // Operating system (GetVersionExA): Windows XP unless a test says otherwise.
    uint32_t OsPlatformId = 2;
    uint32_t OsMajor = 5;
    uint32_t OsMinor = 1;

    // Registry: its keys, the failures to inject, every open asked for, and the handles
    // (handle - SimRegistryHandleBase indexes RegistryHandles: the key, or -1 once closed).
    std::vector<SimRegistryKey> Registry;
    std::vector<SimRegistryFailure> RegistryFailures;
    std::vector<SimRegistryOpen> RegistryOpens;
    std::vector<int> RegistryHandles;
    int RegistryKeysOpen = 0;

    // Drives (a deque: references stay valid while drives are attached) and their places.
    std::deque<VirtualDrive> Drives;
    std::vector<SimDeviceHandle> DeviceHandles;
    int DevicesOpen = 0;
    std::vector<uint8_t> MediaNotificationValues;  // each IOCTL_STORAGE_MCN_CONTROL input
    std::string ClaimedLetters;                    // the places the program holds now
    std::string BusyReports;                       // letters reported as in use, in order
    std::string NotTargetReports;                  // named letters reported as no target, in order
    std::string NotStartedReports;  // letters reported as not started after an interrupt

    // ASPI layer
    bool AspiLoadable = false;
    uint8_t AspiSupportStatus = 1;  // SS_COMP; 0xE4: failed to initialise
    std::vector<SimAdapter> Adapters;
    // Events: a closed event's handle value is handed out again by the next PlatformCreateEvent,
    // as Windows does, so a signal meant for a closed event lands on the new one.
    std::vector<SimEvent> Events;
    uint32_t EventsCreated = 0;
    std::vector<SimPendingAspi> PendingAspi;
    bool AspiIgnoresAbort = false;   // SC_ABORT_SRB answers but stops nothing
    uint32_t AspiSignalDelayMs = 0;  // the layer signals an event this long after the status
    // Waits without limit on an event that nothing would ever signal: such a wait returns
    // WAIT_TIMEOUT at once instead of hanging the process, and counts here. Tests expect 0.
    uint32_t HungWaits = 0;

    // Files: the current directory (names compare without regard to case, as on Windows),
    // or, with FilesFromHost, the host process's current directory. FileOpens lists every
    // name an open asked for; a handle is 1 + its index in OpenFiles.
    std::vector<SimFile> Files;
    bool FilesFromHost = false;
    std::vector<std::string> FileOpens;
    std::vector<SimOpenFile> OpenFiles;
    int FilesOpen = 0;

    // Drives: every command that reached the drive layer
    std::vector<SimCommandRecord> Trace;

    // Interrupts: one scripted signal (InterruptSignal, e.g. 2 for Ctrl-C, 1 for a hang-up),
    // delivered as the command numbered InterruptAtCommand arrives (1-based, counted over
    // every command that reaches the drive layer, before the drive sees it) or as the box
    // numbered InterruptAtBox is shown. Inside the critical section it is held (the notice
    // names the drive's letter; after a hang-up every box answers 0); outside it the program
    // ends at once: SimProcessEnded is thrown.
    int InterruptSignal = 0;
    uint32_t InterruptAtCommand = 0;
    uint32_t InterruptAtBox = 0;
    int InterruptConsoleEvent = -1;  // >= 0: this Windows console event instead of the signal
    uint32_t CommandsArrived = 0;
    bool InCriticalSection = false;
    char CriticalLetter = 0;
    int HeldInterrupt = 0;
    bool TerminalGone = false;
    std::vector<char> HeldNotices;        // the drive named by each held-interrupt line
    std::vector<char> UpdateModeReports;  // the drive named by each update-mode line

    // Power: every SetThreadExecutionState call (its flags, and the drive it was for), the
    // answer of GetSystemPowerStatus (none: the call fails or is missing), the supplies of
    // /sys/class/power_supply, and the drive named by each low-battery refusal.
    std::vector<SimExecutionState> ExecutionStates;
    bool HasPowerStatus = false;
    SystemPowerStatus PowerStatus = {};
    std::vector<PowerSupply> PowerSupplies;
    std::vector<char> LowBatteryReports;
    std::vector<int> LowBatteryPercents;

    // The system log: every record, in order.
    std::vector<SimLogRecord> LogRecords;

    // Host hooks (the demo sets them; tests leave them empty): console text is also handed
    // to ShowConsole, boxes are answered by AskBox instead of BoxAnswers, and every stretch
    // of virtual time that a wait or sleep lets pass is also handed to PassTime.
    void (*ShowConsole)(const char* text) = nullptr;
    int (*AskBox)(const char* text, const char* caption, uint32_t flags) = nullptr;
    void (*PassTime)(uint32_t ms) = nullptr;
};

extern SimPc Sim;

// The program was ended by a signal outside its critical section, as a process would be.
struct SimProcessEnded {
    int Signal;
};

// A command reaches the drive layer: counts it and delivers the scripted interrupt when due.
void SimCommandArrives();
// Delivers the signal to the program as the platform would.
void SimDeliverInterrupt(int signal);
// Delivers a Windows console event (platform/console_events.h) as the Windows layer takes it.
void SimDeliverConsoleEvent(uint32_t event);

// A fresh PC: empty console, no answers, clock at 0. Blocks still allocated stay valid: a
// test may keep its run state across the change of PC.
void ResetSim();
// The run's process has ended: the blocks it kept (see HeldBlocks) are freed. Only while no
// run state points at them any more.
void SimEndProcess();
// Makes the PC run Windows 98 with an ASPI layer that loads.
void SimUseWindows98();

// Adds the registry key, and the keys above it, unless they exist.
void SimAddRegistryKey(intptr_t root, const std::string& path);
// Sets a value of the key (added when missing).
void SimSetRegistryValue(intptr_t root, const std::string& path, const std::string& name,
                         const std::vector<uint8_t>& data);
// A string value as Windows stores it: the characters and their terminator.
void SimSetRegistryString(intptr_t root, const std::string& path, const std::string& name,
                          const std::string& text);
constexpr intptr_t SimRegistryHandleBase = 0x1000;

// Puts a file into the current directory, replacing one of the same name; returns it so a
// test can add failures.
SimFile& SimPutFile(const std::string& name, const std::vector<uint8_t>& bytes);
// The folder's file of that name (names compare without regard to case), or null.
SimFile* SimFindFile(const char* name);
// An open of the folder's file: counts it, and replaces its bytes when their open has come.
void SimCountOpen(SimFile& file);
// A whole file of the host's current directory, for a PC whose files come from the host.
bool SimReadHostFile(const char* name, std::vector<uint8_t>& bytes);

// Advances the virtual clock by `ms` without recording a wait (time spent by a device).
void SimAdvanceClock(uint32_t ms);

// Attaches a fresh drive at the drive letter (SPTI), or at the ASPI host adapter and target
// id (adapters up to that number are added, named "SCSI ADAPTER    ", when missing).
VirtualDrive& SimAttachDrive(char letter);
VirtualDrive& SimAttachAspiDrive(int adapter, int targetId);
// Adds an ASPI host adapter with this HA_Identifier; returns its number.
int SimAddAdapter(const std::string& name);

// Completes every ASPI command whose time has come. The clock calls it whenever it moves.
void SimCompletePendingCommands();
