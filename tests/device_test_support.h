#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform_memory.h"
#include "platform/sim/sim_pc.h"
#include "test_support.h"

// A simulated PC with the run's memory blocks in place and drives listed as targets, the way
// the host probe and enumeration would leave them.
class DeviceTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        State.CommandTimeout = 1000;
        State.WorkBuffer = PlatformAllocateBlock(0x200000);
        State.WorkBufferSize = 0x200000;
        State.CommandData = PlatformAllocateBlock(512);
        State.CommandDataSize = 512;
        State.AspiRequestBlock = PlatformAllocateBlock(0x200000);
    }
    void TearDown() override {
        PlatformFreeBlock(State.WorkBuffer);
        PlatformFreeBlock(State.CommandData);
        PlatformFreeBlock(State.AspiRequestBlock);
        SimTest::TearDown();
    }

    VirtualDrive& AddSptiTarget(char letter) {
        State.UsesAspi = 0;
        VirtualDrive& drive = SimAttachDrive(letter);
        State.TargetList[State.TargetCount].DriveLetter = letter;
        ++State.TargetCount;
        return drive;
    }
    VirtualDrive& AddAspiTarget(int adapter, int targetId) {
        State.UsesAspi = 1;
        VirtualDrive& drive = SimAttachAspiDrive(adapter, targetId);
        State.TargetList[State.TargetCount].HostAdapter = adapter;
        State.TargetList[State.TargetCount].TargetId = targetId;
        ++State.TargetCount;
        return drive;
    }

    static std::vector<uint8_t> CdbOf(const SimCommandRecord& record) {
        return std::vector<uint8_t>(record.Cdb, record.Cdb + record.CdbLength);
    }
    static VirtualDriveFault CheckConditionOn(int opcode, uint8_t key, uint8_t asc, uint8_t ascq) {
        VirtualDriveFault fault;
        fault.Opcode = opcode;
        fault.Effect = VirtualFaultEffect::CheckCondition;
        fault.SenseKey = key;
        fault.Asc = asc;
        fault.Ascq = ascq;
        return fault;
    }
    static void SetEdition(const char* edition) {
        std::memcpy(State.FirmwareInfoPage + 24, edition, 8);
    }
};
