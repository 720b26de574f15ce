#pragma once
#include <gtest/gtest.h>

#include "platform/sim/sim_pc.h"
#include "run/run_state.h"

// Every case starts on a fresh simulated PC with the state of a fresh process.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSim();
        ResetRunState();
    }
};
