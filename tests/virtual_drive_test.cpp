// The virtual drive and the simulated PC's transports, driven through the platform seam
// with request blocks built by hand.
#include <algorithm>
#include <cstring>
#include <string>

#include "device_test_support.h"
#include "platform/platform_clock.h"
#include "platform/platform_device.h"

namespace {

class VirtualDriveTest : public SimTest {};

constexpr int Good = 0;
constexpr int CallFailed = -1;

int Packed(const uint8_t* sense) {
    return (sense[2] << 16) | (sense[12] << 8) | sense[13];
}

// Direction as the command layer names it: 0 none, 1 in, 2 out.
void FillSptd(uint8_t* block, const Bytes& cdb, int direction, uint32_t length,
              uint32_t timeoutSeconds, uint8_t senseLength = 18) {
    std::memset(block, 0, Sptd::BlockSize);
    block[Sptd::Length] = Sptd::StructSize;
    block[Sptd::CdbLength] = static_cast<uint8_t>(cdb.size());
    block[Sptd::SenseInfoLength] = senseLength;
    const uint8_t dataIn[] = {Sptd::DATA_UNSPECIFIED, Sptd::DATA_IN, Sptd::DATA_OUT};
    block[Sptd::DataIn] = dataIn[direction];
    SetLe32(block + Sptd::DataTransferLength, length);
    SetLe32(block + Sptd::TimeOutValue, timeoutSeconds);
    SetLe32(block + Sptd::SenseInfoOffset, Sptd::SenseArea);
    std::memcpy(block + Sptd::Cdb, cdb.data(), cdb.size());
}

// One command on the drive at D:. GOOD gives 0, CHECK CONDITION the packed sense, a failed
// call -1 (its error in *error).
int SptiCall(const Bytes& cdb, int direction, uint8_t* data, uint32_t length,
             uint32_t timeoutSeconds, uint32_t* error) {
    const DeviceHandle handle = PlatformOpenDevice('D', 0xC0000000, nullptr);
    uint8_t block[Sptd::BlockSize];
    FillSptd(block, cdb, direction, length, timeoutSeconds);
    *error = PlatformPassThroughDirect(handle, block, data);
    PlatformCloseDevice(handle);
    if (*error != ERROR_SUCCESS) return CallFailed;
    return block[Sptd::ScsiStatus] == 0 ? Good : Packed(block + Sptd::SenseArea);
}
int Spti(const Bytes& cdb, int direction = 0, uint8_t* data = nullptr, uint32_t length = 0) {
    uint32_t error = 0;
    return SptiCall(cdb, direction, data, length, 60, &error);
}

void FillSrb(uint8_t* srb, const Bytes& cdb, int direction, uint32_t length, bool event,
             int adapter = 0, int target = 1) {
    std::memset(srb, 0, Srb::ClearedSize);
    srb[Srb::Cmd] = Srb::SC_EXEC_SCSI_CMD;
    srb[Srb::HaId] = static_cast<uint8_t>(adapter);
    srb[Srb::Target] = static_cast<uint8_t>(target);
    const uint8_t flags[] = {0, Srb::SRB_DIR_IN, Srb::SRB_DIR_OUT};
    srb[Srb::Flags] = flags[direction] | (event ? Srb::SRB_EVENT_NOTIFY : 0);
    SetLe32(srb + Srb::BufLen, length);
    srb[Srb::SenseLen] = 18;
    srb[Srb::CDBLen] = static_cast<uint8_t>(cdb.size());
    std::memcpy(srb + Srb::CDBByte, cdb.data(), cdb.size());
}

Bytes Wb(int mode, int bufferId, uint32_t offset, uint32_t length, uint8_t opcode = 0x3B) {
    Bytes cdb = {opcode, uint8_t(mode), uint8_t(bufferId), 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 3; ++i) cdb[3 + i] = uint8_t(offset >> (16 - 8 * i));
    cdb[7] = uint8_t(length >> 8);
    cdb[8] = uint8_t(length);
    return cdb;
}
Bytes Rb(int mode, int bufferId, uint32_t length) {
    return Wb(mode, bufferId, 0, length, 0x3C);
}

const Bytes Tur = Hex("00 00 00 00 00 00");
const Bytes Inquiry = Hex("12 00 00 00 60 00");
const char* const M28 = "KESTREL  QXR-M28";
const Bytes SwitchBlock = ModeBlock(M28, 0x3C6A1D2D);  // GENERAL: value + 6

int Switch(int mode, Bytes block = SwitchBlock) {
    return Spti(Wb(mode, 0xFF, 0, 256), 2, block.data(), 256);
}

std::string InquiryText(int offset, int width) {
    uint8_t data[96] = {};
    EXPECT_EQ(Spti(Inquiry, 1, data, 96), Good);
    return std::string(reinterpret_cast<char*>(data) + offset, width);
}

// An image with its header fields set; the rest a pattern that shows lost or moved chunks.
Bytes Image(uint32_t size, const char* revision, const char* date, uint8_t seed) {
    Bytes image(size);
    for (uint32_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 12) + seed);
    std::memcpy(image.data() + 144, revision, 4);
    std::memcpy(image.data() + 304, date, std::strlen(date));
    std::memcpy(image.data() + 336, "0000", 4);
    return image;
}

