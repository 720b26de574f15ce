// The project's virtual drive behind a real kernel: the user-space side of a TCMU device. The
// kernel's target core puts each SCSI command that reaches the device into a command ring
// shared through /dev/uioN; this program answers it from the drive model, so that sr, sg and
// the SCSI midlayer of the kernel under test sit between odd-fwupdate and the drive.
//
//   odd_tcmu_drive /dev/uioN SCENARIO OUT-FOLDER ACK-FILE
//
// The drive is drive 0 of the scenario, with its faults. SIGUSR2 starts the program's part:
// everything before it (the kernel's scan and probe) is the kernel's own, and the trace starts
// afresh. SIGUSR1 writes the records into OUT-FOLDER as the preloaded fake does (trace.txt,
// sr0.state, sr0.kernel.bin, sr0.normal.bin). Each signal is acknowledged by creating ACK-FILE.
// A file ACK-FILE.out, when there at SIGUSR2, names the records' folder from then on: a second
// run against the same drive keeps its records apart.
// SIGTERM writes the records and ends.
//
// A signal fault is sent to the program (the one process named odd-fwupdate) as its command
// arrives, while the command is held in the drive for the fault's delay: the signal finds the
// program waiting for the drive, as a Ctrl-C or a hang-up would. STOP stops the program,
// continues it 300 ms later, and then answers.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_scenario.h"
#include "tcmu_ring.h"

namespace {

using Clock = std::chrono::steady_clock;

// Opcodes that only the host's own drivers send: the cdrom layer on open and close, sr's probe,
// the SCSI scan.
bool IsKernelOpcode(uint8_t opcode) {
    switch (opcode) {
        case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
        case 0x25:  // READ CAPACITY
        case 0x43:  // READ TOC
        case 0x46:  // GET CONFIGURATION
        case 0x4A:  // GET EVENT STATUS NOTIFICATION
        case 0x51:  // READ DISC INFORMATION
        case 0x5A:  // MODE SENSE(10)
        case 0xA0:  // REPORT LUNS
            return true;
        default:
            return false;
    }
}

// Commands whose data go from the host to the drive; the ring does not say.
bool IsDataOut(uint8_t opcode) {
    switch (opcode) {
        case 0x04:
        case 0x15:
        case 0x2A:
        case 0x3B:
        case 0x55:
        case 0xA3:
        case 0xAA:
        case 0xBF:
            return true;
        default:
            return false;
    }
}

volatile sig_atomic_t StartRequested = 0;
volatile sig_atomic_t RecordRequested = 0;
volatile sig_atomic_t StopRequested = 0;

void OnSignal(int number) {
    if (number == SIGUSR2) StartRequested = 1;
    if (number == SIGUSR1) RecordRequested = 1;
    if (number == SIGTERM) StopRequested = 1;
}

// A command answered late, by a thread of its own, or early when the kernel aborts it.
struct Held {
    bool Aborted = false;
    std::condition_variable Wake;
};

struct Handler {
    int Uio = -1;
    TcmuRing Ring;
    std::string Out;
    std::string Ack;
    E2eDrive Drive;
    Clock::time_point Start = Clock::now();

    std::mutex Lock;  // the ring's tail, the model, the trace and the held commands
    bool Started = false;
    bool LastKernelOwn = true;
    std::vector<std::string> Trace;
    std::map<uint16_t, Held*> HeldCommands;
    std::vector<std::thread> Workers;

    uint32_t NowMs() const {
        return static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count());
    }

    long long ShownBytes() const {
        struct stat info;
        if (stat((Out + "/stdout.bin").c_str(), &info) != 0) return -1;
        return static_cast<long long>(info.st_size);
    }

    void Kick() {
        const uint32_t one = 1;
        if (write(Uio, &one, sizeof one) != sizeof one) std::perror("odd_tcmu_drive: kick");
    }
};

// The one running process named odd-fwupdate, or -1 when there is none or more than one.
pid_t ProgramPid() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    pid_t found = -1;
    int count = 0;
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text;
        std::getline(stat, text);
        // pid (comm) state: a zombie is already gone for this purpose.
        const size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= text.size())
            continue;
        if (text.compare(open + 1, close - open - 1, "odd-fwupdate") != 0) continue;
        if (text[close + 2] == 'Z') continue;
        found = pid;
        ++count;
    }
    closedir(proc);
    return count == 1 ? found : -1;
}

std::string SenseText(const VirtualDriveAnswer& answer) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x/%02x/%02x", answer.Sense[2], answer.Sense[12],
                  answer.Sense[13]);
    return text;
}

