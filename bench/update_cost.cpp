// The program's own cost of one whole current-generation update on the simulated PC, whose
// clock is virtual, so that none of the drive's waits count: the probe, enumeration, three
// image loads, the identity reads, 4 kernel and 64 normal chunk commands. 20 runs, each on
// a fresh PC; prints the processor time of each and their median.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/run_state.h"
#include "pc/sim_pc.h"
#include "run/run_driver.h"
#include "sample_package.h"
#include "virtual_drive.h"

namespace {

double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

int main() {
    constexpr int Runs = 20;
    std::vector<double> costs;
    for (int run = 0; run < Runs; ++run) {
        ResetSim();
        ResetRunState();
        VirtualDrive& drive = SimAttachDrive('D');
        drive.Revision = "1.21";
        drive.DateText = "08/07/01";
        // The drive's flash is sized before the clock starts: it is the drive's memory, not
        // the program's work.
        drive.KernelFlash.assign(drive.KernelFlashSize, 0);
        drive.NormalFlash.assign(drive.NormalFlashSize, 0);
        PutSamplePackage(SamplePackageFor(drive));
        Sim.BoxAnswers = {6, 1};  // consent (82), then the summary box

        const double start = CpuMs();
        const int exit = RunProgram();
        const double cost = CpuMs() - start;
        if (exit != 0 || drive.Revision != "1.22" || drive.NormalChunks != 64) {
            std::printf("run %d: the update did not complete (exit %d)\n", run + 1, exit);
            return 1;
        }
        costs.push_back(cost);
        std::printf("run %2d: %.3f ms\n", run + 1, cost);
    }
    std::sort(costs.begin(), costs.end());
    const double median = (costs[Runs / 2 - 1] + costs[Runs / 2]) / 2.0;
    std::printf("update cost: median %.3f ms of processor time over %d runs (min %.3f, max %.3f)\n",
                median, Runs, costs.front(), costs.back());
    return 0;
}