// Mode 4 (unless the drive is in kernel mode already), the chunks of both parts, mode 5.
// Returns the first answer that was not GOOD.
int Transfer(Bytes& kernel, Bytes& normal, bool enter = true) {
    int result = enter ? Switch(4) : Good;
    for (Bytes* part : {&kernel, &normal}) {
        for (uint32_t at = 0; result == Good && at < part->size(); at += 0x8000) {
            const uint32_t length = std::min<uint32_t>(0x8000, part->size() - at);
            result =
                Spti(Wb(7, part == &kernel ? 0xFE : 0xF0, at, length), 2, &(*part)[at], length);
        }
    }
    return result == Good ? Switch(5) : result;
}

TEST_F(VirtualDriveTest, DiscStatesAfterStopUnit) {
    const struct {
        VirtualDisc disc;
        bool stopSpinsDown, unitAttention;
        int stop, tur;  // STOP UNIT, then TEST UNIT READY twice
    } cases[] = {
        {VirtualDisc::Absent, false, false, Good, 0x023A00},
        {VirtualDisc::Absent, false, true, 0x062900, 0x023A00},
        {VirtualDisc::Loaded, false, false, Good, Good},
        {VirtualDisc::Loaded, true, false, Good, 0x020402},
        {VirtualDisc::Loaded, true, true, 0x062900, Good},  // the refused stop did nothing
        {VirtualDisc::BecomingReady, false, false, Good, 0x020401},
    };
    for (const auto& c : cases) {
        ResetSim();
        VirtualDrive& drive = SimAttachDrive('D');
        drive.Disc = c.disc;
        drive.StopSpinsDown = c.stopSpinsDown;
        drive.UnitAttentionPending = c.unitAttention;
        EXPECT_EQ(InquiryText(32, 4), "1.20");  // INQUIRY leaves the attention pending
        EXPECT_EQ(Spti(Hex("1B 00 00 00 00 00")), c.stop);
        EXPECT_EQ(Spti(Tur), c.tur);
        EXPECT_EQ(Spti(Tur), c.tur);
    }
}