// One command taken off the ring: classified, faults applied to the program's own, run on
// the model, answered now or from a worker.
void Serve(Handler& h, const TcmuCommand& command) {
    std::vector<uint8_t> data(command.DataLength);
    const uint8_t* cdb = command.Cdb;
    const bool out = IsDataOut(cdb[0]);
    if (out) h.Ring.Gather(command, data.data());

    std::unique_lock<std::mutex> guard(h.Lock);
    // The cdrom layer sends TEST UNIT READY after its event status request, once or more, on
    // every open and close of /dev/srN. A TEST UNIT READY right after a command of the
    // kernel's counts as the kernel's: on /dev/srN that takes the program's own with it (it
    // cannot be told apart there); on /dev/sgN, where the kernel sends nothing, none.
    const bool kernelOwn =
        !h.Started || IsKernelOpcode(cdb[0]) || (cdb[0] == 0x00 && h.LastKernelOwn);
    h.LastKernelOwn = kernelOwn;

    VirtualDrive& model = h.Drive.Model;
    model.Faults.clear();
    int signalNumber = 0;
    if (!kernelOwn) {
        if (const E2eFault* fault = FiringFault(h.Drive, cdb)) {
            model.Faults.push_back(ModelFault(*fault));
        }
        // A signal fault counts its commands apart; its delay keeps the command in flight.
        E2eFault* side[4];
        const size_t sides = FiringSideFaults(h.Drive, cdb, side, 4);
        for (size_t i = 0; i < sides; ++i) {
            if (side[i]->Effect != E2eFaultEffect::Signal) continue;
            signalNumber =
                side[i]->SignalNumber == E2eStopContinue ? SIGSTOP : side[i]->SignalNumber;
            model.Faults.push_back(ModelFault(*side[i]));
        }
    }
    VirtualDriveData io;
    if (command.DataLength != 0 && out) {
        io.Out = data.data();
        io.OutLength = command.DataLength;
    } else if (command.DataLength != 0) {
        io.In = data.data();
        io.InCapacity = command.DataLength;
    }
    const long long shown = h.ShownBytes();
    const uint32_t arrivedMs = h.NowMs();
    const VirtualDriveAnswer answer =
        RunVirtualDriveCommand(model, cdb, command.CdbLength, io, arrivedMs);
    if (!out && answer.DataInLength != 0) h.Ring.Scatter(command, data.data(), answer.DataInLength);

    // A call that fails in the fake fails here as the drive would make it fail: no answer at
    // all, until the kernel gives up on the command.
    const bool neverAnswered = answer.CallFails;
    std::string outcome = answer.Status != 0 ? SenseText(answer) : "";
    // The signal goes while the command is in flight; with no program to send it to, the
    // trace says so and fails the scenario.
    pid_t stopped = -1;
    std::string signalled;
    if (signalNumber != 0) {
        const pid_t program = ProgramPid();
        if (program < 0 || kill(program, signalNumber) != 0) {
            outcome = "NO-PROGRAM";
        } else {
            signalled =
                " signal=" + std::to_string(signalNumber) + " pid=" + std::to_string(program);
            if (signalNumber == SIGSTOP) stopped = program;
        }
    }
    std::string line = (kernelOwn ? std::string("kernel ") : std::string("sr0 "));
    line += TraceItem(cdb, "");
    const size_t itemEnd = line.size();
    if (!kernelOwn) {
        line += " shown=" + std::to_string(shown);
        if (cdb[0] == 0x3B || cdb[0] == 0x3C) {
            line += " offset=" +
                    std::to_string(uint32_t{cdb[3]} << 16 | uint32_t{cdb[4]} << 8 | cdb[5]);
        }
    }
    line += signalled;
    if (!neverAnswered && answer.DurationMs < 20 && stopped < 0) {
        if (!outcome.empty()) line.insert(itemEnd, "!" + outcome);
        h.Trace.push_back(line);
        h.Ring.Complete(command.Id, answer.Status, answer.Sense, sizeof answer.Sense,
                        answer.DataInLength);
        h.Kick();
        return;
    }

    // Late: the trace line is written when the answer goes, with how long it was held.
    const size_t traceAt = h.Trace.size();
    h.Trace.push_back(line);
    Held* held = new Held;
    h.HeldCommands[command.Id] = held;
    const uint32_t waitMs = neverAnswered ? 600000 : answer.DurationMs;
    h.Workers.emplace_back([&h, held, command, answer, waitMs, arrivedMs, traceAt, itemEnd, outcome,
                            neverAnswered, stopped]() {
        if (stopped > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            kill(stopped, SIGCONT);
        }
        std::unique_lock<std::mutex> lock(h.Lock);
        held->Wake.wait_for(lock, std::chrono::milliseconds(waitMs),
                            [held] { return held->Aborted; });
        std::string& traced = h.Trace[traceAt];
        const std::string result = held->Aborted ? "TIMEOUT" : neverAnswered ? "EIO" : outcome;
        if (!result.empty()) traced.insert(itemEnd, "!" + result);
        if (held->Aborted) traced += " aborted=" + std::to_string(h.NowMs() - arrivedMs);
        h.HeldCommands.erase(command.Id);
        delete held;
        h.Ring.Complete(command.Id, answer.Status, answer.Sense, sizeof answer.Sense,
                        answer.DataInLength);
        h.Kick();
    });
}

