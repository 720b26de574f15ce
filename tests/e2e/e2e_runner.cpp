// Runs the real odd-fwupdate on one scenario: the package written into a fresh folder, the
// virtual drives preloaded, a pseudo-terminal as the program's controlling terminal and
// standard input (or no terminal at all), its standard output and error captured apart. Each
// box is answered as the scenario says; afterwards the output, the exit code, the boxes, the
// drives' state and flash, the command trace and the waits are compared with the scenario.
//
//   odd_e2e_runner PROGRAM PRELOAD SCENARIO WORK-FOLDER [OPTION...]
//   odd_e2e_runner --package SCENARIO FOLDER     (the package alone, for tests of their own)
//
// --nodes=sr takes the SCSI generic nodes away (the sg module not loaded): the same scenario
// then runs on /dev/srN alone. PRELOAD "none" runs the program against the machine's own
// kernel; the drive's records then come from whoever answers the drive, and the commands in
// ODD_E2E_BEFORE and ODD_E2E_AFTER (run by /bin/sh) tell it when the program starts and ends.
// --uid=N runs the program as that user (no supplementary groups), --without-rawio takes
// CAP_SYS_RAWIO out of its bounding set, --limit=SECONDS replaces the run's time limit,
// --system-bus=ADDRESS gives the program that system bus (else an address where none
// listens).
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_scenario.h"
#include "sample_package.h"