TEST_F(VirtualDriveTest, ModeSwitchBlocksByKindAndEdition) {
    const struct {
        uint16_t kind;
        const char* edition;
        uint32_t value;
        Bytes enter, leave;
    } cases[] = {
        {0x100D, "GENERAL ", 0x3C6A1D27, ModeBlock(M28, 0x3C6A1D2D), ModeBlock(M28, 0x3C6A1D2D)},
        {0x100D, "FINCH   ", 0x3C6A1DFC, ModeBlock(M28, 0x3C6A1D01), ModeBlock(M28, 0x3C6A1E01)},
        {0x100D, "COMPO   ", 0xFFFFFFFE, ModeBlock(M28, 0xFFFFFFFE), ModeBlock(M28, 0xFFFFFFFE)},
        {0x100D, "BRAVO   ", 0xFFFFFFFE, ModeBlock(M28, 3), ModeBlock(M28, 3)},
        {0x1041, "GENERAL ", 1, ModeBlock("KESTREL  QXR-730", 0), ModeBlock("KESTREL  QXR-M21", 0)},
        {0x1006, "GENERAL ", 1, ModeBlock(nullptr, 0), ModeBlock(nullptr, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.edition);
        ResetSim();
        VirtualDrive& drive = SimAttachDrive('D');
        drive.Kind = c.kind;
        drive.KernelEdition = c.edition;
        drive.ModeSwitchValue = c.value;
        EXPECT_EQ(Switch(5, c.leave), 0x052C00);  // nothing to re-flash in normal mode
        for (int spoilt : {8, 16, 255}) {         // model, value, tail
            Bytes block = c.enter;
            block[spoilt] ^= 1;
            EXPECT_EQ(Switch(4, block), 0x052600) << spoilt;
        }
        ASSERT_EQ(Switch(4, c.enter), Good);
        EXPECT_EQ(InquiryText(8, 28), "KESTREL DVD-RW  QXR-930D0000");
        EXPECT_EQ(Switch(5, c.leave), Good);
    }
}

TEST_F(VirtualDriveTest, WholeUpdate) {
    VirtualDrive& drive = SimAttachDrive('D');
    drive.HardwareRevision = "SCSI0102";
    drive.RpcScheme = 0;
    EXPECT_EQ(InquiryText(0, 47), std::string("\x05\x80\0\x02\x5B\0\0\0", 8) +
                                      "KESTREL DVD-RW  QXR-930D1.20 08/07/25  ");
    uint8_t page[48] = {};
    ASSERT_EQ(Spti(Rb(2, 0xF1, 48), 1, page, 48), Good);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(page) + 16, 24), "SCSI0102GENERAL GENERAL ");
    uint8_t rpc[8] = {};
    ASSERT_EQ(Spti(Hex("A4 00 00 00 00 00 00 00 00 08 08 00"), 1, rpc, 8), Good);
    EXPECT_EQ(rpc[6], 0);
    EXPECT_EQ(Spti(Hex("A4 00 00 00 00 00 00 00 00 08 05 00"), 1, rpc, 8), 0x052400);

    Bytes kernel = Image(0x20000, "K.00", "08/09/01", 1);
    std::memcpy(kernel.data() + 336, "000A", 4);
    Bytes normal = Image(0x10000, "1.22", "08/09/30", 2);
    ASSERT_EQ(Transfer(kernel, normal), Good);
    EXPECT_TRUE(drive.KernelFlash == kernel);
    EXPECT_TRUE(std::equal(normal.begin(), normal.end(), drive.NormalFlash.begin()));

    // Rebooting: NOT READY to everything, INQUIRY included; then one unit attention.
    uint8_t data[96] = {};
    EXPECT_EQ(Spti(Inquiry, 1, data, 96), 0x020401);
    EXPECT_EQ(Spti(Tur), 0x020401);
    PlatformSleep(drive.RebootMs);
    EXPECT_EQ(InquiryText(8, 37), "KESTREL DVD-RW  QXR-930D1.22 08/09/30");
    EXPECT_EQ(Spti(Tur), 0x062900);
    EXPECT_EQ(Spti(Tur), 0x023A00);
    // The kernel now reports what the kernel image says of itself.
    ASSERT_EQ(Switch(4), Good);
    EXPECT_EQ(InquiryText(32, 13), "000A 08/09/01");
}