// The kernel aborts commands it gave up on: a held one is answered at once, so that the
// abort (and with it the caller's SG_IO) completes.
void Abort(Handler& h, const std::vector<uint16_t>& ids) {
    std::lock_guard<std::mutex> guard(h.Lock);
    for (const uint16_t id : ids) {
        auto found = h.HeldCommands.find(id);
        if (found == h.HeldCommands.end()) continue;
        found->second->Aborted = true;
        found->second->Wake.notify_all();
    }
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

void WriteRecords(Handler& h) {
    std::lock_guard<std::mutex> guard(h.Lock);
    mkdir(h.Out.c_str(), 0755);
    std::string trace;
    for (const std::string& line : h.Trace) trace += line + "\n";
    WriteText(h.Out + "/trace.txt", trace);
    const VirtualDrive& m = h.Drive.Model;
    std::ostringstream state;
    state << VirtualDriveStateLines(m) << "power-losses=" << m.PowerLosses << "\n";
    WriteText(h.Out + "/sr0.state", state.str());
    auto bytes = [](const std::vector<uint8_t>& v) {
        return std::string(reinterpret_cast<const char*>(v.data()), v.size());
    };
    WriteText(h.Out + "/sr0.kernel.bin", bytes(m.KernelFlash));
    WriteText(h.Out + "/sr0.normal.bin", bytes(m.NormalFlash));
}

void Acknowledge(const Handler& h) {
    WriteText(h.Ack, "ok\n");
}

bool LoadDrive(const char* file, E2eDrive& drive) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    E2eScenario scenario;
    std::string error;
    if (!ParseScenario(text.str(), scenario, error)) {
        std::fprintf(stderr, "odd_tcmu_drive: %s: %s\n", file, error.c_str());
        return false;
    }
    for (const E2eDrive& d : scenario.Drives) {
        if (d.Index == 0) {
            drive = d;
            return true;
        }
    }
    std::fprintf(stderr, "odd_tcmu_drive: %s has no drive 0\n", file);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s /dev/uioN SCENARIO OUT-FOLDER ACK-FILE\n", argv[0]);
        return 2;
    }
    static Handler h;
    h.Out = argv[3];
    h.Ack = argv[4];
    if (!LoadDrive(argv[2], h.Drive)) return 2;

    h.Uio = open(argv[1], O_RDWR | O_CLOEXEC);
    if (h.Uio < 0) {
        std::perror(argv[1]);
        return 1;
    }
    const std::string name = std::string(argv[1]).substr(std::string(argv[1]).rfind('/') + 1);
    std::string error;
    if (!h.Ring.Map(h.Uio, "/sys/class/uio/" + name + "/maps/map0/size", error)) {
        std::fprintf(stderr, "odd_tcmu_drive: %s\n", error.c_str());
        return 1;
    }

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGUSR1, SIGUSR2, SIGTERM}) sigaction(number, &action, nullptr);

    std::fprintf(stderr, "odd_tcmu_drive: serving %s\n", argv[1]);
    // Commands may already wait in the ring (a handler before this one ended).
    bool pending = true;
    while (!StopRequested) {
        if (StartRequested) {
            StartRequested = 0;
            {
                std::lock_guard<std::mutex> guard(h.Lock);
                h.Started = true;
                h.Trace.clear();
                std::ifstream folder(h.Ack + ".out");
                std::string out;
                if (std::getline(folder, out) && !out.empty()) h.Out = out;
            }
            Acknowledge(h);
        }
        if (RecordRequested) {
            RecordRequested = 0;
            WriteRecords(h);
            Acknowledge(h);
        }
        pollfd wait = {h.Uio, POLLIN, 0};
        if (poll(&wait, 1, 100) > 0) {
            uint32_t events = 0;
            if (read(h.Uio, &events, sizeof events) == sizeof events) pending = true;
        }
        if (!pending) continue;
        pending = false;
        // The ring's read position is shared with the workers' answers: read under the lock.
        auto next = [](Handler& handler, TcmuEntry& entry) {
            std::lock_guard<std::mutex> guard(handler.Lock);
            return handler.Ring.Next(entry);
        };
        TcmuEntry entry;
        while (next(h, entry)) {
            if (entry.IsCommand) {
                Serve(h, entry.Command);
            } else if (!entry.AbortedIds.empty()) {
                Abort(h, entry.AbortedIds);
            }
        }
        // A TMR entry is consumed too: the tail moves over it with the next completion.
        h.Kick();
    }
    // Every command held is answered before the ring is left to the next handler.
    {
        std::lock_guard<std::mutex> guard(h.Lock);
        for (auto& held : h.HeldCommands) {
            held.second->Aborted = true;
            held.second->Wake.notify_all();
        }
    }
    for (std::thread& worker : h.Workers) worker.join();
    WriteRecords(h);
    return 0;
}
