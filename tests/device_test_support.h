#pragma once
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pc/sim_pc.h"
#include "platform/pass_through_block.h"
#include "platform/platform_memory.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

// "3B 04 FF" as bytes.
inline Bytes Hex(const char* text) {
    Bytes bytes;
    for (char* end = nullptr; *text != '\0'; text = end) {
        bytes.push_back(static_cast<uint8_t>(std::strtoul(text, &end, 16)));
    }
    return bytes;
}
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
    // A new simulated PC for the next row of a table; the run state stays.
    static void Restart() {
        ResetSim();
        State.TargetCount = 0;
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

    static Bytes CdbOf(const SimCommandRecord& record) {
        return Bytes(record.Cdb, record.Cdb + record.CdbLength);
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