TEST_F(VirtualDriveTest, ReflashKeepsTheDrivesDateForm) {
    const struct {
        const char *vendor, *driveDate, *imageDate, *reported;
    } cases[] = {
        {"KESTREL ", "08/07/25", "08/09/30", "08/09/30  "},
        {"KESTREL ", "2008/07/25", "08/09/30", "2008/09/30"},
        {"Vantrel ", "Jul252008", "Oct01 2008", "Oct012008 "},
        {"Vantrel ", "Jul252008", "09/12/03", "Dec032009 "},
        {"KESTREL ", "08/07/25", "Feb28 2009", "09/02/28  "},
    };
    for (const auto& c : cases) {
        ResetSim();
        VirtualDrive& drive = SimAttachDrive('D');
        drive.Vendor = c.vendor;
        drive.DateText = c.driveDate;
        drive.RebootMs = 0;
        Bytes kernel;
        Bytes normal = Image(0x8000, "1.30", c.imageDate, 3);
        ASSERT_EQ(Transfer(kernel, normal), Good);
        EXPECT_EQ(InquiryText(32, 15), std::string("1.30 ") + c.reported) << c.imageDate;
    }
}

TEST_F(VirtualDriveTest, ChunksAreRefusedOutsideKernelModeAndTheFlash) {
    VirtualDrive& drive = SimAttachDrive('D');
    drive.NormalFlashSize = 0x10000;
    Bytes chunk(0x8000, 0xAB);
    EXPECT_EQ(Spti(Wb(7, 0xF0, 0, 0x8000), 2, chunk.data(), 0x8000), 0x052C00);
    ASSERT_EQ(Switch(4), Good);
    EXPECT_EQ(Spti(Wb(7, 0xF0, 0x8001, 0x8000), 2, chunk.data(), 0x8000), 0x052400);
    // Fewer bytes offered than the CDB announces; a CDB cut short of its group's length.
    EXPECT_EQ(Spti(Wb(7, 0xF0, 0, 0x8000), 2, chunk.data(), 0x7FFF), 0x051A00);
    EXPECT_EQ(Spti(Hex("3B 07 F0 00 00 00")), 0x052400);
    EXPECT_EQ(drive.NormalChunks, 0u);
    EXPECT_EQ(Spti(Wb(7, 0xF0, 0x8000, 0x8000), 2, chunk.data(), 0x8000), Good);
    EXPECT_EQ(drive.NormalBytesEnd, 0x10000u);
}

TEST_F(VirtualDriveTest, UnlockExchange) {
    const struct {
        bool takesPart, spoilResponse;
        int step0, step1, step2, mode4;
    } cases[] = {
        {true, false, Good, Good, Good, Good},
        {true, true, Good, 0x052600, 0x052C00, 0x052C00},
        {false, false, 0x052400, 0x052400, 0x052400, 0x052C00},
    };
    for (const auto& c : cases) {
        ResetSim();
        VirtualDrive& drive = SimAttachDrive('D');
        drive.RequiresUnlock = true;
        drive.TakesPartInUnlock = c.takesPart;
        drive.ModeSwitchValue = 0x3C6A1DFF;
        EXPECT_EQ(Spti(Wb(2, 0xE2, 0, 0)), c.takesPart ? 0x052C00 : 0x052400);  // no commit yet
        uint8_t challenge[16] = {};
        uint8_t response[16] = {};
        EXPECT_EQ(Spti(Rb(2, 0xE0, 16), 1, challenge, 16), c.step0);
        for (int i = 0; i < 16; ++i) {
            const uint8_t x = challenge[i] ^ static_cast<uint8_t>(0x3C6A1DFF >> (8 * (i % 4)));
            const int n = i % 8;
            response[i] = static_cast<uint8_t>(((x << n) | (x >> ((8 - n) % 8))) + i);
        }
        if (c.spoilResponse) response[15] ^= 0x80;
        EXPECT_EQ(Spti(Wb(2, 0xE1, 0, 16), 2, response, 16), c.step1);
        EXPECT_EQ(Spti(Wb(2, 0xE2, 0, 0)), c.step2);
        EXPECT_EQ(Switch(4, ModeBlock(M28, 0x3C6A1E05)), c.mode4);
    }
    ResetSim();
    SimAttachDrive('D');
    uint8_t first[16], second[16];  // every exchange has its own challenge
    ASSERT_EQ(Spti(Rb(2, 0xE0, 16), 1, first, 16), Good);
    ASSERT_EQ(Spti(Rb(2, 0xE0, 16), 1, second, 16), Good);
    EXPECT_NE(std::memcmp(first, second, 16), 0);
}