namespace {

namespace fs = std::filesystem;

struct Options {
    bool BlockNodesOnly = false;
    int Uid = -1;
    bool WithoutRawIo = false;
    bool StderrToStdout = false;  // the scenario's stderr-to-stdout
    std::chrono::seconds Limit{20};
    std::string SystemBus;  // DBUS_SYSTEM_BUS_ADDRESS; empty: a path where no bus listens
};
Options Run;
// The exit code of the terminal's session leader when the program was stopped.
constexpr int ProgramStopped = 254;
const char* const BoxHeader = "---------------- VELMOR ----------------";

struct Prompt {
    const char* Type;
    const char* Line;  // as the box writes it, its own line end stripped
};
constexpr Prompt Prompts[] = {
    {"yesno", "\n[Y]es [N]o ? "},
    {"okcancel", "\n[O]K [C]ancel ? "},
    {"ok", "\n[O]K ? "},
};

struct SeenBox {
    std::string Type;
    std::string Text;  // the message as the box showed it, carriage returns dropped
};

// A second odd-fwupdate started while the first runs.
struct MeanwhileRun {
    pid_t Pid = -1;
    bool Finished = false;
    bool EndedFirst = false;  // before the first program
    int Status = 0;
    pid_t Holder = -1;  // the first program, as it was when this one started
};

struct RunResult {
    bool Finished = false;
    int Status = 0;
    std::vector<SeenBox> Boxes;
    std::vector<std::string> Problems;
    std::vector<MeanwhileRun> Meanwhile;
};

std::vector<std::string> Failures;

void Fail(const std::string& what) {
    Failures.push_back(what);
}

bool ReadFile(const fs::path& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

std::string WithoutCarriageReturns(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c != '\r') out += c;
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// ---- preparing the run -------------------------------------------------------------------

const VirtualDrive& PackageDrive(const E2eScenario& scenario) {
    static const VirtualDrive standard;
    for (const E2eDrive& drive : scenario.Drives) {
        if (drive.Index == scenario.Package.ForDrive) return drive.Model;
    }
    return standard;
}

SamplePackage PackageOf(const E2eScenario& scenario) {
    const E2ePackage& p = scenario.Package;
    SamplePackage package = SamplePackageFor(PackageDrive(scenario), p.Revision, p.Date, p.Size);
    if (p.IllegalKernel) package.Kernel.PartKind = 'N';
    return package;
}

bool WritePackage(const E2eScenario& scenario, const fs::path& folder) {
    if (!scenario.Package.Present) return true;
    const SamplePackage package = PackageOf(scenario);
    if (!WriteSamplePackage(package, folder.string())) return false;
    std::error_code ignored;
    if (scenario.Package.OmitNormal) fs::remove(folder / package.NormalName, ignored);
    if (scenario.Package.OmitKernel) fs::remove(folder / package.KernelName, ignored);
    if (scenario.Package.LowerCaseNames) {
        for (const std::string& name : {package.NormalName, package.KernelName}) {
            std::string lower = name;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (fs::exists(folder / name)) fs::rename(folder / name, folder / lower);
        }
    }
    // A FIFO that nobody writes to: an open that waits for a writer never returns.
    const std::pair<bool, std::string> fifos[] = {
        {scenario.Package.FifoNormal, package.NormalName},
        {scenario.Package.FifoKernel, package.KernelName}};
    for (const auto& fifo : fifos) {
        if (!fifo.first) continue;
        const fs::path path = folder / fifo.second;
        fs::remove(path, ignored);
        if (mkfifo(path.c_str(), 0644) != 0) return false;
    }
    return true;
}

std::vector<std::string> Environment(const E2eScenario& scenario, const std::string& preload,
                                     const fs::path& scenarioFile, const fs::path& out,
                                     bool blockNodesOnly) {
    std::map<std::string, std::string> env = {
        {"PATH", "/usr/local/bin:/usr/bin:/bin"},
        {"TERM", "dumb"},
        {"LANG", "C"},
    };
    for (const std::string& pair : scenario.Env) {
        const size_t at = pair.find('=');
        env[pair.substr(0, at)] = pair.substr(at + 1);
    }
    // The system bus is the test's own, or one that does not exist: what the machine's own
    // logind would answer (or refuse) must not reach standard error.
    env["DBUS_SYSTEM_BUS_ADDRESS"] =
        Run.SystemBus.empty() ? "unix:path=" + (out / "no-system-bus").string() : Run.SystemBus;
    if (preload != "none") env["LD_PRELOAD"] = preload;
    env["ODD_E2E_SCENARIO"] = scenarioFile.string();
    env["ODD_E2E_OUT"] = out.string();
    // Shared with a second program the run starts: the stand-in for /run/lock, and the
    // generic nodes each process holds open.
    env["ODD_E2E_LOCKS"] = (out / "run-lock").string();
    env["ODD_E2E_SHARED"] = out.string();
    if (blockNodesOnly) env["ODD_E2E_NO_SG"] = "1";
    std::vector<std::string> list;
    for (const auto& entry : env) list.push_back(entry.first + "=" + entry.second);
    return list;
}

[[noreturn]] void ExecProgram(const std::string& program, const std::vector<std::string>& args,
                              const std::vector<std::string>& env, const fs::path& folder,
                              const fs::path& out) {
    if (chdir(folder.c_str()) != 0) _exit(126);
    const int stdoutFile = open((out / "stdout.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int stderrFile = open((out / "stderr.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (stdoutFile < 0 || stderrFile < 0) _exit(126);
    if (Run.WithoutRawIo && prctl(PR_CAPBSET_DROP, CAP_SYS_RAWIO, 0, 0, 0) != 0) _exit(126);
    if (Run.Uid >= 0) {
        const gid_t gid = static_cast<gid_t>(Run.Uid);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 ||
            setuid(static_cast<uid_t>(Run.Uid)) != 0) {
            _exit(126);
        }
    }
    dup2(stdoutFile, STDOUT_FILENO);
    dup2(Run.StderrToStdout ? stdoutFile : stderrFile, STDERR_FILENO);
    close(stdoutFile);
    close(stderrFile);
    std::vector<char*> envp;
    for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
}

// The scenario's locks in the run's lock folder: a stale file, or one that a child of the
// runner holds with flock until the run is over (its PID is the scenario's, not the child's).
std::vector<pid_t> PrepareLocks(const E2eScenario& scenario, const fs::path& out) {
    std::vector<pid_t> holders;
    const fs::path folder = out / "run-lock";
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    for (const E2eLock& lock : scenario.Locks) {
        const fs::path file = folder / ("odd-fwupdate-sr" + std::to_string(lock.Drive) + ".lock");
        const std::string text = std::to_string(lock.Pid) + "\n";
        if (!lock.Held) {
            std::ofstream(file, std::ios::binary) << text;
            continue;
        }
        int ready[2];
        if (pipe(ready) != 0) continue;
        const pid_t child = fork();
        if (child == 0) {
            const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0 || flock(fd, LOCK_EX) != 0 || ftruncate(fd, 0) != 0 ||
                write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
                _exit(1);
            }
            if (write(ready[1], "x", 1) != 1) _exit(1);
            for (;;) pause();
        }
        close(ready[1]);
        char mark = 0;
        if (child < 0 || read(ready[0], &mark, 1) != 1) {
            Fail("the lock of drive " + std::to_string(lock.Drive) + " could not be taken");
        } else {
            holders.push_back(child);
        }
        close(ready[0]);
    }
    return holders;
}

void ReleaseLocks(const std::vector<pid_t>& holders) {
    for (const pid_t holder : holders) {
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
}

// ---- running it --------------------------------------------------------------------------

// The terminal's session leader, as a login shell with job control: the program runs as the
// foreground job of its own process group, which (unlike a session leader's group) the
// terminal's stop signals can stop. A stopped program is a failure: it is killed and
// reported with ProgramStopped. Otherwise the program's end is passed on as its own.
[[noreturn]] void RunAsForegroundJob(const std::string& program,
                                     const std::vector<std::string>& args,
                                     const std::vector<std::string>& env, const fs::path& folder,
                                     const fs::path& out) {
    const pid_t job = fork();
    if (job < 0) _exit(126);
    if (job == 0) {
        setpgid(0, 0);
        ExecProgram(program, args, env, folder, out);
    }
    setpgid(job, job);
    signal(SIGTTOU, SIG_IGN);  // handing the terminal over from here
    tcsetpgrp(STDIN_FILENO, job);
    int status = 0;
    for (;;) {
        if (waitpid(job, &status, WUNTRACED) < 0) {
            if (errno == EINTR) continue;
            _exit(126);
        }
        // A stop from outside (SIGSTOP, which nothing can ignore) is continued from outside;
        // only the terminal's stops are the program's failure.
        if (WIFSTOPPED(status) && WSTOPSIG(status) == SIGSTOP) continue;
        break;
    }
    if (WIFSTOPPED(status)) {
        kill(job, SIGKILL);
        _exit(ProgramStopped);
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        kill(getpid(), WTERMSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
}

bool Reap(pid_t child, RunResult& result, bool wait) {
    int status = 0;
    const pid_t done = waitpid(child, &status, wait ? 0 : WNOHANG);
    if (done != child) return false;
    result.Finished = true;
    result.Status = status;
    return true;
}

void Stop(pid_t child, RunResult& result) {
    kill(child, SIGKILL);
    Reap(child, result, true);
    result.Finished = false;
}

// A box waiting for its answer at the end of the screen: its type and text.
bool WaitingBox(const std::string& screen, size_t from, SeenBox& box) {
    for (const Prompt& prompt : Prompts) {
        const size_t length = std::strlen(prompt.Line);
        if (screen.size() < from + length ||
            screen.compare(screen.size() - length, length, prompt.Line) != 0) {
            continue;
        }
        const size_t header = screen.rfind(BoxHeader);
        if (header == std::string::npos) return false;
        // No new header since the last answer: the same box asks again, and its text is what
        // it said after that answer (the echo of it and the line of accepted answers).
        const size_t textAt = header < from ? from : header + std::strlen(BoxHeader);
        // The text is followed by the box's own line end and then the prompt line.
        const size_t textEnd = screen.size() - length;
        box.Type = prompt.Type;
        box.Text = textEnd > textAt ? screen.substr(textAt, textEnd - textAt) : "";
        if (!box.Text.empty() && box.Text.back() == '\n') box.Text.pop_back();
        return true;
    }
    return false;
}

// The program itself: the child, or on a terminal the child's own child (its foreground job).
pid_t ProgramPid(pid_t child, bool onTerminal) {
    if (!onTerminal) return child;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
        std::string stat;
        if (!ReadFile(entry.path() / "stat", stat)) continue;
        // pid (comm) state ppid ...: the name may hold blanks, so read after its ')'.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        long parent = 0;
        rest >> state >> parent;
        if (parent == child) return static_cast<pid_t>(std::atol(stat.c_str()));
    }
    return -1;
}

pid_t StartMeanwhile(const E2eMeanwhile& meanwhile, size_t index, const std::string& program,
                     const std::vector<std::string>& env, const fs::path& folder,
                     const fs::path& out) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setsid();  // no controlling terminal: every question counts as No
    const int none = open("/dev/null", O_RDONLY);
    if (none >= 0) dup2(none, STDIN_FILENO);
    if (chdir(folder.c_str()) != 0) _exit(126);
    const std::string name = "meanwhile" + std::to_string(index + 1);
    const int stdoutFile =
        open((out / (name + ".stdout")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int stderrFile =
        open((out / (name + ".stderr")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (stdoutFile < 0 || stderrFile < 0) _exit(126);
    dup2(stdoutFile, STDOUT_FILENO);
    dup2(stderrFile, STDERR_FILENO);
    std::vector<char*> envp;
    for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : meanwhile.Args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
}

// On a pseudo-terminal, each box answered as the scenario says; or, without a terminal, in a
// session of its own (so /dev/tty cannot be opened) with input from /dev/null.
RunResult RunScenario(const E2eScenario& scenario, const std::string& program,
                      const std::vector<std::string>& env, const fs::path& folder,
                      const fs::path& out) {
    RunResult result;
    int master = -1;
    const pid_t child = scenario.NoTerminal ? fork() : forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) {
        result.Problems.push_back("fork failed: " + std::string(std::strerror(errno)));
        return result;
    }
    if (child == 0) {
        if (!scenario.NoTerminal) RunAsForegroundJob(program, scenario.Args, env, folder, out);
        setsid();
        const int none = open("/dev/null", O_RDONLY);
        if (none >= 0) dup2(none, STDIN_FILENO);
        ExecProgram(program, scenario.Args, env, folder, out);
    }

    const auto begun = std::chrono::steady_clock::now();
    const auto deadline = begun + Run.Limit;
    result.Meanwhile.resize(scenario.Meanwhile.size());
    std::string screen;
    size_t answeredUpTo = 0;
    size_t nextBox = 0;
    bool open = master >= 0;
    auto meanwhileLeft = [&result]() {
        for (const MeanwhileRun& run : result.Meanwhile) {
            if (!run.Finished) return true;
        }
        return false;
    };
    while (open || !result.Finished || meanwhileLeft()) {
        const auto now = std::chrono::steady_clock::now();
        for (size_t i = 0; i < scenario.Meanwhile.size(); ++i) {
            MeanwhileRun& run = result.Meanwhile[i];
            if (run.Pid < 0 && !result.Finished &&
                now - begun >= std::chrono::milliseconds(scenario.Meanwhile[i].AfterMs)) {
                run.Holder = ProgramPid(child, !scenario.NoTerminal);
                run.Pid = StartMeanwhile(scenario.Meanwhile[i], i, program, env, folder, out);
            } else if (run.Pid < 0 && result.Finished) {
                result.Problems.push_back("the program ended before the second program " +
                                          std::to_string(i + 1) + " was to start");
                run.Finished = true;
            } else if (run.Pid > 0 && !run.Finished &&
                       waitpid(run.Pid, &run.Status, WNOHANG) == run.Pid) {
                run.Finished = true;
                run.EndedFirst = !result.Finished;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            result.Problems.push_back("the program did not end within the time limit; terminal: " +
                                      EscapeForDisplay(screen.substr(answeredUpTo)));
            if (!result.Finished) Stop(child, result);
            for (MeanwhileRun& run : result.Meanwhile) {
                if (run.Pid > 0 && !run.Finished) kill(run.Pid, SIGKILL);
                if (run.Pid > 0 && !run.Finished) waitpid(run.Pid, &run.Status, 0);
                run.Finished = true;
            }
            break;
        }
        // A closed terminal (or none) is left out of the poll, which then only waits.
        pollfd wait = {open ? master : -1, POLLIN, 0};
        if (poll(&wait, 1, 50) > 0) {
            char bytes[4096];
            const ssize_t n = read(master, bytes, sizeof bytes);
            if (n <= 0) {
                open = false;  // the program's side of the terminal is closed
            } else {
                screen += WithoutCarriageReturns(std::string(bytes, static_cast<size_t>(n)));
            }
        } else if (!result.Finished) {
            Reap(child, result, false);
        } else {
            open = false;  // ended, and the terminal holds nothing more
        }

        SeenBox box;
        if (open && WaitingBox(screen, answeredUpTo, box)) {
            result.Boxes.push_back(box);
            if (nextBox == scenario.Boxes.size()) {
                result.Problems.push_back("a box the scenario does not expect: " + box.Type +
                                          " \"" + EscapeForDisplay(box.Text) + "\"");
                Stop(child, result);
                break;
            }
            const std::string answer = scenario.Boxes[nextBox++].Answer + "\n";
            if (write(master, answer.data(), answer.size()) !=
                static_cast<ssize_t>(answer.size())) {
                result.Problems.push_back("the answer could not be typed");
            }
            answeredUpTo = screen.size();
        }
    }
    for (MeanwhileRun& run : result.Meanwhile) {
        if (run.Pid <= 0 || run.Finished) continue;
        kill(run.Pid, SIGKILL);
        waitpid(run.Pid, &run.Status, 0);
        run.Finished = true;
    }
    if (master >= 0) close(master);
    return result;
}

// ---- checking what it left ---------------------------------------------------------------

std::string WithHolder(std::string text, pid_t holder) {
    const std::string mark = "{holder}";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
        text.replace(at, mark.size(), std::to_string(holder));
    }
    return text;
}

// Each second program: ended before the first, with its own exit code and output.
void CheckMeanwhile(const E2eScenario& scenario, const RunResult& result, const fs::path& out) {
    for (size_t i = 0; i < scenario.Meanwhile.size() && i < result.Meanwhile.size(); ++i) {
        const E2eMeanwhile& expected = scenario.Meanwhile[i];
        const MeanwhileRun& run = result.Meanwhile[i];
        const std::string name = "meanwhile" + std::to_string(i + 1);
        if (run.Pid < 0) continue;  // said already
        std::printf("%s (odd-fwupdate", name.c_str());
        for (const std::string& arg : expected.Args) std::printf(" %s", arg.c_str());
        std::printf(") while process %d held the drive: status %d\n", static_cast<int>(run.Holder),
                    run.Status);
        if (!run.EndedFirst) Fail(name + " did not end before the first program");
        if (!WIFEXITED(run.Status) || WEXITSTATUS(run.Status) != expected.ExitCode) {
            Fail(name + " ended with status " + std::to_string(run.Status) + ", expected exit " +
                 std::to_string(expected.ExitCode));
        }
        const std::pair<const char*, const std::string*> files[] = {{".stdout", &expected.Stdout},
                                                                    {".stderr", &expected.Stderr}};
        for (const auto& file : files) {
            std::string actual;
            ReadFile(out / (name + file.first), actual);
            const std::string wanted = WithHolder(*file.second, run.Holder);
            if (actual != wanted) {
                Fail(name + file.first + " differs\n  expected: " + EscapeForDisplay(wanted) +
                     "\n  actual:   " + EscapeForDisplay(actual));
            }
        }
    }
}

void CheckOutput(const E2eScenario& scenario, const fs::path& out) {
    std::string output, errors;
    ReadFile(out / "stdout.bin", output);
    ReadFile(out / "stderr.bin", errors);
    if (errors != scenario.Stderr) {
        Fail("standard error differs\n  expected: " + EscapeForDisplay(scenario.Stderr) +
             "\n  actual:   " + EscapeForDisplay(errors));
    }
    std::string syslog;
    if (scenario.CheckSyslog &&
        (!ReadFile(out / "syslog.txt", syslog) || syslog != scenario.Syslog)) {
        Fail("the system log differs\n  expected: " + EscapeForDisplay(scenario.Syslog) +
             "\n  actual:   " + EscapeForDisplay(syslog));
    }
    if (scenario.CheckStdout && output != scenario.Stdout) {
        Fail("standard output differs\n  expected: " + EscapeForDisplay(scenario.Stdout) +
             "\n  actual:   " + EscapeForDisplay(output));
    }
}

void CheckBoxes(const E2eScenario& scenario, const RunResult& result) {
    for (size_t i = 0; i < result.Boxes.size() && i < scenario.Boxes.size(); ++i) {
        const SeenBox& seen = result.Boxes[i];
        const E2eBox& expected = scenario.Boxes[i];
        const std::string label = "box " + std::to_string(i + 1) + ": ";
        if (seen.Type != expected.Type) {
            Fail(label + "a " + seen.Type + " box where a " + expected.Type +
                 " box was expected (\"" + EscapeForDisplay(seen.Text) + "\")");
        }
        const std::string wanted = WithoutCarriageReturns(expected.Contains);
        if (seen.Text.find(wanted) == std::string::npos) {
            Fail(label + "\"" + EscapeForDisplay(seen.Text) + "\" does not contain \"" +
                 EscapeForDisplay(wanted) + "\"");
        }
    }
    if (result.Boxes.size() < scenario.Boxes.size()) {
        Fail(std::to_string(scenario.Boxes.size() - result.Boxes.size()) +
             " expected box(es) never shown; the first: " +
             scenario.Boxes[result.Boxes.size()].Type + " \"" +
             EscapeForDisplay(scenario.Boxes[result.Boxes.size()].Contains) + "\"");
    }
}

bool SameBytes(const std::string& actual, const std::vector<uint8_t>& expected, size_t length) {
    return actual.size() >= length && expected.size() >= length &&
           std::memcmp(actual.data(), expected.data(), length) == 0;
}

void CheckFlash(const E2eScenario& scenario, int node, const std::string& expected,
                const std::map<std::string, std::string>& state, const fs::path& out) {
    const std::string label = "sr" + std::to_string(node) + " flash: ";
    std::string kernel, normal;
    ReadFile(out / ("sr" + std::to_string(node) + ".kernel.bin"), kernel);
    ReadFile(out / ("sr" + std::to_string(node) + ".normal.bin"), normal);
    if (expected == "none") {
        if (state.at("kernel-chunks") != "0" || state.at("normal-chunks") != "0") {
            Fail(label + "chunks were written: kernel " + state.at("kernel-chunks") + ", normal " +
                 state.at("normal-chunks"));
        }
        return;
    }
    if (expected != "new") {
        Fail(label + "unknown expectation " + expected);
        return;
    }
    const SamplePackage package = PackageOf(scenario);
    const std::vector<uint8_t> kernelImage = BuildSampleImage(package.Kernel);
    const std::vector<uint8_t> normalImage = BuildSampleImage(package.Normal);
    if (!SameBytes(kernel, kernelImage, kernelImage.size())) {
        Fail(label + "the kernel part differs from the kernel image");
    }
    if (!SameBytes(normal, normalImage, normalImage.size())) {
        Fail(label + "the normal part differs from the normal image");
    }
    if (state.at("normal-end") != std::to_string(normalImage.size())) {
        Fail(label + "the normal part ends at " + state.at("normal-end") + ", the image at " +
             std::to_string(normalImage.size()));
    }
}

// Which node carried the program's commands: the generic node whenever the drive has one that
// opens, /dev/srN otherwise.
void CheckNodes(const E2eScenario& scenario, const fs::path& out, bool blockNodesOnly) {
    for (const E2eDrive& drive : scenario.Drives) {
        const std::string name = "sr" + std::to_string(drive.Index);
        std::string text;
        if (!ReadFile(out / (name + ".state"), text)) continue;
        const bool generic = drive.HasGenericNode && drive.GenericOpenErrno == 0 && !blockNodesOnly;
        const std::string unused = generic ? "opens-sr=" : "opens-sg=";
        for (const std::string& line : Lines(text)) {
            if (line.compare(0, unused.size(), unused) == 0 && line != unused + "0") {
                Fail(name + ": " + line + ", where the " + (generic ? "generic" : "block") +
                     " node alone should have been opened");
            }
        }
    }
}

void CheckDrives(const E2eScenario& scenario, const fs::path& out) {
    for (const E2eDriveCheck& check : scenario.DriveChecks) {
        const std::string name = "sr" + std::to_string(check.Drive);
        std::string text;
        if (!ReadFile(out / (name + ".state"), text)) {
            Fail(name + ": no state was recorded (did the program end normally?)");
            continue;
        }
        std::map<std::string, std::string> state;
        for (const std::string& line : Lines(text)) {
            const size_t at = line.find('=');
            if (at != std::string::npos) state[line.substr(0, at)] = line.substr(at + 1);
        }
        for (const auto& expected : check.Expected) {
            if (expected.first == "flash") {
                CheckFlash(scenario, check.Drive, expected.second, state, out);
            } else if (state.count(expected.first) == 0) {
                Fail(name + ": nothing recorded as " + expected.first);
            } else if (state[expected.first] != expected.second) {
                Fail(name + ": " + expected.first + " is " + state[expected.first] + ", expected " +
                     expected.second);
            }
        }
    }
}

// One command as the preloaded library recorded it.
struct TracedCommand {
    std::string Drive;  // "sr0"
    std::string Item;
    long long Shown = -1;  // bytes of standard output written before the command
    long long Offset = -1;
    long long AbortedMs = -1;  // how long the kernel waited before it aborted the command
};

std::vector<TracedCommand> ReadTrace(const fs::path& out) {
    std::string text;
    ReadFile(out / "trace.txt", text);
    std::vector<TracedCommand> commands;
    for (const std::string& line : Lines(text)) {
        std::istringstream words(line);
        TracedCommand command;
        std::string word;
        words >> command.Drive >> command.Item;
        while (words >> word) {
            if (word.compare(0, 6, "shown=") == 0) command.Shown = std::stoll(word.substr(6));
            if (word.compare(0, 7, "offset=") == 0) command.Offset = std::stoll(word.substr(7));
            if (word.compare(0, 8, "aborted=") == 0) command.AbortedMs = std::stoll(word.substr(8));
        }
        commands.push_back(command);
    }
    return commands;
}

void CheckTrace(const std::vector<E2eTrace>& traces, const std::vector<TracedCommand>& commands,
                const std::string& label = "") {
    for (const E2eTrace& expected : traces) {
        const std::string drive = "sr" + std::to_string(expected.Drive);
        std::vector<std::string> actual;
        for (const TracedCommand& command : commands) {
            if (command.Drive == drive) actual.push_back(command.Item);
        }
        if (actual != expected.Items) {
            Fail(label + drive + " command trace differs\n  expected: " + FoldRuns(expected.Items) +
                 "\n  actual:   " + FoldRuns(actual));
        }
    }
}

// What a user watching the terminal sees while the normal part is written: before each chunk
// goes to the drive, the output so far ends with that chunk's progress line.
void CheckProgressShown(const E2eScenario& scenario, const std::vector<TracedCommand>& commands,
                        const fs::path& out) {
    if (!scenario.Package.Present || scenario.Package.Size == 0) return;
    std::string output;
    ReadFile(out / "stdout.bin", output);
    for (const TracedCommand& command : commands) {
        if (command.Item.compare(0, 8, "3b/07/f0") != 0) continue;
        const long long percent = command.Offset * 100 / scenario.Package.Size;
        const std::string line = "\rProcessing " + std::to_string(percent) + "%";
        const size_t shown = command.Shown < 0 ? 0 : static_cast<size_t>(command.Shown);
        const std::string seen = output.substr(0, shown);
        if (seen.size() < line.size() ||
            seen.compare(seen.size() - line.size(), line.size(), line) != 0) {
            const size_t from = seen.size() > 80 ? seen.size() - 80 : 0;
            Fail(command.Drive + ": when the normal chunk at offset " +
                 std::to_string(command.Offset) + " was sent, the output did not end with \"" +
                 EscapeForDisplay(line) + "\" but with \"..." +
                 EscapeForDisplay(seen.substr(from)) + "\"");
            return;  // one is enough: the rest fail alike
        }
    }
}

// Windows of the whole trace (the kernel's own commands included), from the first command
// FROM to the first TO after it: either the program's commands alone, or some of the kernel's.
void CheckWindows(const E2eScenario& scenario, const std::vector<TracedCommand>& commands) {
    for (const E2eWindow& window : scenario.Windows) {
        const std::string label = "between " + window.From + " and " + window.To + ": ";
        size_t from = 0;
        while (from < commands.size() &&
               commands[from].Item.compare(0, window.From.size(), window.From) != 0) {
            ++from;
        }
        size_t to = from + 1;
        while (to < commands.size() &&
               commands[to].Item.compare(0, window.To.size(), window.To) != 0) {
            ++to;
        }
        if (from >= commands.size() || to >= commands.size()) {
            Fail(label + "the trace has no such window");
            continue;
        }
        std::vector<std::string> kernel;
        for (size_t i = from; i <= to; ++i) {
            if (commands[i].Drive == "kernel") kernel.push_back(commands[i].Item);
        }
        if (window.ProgramOnly && !kernel.empty()) {
            Fail(label + "the drive received commands of the kernel's own: " + FoldRuns(kernel));
        }
        if (!window.ProgramOnly && kernel.empty()) {
            Fail(label + "the kernel sent no command of its own");
        }
        for (const std::string& item : window.KernelItems) {
            if (std::find(kernel.begin(), kernel.end(), item) == kernel.end()) {
                Fail(label + "the kernel's commands lack " + item + ": " + FoldRuns(kernel));
            }
        }
    }
}

// Commands the kernel gave up on: each within the limit, and at least one.
void CheckAborts(const E2eScenario& scenario, const std::vector<TracedCommand>& commands) {
    if (scenario.AbortedWithinMs == 0) return;
    int aborted = 0;
    for (const TracedCommand& command : commands) {
        if (command.AbortedMs < 0) continue;
        ++aborted;
        std::printf("%s aborted by the kernel after %lld ms\n", command.Item.c_str(),
                    command.AbortedMs);
        if (command.AbortedMs > scenario.AbortedWithinMs) {
            Fail(command.Item + " was aborted after " + std::to_string(command.AbortedMs) +
                 " ms, later than " + std::to_string(scenario.AbortedWithinMs) + " ms");
        }
    }
    if (aborted == 0) Fail("no command was aborted by the kernel");
}

void CheckWaits(const E2eScenario& scenario, const fs::path& out) {
    if (!scenario.CheckWaits) return;
    std::string text;
    ReadFile(out / "waits.txt", text);
    const std::vector<std::string> actual = Lines(text);
    if (actual != scenario.Waits) {
        Fail("waits differ\n  expected: " + FoldRuns(scenario.Waits) +
             "\n  actual:   " + FoldRuns(actual));
    }
}

// The second program a run fault started: how it ended, what it said, what it sent.
void CheckSecond(const E2eScenario& scenario, const fs::path& out) {
    if (scenario.SecondExit < 0 && !scenario.CheckSecondStderr && !scenario.CheckSecondStdout &&
        scenario.SecondTraces.empty()) {
        return;
    }
    const fs::path second = out / "second";
    std::string end;
    if (!ReadFile(second / "exit.txt", end)) {
        Fail("no second program was run");
        return;
    }
    if (scenario.SecondExit >= 0 && end != "exit " + std::to_string(scenario.SecondExit) + "\n") {
        Fail("second program: " + EscapeForDisplay(end) + ", expected exit " +
             std::to_string(scenario.SecondExit));
    }
    // {pid} stands for the first program's process id, which the fake writes down.
    std::string pid;
    ReadFile(out / "pid.txt", pid);
    while (!pid.empty() && pid.back() == '\n') pid.pop_back();
    const auto compare = [&](bool check, std::string expected, const char* file, const char* what) {
        if (!check) return;
        std::string actual;
        ReadFile(second / file, actual);
        for (size_t at = expected.find("{pid}"); at != std::string::npos;
             at = expected.find("{pid}", at + pid.size())) {
            expected.replace(at, 5, pid);
        }
        if (actual != expected) {
            Fail(std::string("second program: ") + what + " differs\n  expected: " +
                 EscapeForDisplay(expected) + "\n  actual:   " + EscapeForDisplay(actual));
        }
    };
    compare(scenario.CheckSecondStderr, scenario.SecondStderr, "stderr.bin", "standard error");
    compare(scenario.CheckSecondStdout, scenario.SecondStdout, "stdout.bin", "standard output");
    CheckTrace(scenario.SecondTraces, ReadTrace(second), "second program: ");
}

std::string DescribeEnd(int status) {
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
    return "status " + std::to_string(status);
}

}  // namespace

// --package SCENARIO FOLDER: the scenario's package alone, written into FOLDER, for tests
// that run the program themselves (the fleet playbook's).
int WritePackageOnly(const fs::path& scenarioFile, const fs::path& folder) {
    std::string text, error;
    E2eScenario scenario;
    if (!ReadFile(scenarioFile, text) || !ParseScenario(text, scenario, error)) {
        std::fprintf(stderr, "%s: %s\n", scenarioFile.c_str(), error.c_str());
        return 2;
    }
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    if (!scenario.Package.Present || !WritePackage(scenario, folder)) {
        std::fprintf(stderr, "%s: no package written into %s\n", scenarioFile.c_str(),
                     folder.c_str());
        return 2;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--package") return WritePackageOnly(argv[2], argv[3]);
    bool usage = argc < 5;
    for (int i = 5; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--nodes=sr") {
            Run.BlockNodesOnly = true;
        } else if (option == "--without-rawio") {
            Run.WithoutRawIo = true;
        } else if (option.compare(0, 6, "--uid=") == 0) {
            Run.Uid = std::atoi(option.c_str() + 6);
        } else if (option.compare(0, 13, "--system-bus=") == 0) {
            Run.SystemBus = option.substr(13);
        } else if (option.compare(0, 8, "--limit=") == 0) {
            Run.Limit = std::chrono::seconds(std::atoi(option.c_str() + 8));
        } else {
            usage = true;
        }
    }
    if (usage) {
        std::fprintf(stderr,
                     "usage: %s PROGRAM PRELOAD SCENARIO WORK-FOLDER [OPTION...]\n"
                     "       %s --package SCENARIO FOLDER\n",
                     argv[0], argv[0]);
        return 2;
    }
    const bool blockNodesOnly = Run.BlockNodesOnly;
    const std::string program = argv[1];
    const std::string preload = argv[2];
    const fs::path scenarioFile = fs::absolute(argv[3]);
    const std::string name = scenarioFile.stem().string() + (blockNodesOnly ? ".sr" : "");

    std::string text, error;
    E2eScenario scenario;
    if (!ReadFile(scenarioFile, text) || !ParseScenario(text, scenario, error)) {
        std::fprintf(stderr, "%s: %s\n", scenarioFile.c_str(), error.c_str());
        return 2;
    }
    Run.StderrToStdout = scenario.StderrToStdout;
    if (blockNodesOnly && scenario.Path == "sg") {
        std::fprintf(stderr, "%s: the scenario needs the generic nodes\n", name.c_str());
        return 2;
    }

    // A fresh folder per run: the package and nothing else.
    const fs::path work = fs::absolute(argv[4]) / name;
    const fs::path folder = work / "run";
    const fs::path out = work / "out";
    std::error_code ignored;
    fs::remove_all(work, ignored);
    fs::create_directories(folder, ignored);
    fs::create_directories(out, ignored);
    if (!WritePackage(scenario, folder)) {
        std::fprintf(stderr, "%s: the package could not be written\n", name.c_str());
        return 2;
    }

    const std::vector<std::string> env =
        Environment(scenario, preload, scenarioFile, out, blockNodesOnly);
    auto hook = [](const char* variable) {
        const char* command = std::getenv(variable);
        if (command != nullptr && std::system(command) != 0) {
            Fail(std::string(variable) + " failed: " + command);
        }
    };
    // The hooks learn where the records of this run belong.
    setenv("ODD_E2E_RUN_OUT", out.c_str(), 1);
    const std::vector<pid_t> holders = PrepareLocks(scenario, out);
    hook("ODD_E2E_BEFORE");
    const auto started = std::chrono::steady_clock::now();
    const RunResult result = RunScenario(scenario, program, env, folder, out);
    ReleaseLocks(holders);
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();
    hook("ODD_E2E_AFTER");
    for (const std::string& problem : result.Problems) Fail(problem);
    if (scenario.WithinMs != 0 && tookMs > scenario.WithinMs) {
        Fail("the run took " + std::to_string(tookMs) + " ms, more than " +
             std::to_string(scenario.WithinMs));
    }
    if (result.Finished) {
        if (WIFEXITED(result.Status) && WEXITSTATUS(result.Status) == ProgramStopped) {
            Fail("the program was stopped (a stop signal was not ignored)");
        } else if (scenario.ExitSignal != 0) {
            if (!WIFSIGNALED(result.Status) || WTERMSIG(result.Status) != scenario.ExitSignal) {
                Fail("the program ended with " + DescribeEnd(result.Status) +
                     ", expected to be killed by signal " + std::to_string(scenario.ExitSignal));
            }
        } else if (!WIFEXITED(result.Status)) {
            Fail("the program did not exit normally (" + DescribeEnd(result.Status) + ")");
        } else if (WEXITSTATUS(result.Status) != scenario.ExitCode) {
            Fail("exit code " + std::to_string(WEXITSTATUS(result.Status)) + ", expected " +
                 std::to_string(scenario.ExitCode));
        }
    }
    CheckOutput(scenario, out);
    CheckBoxes(scenario, result);
    CheckMeanwhile(scenario, result, out);
    if (result.Finished) {
        CheckDrives(scenario, out);
        CheckNodes(scenario, out, blockNodesOnly);
        const std::vector<TracedCommand> commands = ReadTrace(out);
        CheckTrace(scenario.Traces, commands);
        CheckProgressShown(scenario, commands, out);
        CheckWaits(scenario, out);
        CheckWindows(scenario, commands);
        CheckAborts(scenario, commands);
    }
    CheckSecond(scenario, out);

    if (Failures.empty()) {
        std::printf("%s: passed (%zu boxes answered)\n", name.c_str(), result.Boxes.size());
        return 0;
    }
    for (const std::string& failure : Failures)
        std::printf("%s: %s\n", name.c_str(), failure.c_str());
    return 1;
}
