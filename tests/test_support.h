#pragma once
#include <gtest/gtest.h>

#include "base/run_state.h"
#include "pc/sim_pc.h"

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