TEST_F(VirtualDriveTest, InjectedFaultsOnANormalChunk) {
    using E = VirtualFaultEffect;
    const struct {
        E effect;
        uint32_t nth;
        int opcode;
        uint8_t key;
        int result;
        uint32_t error, extraMs;
        uint32_t landed;  // of the two chunks sent after mode 4
    } cases[] = {
        {E::CheckCondition, 2, -1, 0x82, 0x820400, 0, 0, 1},  // mode 4 is the first
        {E::CheckCondition, 0, 0x3B, 0x03, 0x030400, 0, 0, 1},
        {E::CallFails, 0, 0x3B, 0, CallFailed, ERROR_IO_DEVICE, 0, 1},
        {E::CallFailsLate, 0, 0x3B, 0, CallFailed, ERROR_IO_DEVICE, 0, 2},
        {E::Delay, 0, 0x3B, 0, CallFailed, ERROR_SEM_TIMEOUT, 20001, 2},
        {E::Delay, 0, 0x3B, 0, Good, 0, 20000, 2},
    };
    for (const auto& c : cases) {
        ResetSim();
        VirtualDrive& drive = SimAttachDrive('D');
        VirtualDriveFault fault;
        fault.Effect = c.effect;
        fault.NthCommand = c.nth;
        fault.Opcode = c.opcode;
        fault.Mode = c.opcode < 0 ? -1 : 7;
        fault.BufferId = c.opcode < 0 ? -1 : 0xF0;
        fault.SenseKey = c.key;
        fault.ExtraMs = c.extraMs;
        drive.Faults.push_back(fault);
        ASSERT_EQ(Switch(4), Good);
        Bytes chunk(0x8000, 0x5A);
        uint32_t error = 0;
        EXPECT_EQ(SptiCall(Wb(7, 0xF0, 0, 0x8000), 2, chunk.data(), 0x8000, 20, &error), c.result);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(Sim.ClockMs, std::min(c.extraMs, 20000u));  // the port gives up at 20 s
        const int status = c.result == CallFailed ? SimCallFailed : c.result == Good ? 0 : 2;
        EXPECT_EQ(Sim.Trace.back().Status, status);
        // The fault fires once.
        EXPECT_EQ(Spti(Wb(7, 0xF0, 0x8000, 0x8000), 2, chunk.data(), 0x8000), Good);
        EXPECT_EQ(drive.NormalChunks, c.landed);
    }
}

TEST_F(VirtualDriveTest, PowerLossAndStuckKernelLeaveTheDriveInKernelMode) {
    for (bool powerLoss : {true, false}) {
        ResetSim();
        VirtualDrive& drive = SimAttachDrive('D');
        drive.RebootMs = 3000;
        drive.PowerLossAtChunk = powerLoss ? 6 : 0;  // the second normal chunk
        drive.StayInKernelAfterReflash = powerLoss ? 0 : 1;
        Bytes kernel = Image(0x20000, "K.00", "08/09/01", 4);
        Bytes normal = Image(0x10000, "1.22", "08/09/30", 5);
        EXPECT_EQ(Transfer(kernel, normal), powerLoss ? CallFailed : Good);
        EXPECT_EQ(Spti(Tur), 0x020401);
        PlatformSleep(3000);
        EXPECT_EQ(InquiryText(32, 4), "0000");
        uint8_t page[48] = {};
        EXPECT_EQ(Spti(Rb(2, 0xF1, 48), 1, page, 48), 0x062900);
        ASSERT_EQ(Spti(Rb(2, 0xF1, 48), 1, page, 48), Good);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(page) + 24, 16), "GENERAL         ");
        // A retry finds the drive in kernel mode and goes straight to the chunks.
        ASSERT_EQ(Transfer(kernel, normal, false), Good);
        PlatformSleep(3000);
        EXPECT_EQ(InquiryText(32, 4), "1.22");
    }
}

