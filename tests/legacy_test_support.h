#pragma once
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/run_state.h"
#include "device_test_support.h"
#include "legacy_sample.h"
#include "platform/platform_memory.h"
#include "sample_package.h"
#include "update/legacy_models.h"

// Images, HEX files and definition entries of the older drive generation.
namespace legacy_test {

using namespace legacy_sample;

// Entry 0 of the definition: a legacy model of `kind` for "KESTREL <product>".
inline void DefineEntry(int kind, const char* revision, const char* product = "DVD-RW  QXR-510 ") {
    DefineLegacyEntry({"QX510107.HEX", ModelCode, product, revision, CpuType, ImageLength, kind});
}

// A mode-1 WRITE/READ BUFFER command: buffer id, 24-bit offset and 24-bit length.
inline std::vector<uint8_t> BufferCdb(uint8_t opcode, uint8_t id, uint32_t offset,
                                      uint32_t length) {
    std::vector<uint8_t> cdb = {opcode, 0x01, id, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        cdb[3 + i] = static_cast<uint8_t>(offset >> (16 - 8 * i));
        cdb[6 + i] = static_cast<uint8_t>(length >> (16 - 8 * i));
    }
    return cdb;
}

// True when the texts appear on the console in this order.
inline bool InOrder(const std::vector<std::string>& texts) {
    size_t at = 0;
    for (const std::string& text : texts) {
        if ((at = Sim.Console.find(text, at)) == std::string::npos) return false;
        at += text.size();
    }
    return true;
}

inline void PutText(const char* name, const std::string& text) {
    SimPutFile(name, std::vector<uint8_t>(text.begin(), text.end()));
}

// A simulated PC as the probe leaves it, as after Yes to updating every drive.
class LegacyDriveTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        State.UpdateAll = 1;
    }
    void TearDown() override {
        PlatformFreeBlock(State.ImageBuffer);
        DeviceTest::TearDown();
    }
    // Starts over (sim, targets, image block) with one legacy drive listed as the target.
    VirtualDrive& AddDrive(bool aspi, int kind, const char* revision = "1.05") {
        ResetSim();
        State.TargetCount = 0;
        PlatformFreeBlock(State.ImageBuffer);
        State.ImageBufferSize = aspi ? 0x200000 : 0x800000;
        State.ImageBuffer = PlatformAllocateBlock(State.ImageBufferSize);
        return MakeLegacyDrive(aspi ? AddAspiTarget(0, 1) : AddSptiTarget('E'), kind, revision);
    }
    // The entry of `kind` selected, and its HEX file in the current directory.
    std::vector<uint8_t> Package(int kind, const char* revision = "1.07") {
        DefineEntry(kind, revision);
        SelectDefinitionEntry(0);
        const std::vector<uint8_t> image = MakeImage(kind, revision, 1);
        PutText("QX510107.HEX", HexText(image));
        return image;
    }
};

}  // namespace legacy_test
