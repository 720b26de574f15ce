#pragma once
#include <gtest/gtest.h>

#include "base/run_state.h"
#include "pc/sim_pc.h"
#include "run/run_driver.h"

// Every case starts on a fresh simulated PC with the state of a fresh process.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimEndProcess();
        ResetSim();
        ResetRunState();
    }
    // A wait without limit on an event that nothing would ever signal hangs a real run.
    void TearDown() override { EXPECT_EQ(Sim.HungWaits, 0) << "a wait without limit never ended"; }
};

// A whole run whose package entry expects a normal image of `size` bytes instead of the
// built-in 0x200000, for sample packages with smaller images.
inline int32_t& ExpectedNormalSizeOfRun() {
    static int32_t size = 0;
    return size;
}
inline int RunProgramExpectingSize(uint32_t size) {
    ExpectedNormalSizeOfRun() = static_cast<int32_t>(size);
    RunProcedures procedures = RealProcedures;
    procedures.ProbeHost = [] {
        State.Definition.Entries[0].Size = ExpectedNormalSizeOfRun();
        return RealProcedures.ProbeHost();
    };
    return RunProgram(procedures);
}