TEST_F(VirtualDriveTest, SptiPlacesAndBlockFields) {
    VirtualDrive& plain = SimAttachDrive('d');
    plain.Place.PathId = 2;
    plain.Place.ScsiTargetId = 3;
    VirtualDrive& guarded = SimAttachDrive('E');
    guarded.Place.OpenError = ERROR_ACCESS_DENIED;
    guarded.Place.OnIeee1394 = true;
    uint32_t error = 0;
    EXPECT_EQ(PlatformOpenDevice('F', 0xC0000000, &error), InvalidDeviceHandle);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(PlatformOpenDevice('E', 0xC0000000, &error), InvalidDeviceHandle);
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    const DeviceHandle query = PlatformOpenDevice('E', 0, &error);  // no privilege needed
    uint8_t address[8] = {};
    EXPECT_EQ(PlatformGetScsiAddress(query, address), ERROR_NOT_SUPPORTED);
    const DeviceHandle handle = PlatformOpenDevice('D', 0xC0000000, &error);
    ASSERT_EQ(PlatformGetScsiAddress(handle, address), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(address, address + 8), Hex("08 00 00 00 01 02 03 00"));

    // No byte moves past the allocation length or DataTransferLength; sense as asked for.
    struct Case {
        uint8_t allocation;
        uint32_t transfer;
        uint8_t senseLength;
        uint32_t moved;
    };
    for (const Case& c : {Case{96, 36, 18, 36}, Case{36, 96, 18, 36}, Case{96, 96, 8, 96}}) {
        uint8_t data[100];
        std::memset(data, 0xEE, sizeof data);
        uint8_t block[Sptd::BlockSize];
        FillSptd(block, {0x12, 0, 0, 0, c.allocation, 0}, 1, c.transfer, 2, c.senseLength);
        ASSERT_EQ(PlatformPassThroughDirect(handle, block, data), ERROR_SUCCESS);
        EXPECT_EQ(block[Sptd::DataTransferLength], c.moved);
        EXPECT_EQ(data[c.moved - 1], c.moved == 36 ? '0' : 0);  // the drive's last byte
        EXPECT_EQ(data[c.moved], 0xEE);

        FillSptd(block, Rb(2, 0x99, 4), 1, 4, 2, c.senseLength);
        std::memset(block + Sptd::SenseArea, 0xEE, 32);
        ASSERT_EQ(PlatformPassThroughDirect(handle, block, data), ERROR_SUCCESS);
        EXPECT_EQ(block[Sptd::ScsiStatus], 2);
        EXPECT_EQ(block[Sptd::SenseInfoLength], c.senseLength);
        EXPECT_EQ(block[Sptd::SenseArea + 2], 0x05);
        EXPECT_EQ(block[Sptd::SenseArea + c.senseLength], 0xEE);
    }
    EXPECT_EQ(Sim.Trace.front().TimeoutMs, 2000u);
    PlatformCloseDevice(handle);
    PlatformCloseDevice(query);
    EXPECT_EQ(Sim.DevicesOpen, 0);
}

TEST_F(VirtualDriveTest, AspiAdaptersAndCompletionInVirtualTime) {
    SimAddAdapter("ESDI_506");
    SimAttachAspiDrive(1, 0).CommandMs = 1200;
    Sim.AspiSupportStatus = 0xE4;
    EXPECT_EQ(PlatformGetAspi32SupportInfo(), 0xE402u);
    uint8_t inquiry[Srb::HaInquirySize] = {};
    EXPECT_EQ(PlatformSendAspi32Command(inquiry, nullptr, NoAspiEvent), Srb::SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + Srb::HaInquiryIdentifier, 16),
              "ESDI_506        ");

    // Immediate rejections signal nothing; a wait without limit on them would hang.
    uint8_t srb[Srb::ClearedSize];
    AspiEvent event = PlatformCreateEvent();
    FillSrb(srb, Tur, 0, 0, true, 2, 0);
    EXPECT_EQ(PlatformSendAspi32Command(srb, nullptr, event), 0x81);  // SS_INVALID_HA
    FillSrb(srb, Tur, 0, 0, true, 1, 1);
    EXPECT_EQ(PlatformSendAspi32Command(srb, nullptr, event), 0x82);  // SS_NO_DEVICE
    EXPECT_EQ(PlatformWaitForEvent(event, 1000), WAIT_TIMEOUT);
    EXPECT_EQ(Sim.ClockMs, 1000u);
    EXPECT_EQ(PlatformWaitForEvent(event, INFINITE_WAIT), WAIT_TIMEOUT);
    EXPECT_EQ(Sim.HungWaits, 1u);
    Sim.HungWaits = 0;  // the hang was the point here

    // Polling: the status changes in memory once the clock passes the completion.
    uint8_t data[96] = {};
    FillSrb(srb, Inquiry, 1, 96, false, 1, 0);
    ASSERT_EQ(PlatformSendAspi32Command(srb, data, NoAspiEvent), Srb::SS_PENDING);
    PlatformSleep(1000);
    EXPECT_EQ(srb[Srb::Status], Srb::SS_PENDING);
    EXPECT_EQ(data[8], 0);
    PlatformSleep(500);
    EXPECT_EQ(srb[Srb::Status], Srb::SS_COMP);
    EXPECT_EQ(data[8], 'K');

    // Event: the wait ends at the completion; SRB_SenseLen bytes of sense land at 64.
    FillSrb(srb, Rb(2, 0x99, 4), 1, 4, true, 1, 0);
    srb[Srb::SenseLen] = 14;
    const uint32_t submitted = Sim.ClockMs;
    ASSERT_EQ(PlatformSendAspi32Command(srb, data, event), Srb::SS_PENDING);
    EXPECT_EQ(PlatformWaitForEvent(event, 1000), WAIT_TIMEOUT);
    EXPECT_EQ(PlatformWaitForEvent(event, INFINITE_WAIT), WAIT_OBJECT_0);
    EXPECT_EQ(Sim.ClockMs - submitted, 1200u);
    EXPECT_EQ(srb[Srb::Status], 0x04);  // SS_ERR
    EXPECT_EQ(srb[Srb::TargStat], 2);
    EXPECT_EQ(Packed(srb + Srb::SenseArea), 0x052400);
    EXPECT_EQ(srb[Srb::SenseArea + 14], 0);
    EXPECT_EQ(PlatformWaitForEvent(event, 0), WAIT_TIMEOUT);  // auto-reset
}

TEST_F(VirtualDriveTest, AbandonedAspiCommandWritesLateUnlessAborted) {
    for (bool abort : {false, true}) {
        ResetSim();
        VirtualDriveFault delay;
        delay.Effect = VirtualFaultEffect::Delay;
        delay.ExtraMs = 10000;
        SimAttachAspiDrive(0, 1).Faults.push_back(delay);
        uint8_t srb[Srb::ClearedSize];
        uint8_t old[96] = {};
        FillSrb(srb, Inquiry, 1, 96, true);
        AspiEvent event = PlatformCreateEvent();
        ASSERT_EQ(PlatformSendAspi32Command(srb, old, event), Srb::SS_PENDING);
        ASSERT_EQ(PlatformWaitForEvent(event, 5000), WAIT_TIMEOUT);
        PlatformCloseEvent(event);
        if (abort) {
            uint8_t request[Srb::ClearedSize] = {Srb::SC_ABORT_SRB};
            EXPECT_EQ(PlatformSendAspi32Command(request, srb, NoAspiEvent), Srb::SS_COMP);
            EXPECT_EQ(srb[Srb::Status], 2);  // SS_ABORTED
        }
        // The next command in the same block fails; the old one completes behind it.
        FillSrb(srb, Rb(2, 0x99, 4), 1, 4, true);
        event = PlatformCreateEvent();
        uint8_t fresh[4] = {};
        ASSERT_EQ(PlatformSendAspi32Command(srb, fresh, event), Srb::SS_PENDING);
        ASSERT_EQ(PlatformWaitForEvent(event, INFINITE_WAIT), WAIT_OBJECT_0);
        EXPECT_EQ(srb[Srb::Status], 0x04);
        PlatformSleep(6000);
        EXPECT_EQ(srb[Srb::Status], abort ? 0x04 : Srb::SS_COMP);
        EXPECT_EQ(old[8], abort ? 0 : 'K');
    }
}

}  // namespace
