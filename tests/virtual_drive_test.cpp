// The virtual drive and the simulated PC's transports, driven through the platform seam
// with request blocks built by hand.
#include <algorithm>
#include <cstring>
#include <string>

#include "device/mode_control.h"
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
int Spti(const Bytes& cdb, int direction = 0, uint8_t* data = nullptr, uint32_t length = 0,
         uint32_t timeoutSeconds = 60, uint32_t* error = nullptr) {
    const DeviceHandle handle = PlatformOpenDevice('D', 0xC0000000, nullptr);
    uint8_t block[Sptd::BlockSize];
    FillSptd(block, cdb, direction, length, timeoutSeconds);
    const uint32_t call = PlatformPassThroughDirect(handle, block, data);
    PlatformCloseDevice(handle);
    if (error != nullptr) *error = call;
    if (call != ERROR_SUCCESS) return CallFailed;
    return block[Sptd::ScsiStatus] == 0 ? Good : Packed(block + Sptd::SenseArea);
}

// An SRB for target 1 of adapter 0 unless told otherwise, with event notification.
void FillSrb(uint8_t* srb, const Bytes& cdb, uint32_t length, int adapter = 0, int target = 1) {
    std::memset(srb, 0, Srb::ClearedSize);
    srb[Srb::Cmd] = Srb::SC_EXEC_SCSI_CMD;
    srb[Srb::HaId] = static_cast<uint8_t>(adapter);
    srb[Srb::Target] = static_cast<uint8_t>(target);
    srb[Srb::Flags] = Srb::SRB_EVENT_NOTIFY | (length != 0 ? Srb::SRB_DIR_IN : 0);
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

int Switch(int mode, Bytes block = ModeBlock(M28, 0x3C6A1D2D)) {  // GENERAL: value + 6
    return Spti(Wb(mode, 0xFF, 0, 256), 2, block.data(), 256);
}

std::string InquiryText(int offset, int width) {
    uint8_t data[96] = {};
    EXPECT_EQ(Spti(Inquiry, 1, data, 96), Good);
    return std::string(reinterpret_cast<char*>(data) + offset, width);
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
        {0x1048, "COMPO   ", 0xFFFFFFFE, ModeBlock(M28, 0xFFFFFFFE), ModeBlock(M28, 0xFFFFFFFE)},
        {0x1041, "GENERAL ", 1, ModeBlock("KESTREL  QXR-730", 0), ModeBlock("KESTREL  QXR-M21", 0)},
        {0x1006, "GENERAL ", 1, ModeBlock(nullptr, 0), ModeBlock(nullptr, 0)}};
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

TEST_F(VirtualDriveTest, IdentityAndVendorPage) {
    SimAttachDrive('D').HardwareRevision = "SCSI0102";
    EXPECT_EQ(InquiryText(0, 47), std::string("\x05\x80\0\x02\x5B\0\0\0", 8) +
                                      "KESTREL DVD-RW  QXR-930D1.20 08/07/25  ");
    uint8_t page[48] = {};
    ASSERT_EQ(Spti(Rb(2, 0xF1, 48), 1, page, 48), Good);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(page) + 16, 24), "SCSI0102GENERAL GENERAL ");
    // REPORT KEY: only the RPC state (key format 8).
    EXPECT_EQ(Spti(Hex("A4 00 00 00 00 00 00 00 00 08 05 00"), 1, page, 8), 0x052400);
    ASSERT_EQ(Switch(4), Good);  // only the kernel runs: no normal part to name
    ASSERT_EQ(Spti(Rb(2, 0xF1, 48), 1, page, 48), Good);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(page) + 24, 16), "GENERAL         ");
}

TEST_F(VirtualDriveTest, ReflashKeepsTheDrivesDateForm) {
    const struct {
        const char *vendor, *driveDate, *imageDate, *reported;
    } cases[] = {{"KESTREL ", "08/07/25", "08/09/30", "08/09/30  "},
                 {"KESTREL ", "2008/07/25", "08/09/30", "2008/09/30"},
                 {"Vantrel ", "Jul252008", "Oct01 2008", "Oct012008 "},
                 {"Vantrel ", "Jul252008", "09/12/03", "Dec032009 "},
                 {"KESTREL ", "08/07/25", "Feb28 2009", "09/02/28  "}};
    for (const auto& c : cases) {
        ResetSim();
        VirtualDrive& drive = SimAttachDrive('D');
        drive.Vendor = c.vendor;
        drive.DateText = c.driveDate;
        drive.RebootMs = 0;
        Bytes normal(0x8000);  // the header fields of a normal part: revision and date
        std::memcpy(normal.data() + 144, "1.30", 4);
        std::memcpy(normal.data() + 304, c.imageDate, std::strlen(c.imageDate));
        ASSERT_EQ(Switch(4), Good);
        ASSERT_EQ(Spti(Wb(7, 0xF0, 0, 0x8000), 2, normal.data(), 0x8000), Good);
        ASSERT_EQ(Switch(5), Good);
        EXPECT_EQ(InquiryText(32, 15), std::string("1.30 ") + c.reported) << c.imageDate;
        EXPECT_EQ(Spti(Tur), 0x062900);  // the re-flash leaves a unit attention
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
    // Takes part, spoilt response; what steps 0, 1, 2 and then mode 4 answer.
    const int cases[][6] = {{1, 0, Good, Good, Good, Good},
                            {1, 1, Good, 0x052600, 0x052C00, 0x052C00},
                            {0, 0, 0x052400, 0x052400, 0x052400, 0x052C00}};
    for (const auto& [takesPart, spoil, step0, step1, step2, mode4] : cases) {
        ResetSim();
        VirtualDrive& drive = SimAttachDrive('D');
        drive.RequiresUnlock = true;
        drive.TakesPartInUnlock = takesPart;
        drive.ModeSwitchValue = 0x3C6A1DFF;
        EXPECT_EQ(Spti(Wb(2, 0xE2, 0, 0)), takesPart ? 0x052C00 : 0x052400);  // no commit yet
        uint8_t challenge[16] = {};
        uint8_t response[16] = {};
        EXPECT_EQ(Spti(Rb(2, 0xE0, 16), 1, challenge, 16), step0);
        ComputeUnlockResponse(challenge, 0x3C6A1DFF, response);  // the drive checks on its own
        if (spoil) response[15] ^= 0x80;
        EXPECT_EQ(Spti(Wb(2, 0xE1, 0, 16), 2, response, 16), step1);
        EXPECT_EQ(Spti(Wb(2, 0xE2, 0, 0)), step2);
        EXPECT_EQ(Switch(4, ModeBlock(M28, 0x3C6A1E05)), mode4);
        if (spoil) {  // every exchange has its own challenge
            uint8_t again[16] = {};
            ASSERT_EQ(Spti(Rb(2, 0xE0, 16), 1, again, 16), Good);
            EXPECT_NE(std::memcmp(again, challenge, 16), 0);
        }
    }
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
    } cases[] = {{E::CheckCondition, 2, -1, 0x82, 0x820400, 0, 0, 1},  // mode 4 is the first
                 {E::CheckCondition, 0, 0x3B, 0x03, 0x030400, 0, 0, 1},
                 {E::CallFails, 0, 0x3B, 0, CallFailed, ERROR_IO_DEVICE, 0, 1},
                 {E::CallFailsLate, 0, 0x3B, 0, CallFailed, ERROR_IO_DEVICE, 0, 2},
                 {E::Delay, 0, 0x3B, 0, CallFailed, ERROR_SEM_TIMEOUT, 20001, 2},
                 {E::Delay, 0, 0x3B, 0, Good, 0, 20000, 2}};
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
        EXPECT_EQ(Spti(Wb(7, 0xF0, 0, 0x8000), 2, chunk.data(), 0x8000, 20, &error), c.result);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(Sim.ClockMs, std::min(c.extraMs, 20000u));  // the port gives up at 20 s
        // The fault fires once.
        EXPECT_EQ(Spti(Wb(7, 0xF0, 0x8000, 0x8000), 2, chunk.data(), 0x8000), Good);
        EXPECT_EQ(drive.NormalChunks, c.landed);
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
    const DeviceHandle query = PlatformOpenDevice('E', 0, &error);  // no privilege needed
    uint8_t address[8] = {};
    EXPECT_EQ(PlatformGetScsiAddress(query, address), ERROR_NOT_SUPPORTED);
    PlatformCloseDevice(query);
    const DeviceHandle handle = PlatformOpenDevice('D', 0xC0000000, &error);
    ASSERT_EQ(PlatformGetScsiAddress(handle, address), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(address, address + 8), Hex("08 00 00 00 01 02 03 00"));

    // No byte moves past the allocation length or DataTransferLength; sense as asked for.
    const uint32_t cases[][4] = {{96, 36, 18, 36}, {36, 96, 18, 36}, {96, 96, 8, 96}};
    for (const auto& [allocation, transfer, senseLength, moved] : cases) {
        uint8_t data[100];
        std::memset(data, 0xEE, sizeof data);
        uint8_t block[Sptd::BlockSize];
        FillSptd(block, {0x12, 0, 0, 0, uint8_t(allocation), 0}, 1, transfer, 2,
                 uint8_t(senseLength));
        ASSERT_EQ(PlatformPassThroughDirect(handle, block, data), ERROR_SUCCESS);
        EXPECT_EQ(Le32(block + Sptd::DataTransferLength), moved);
        EXPECT_EQ(data[moved - 1], moved == 36 ? '0' : 0);  // the drive's last byte
        EXPECT_EQ(data[moved], 0xEE);

        FillSptd(block, Rb(2, 0x99, 4), 1, 4, 2, uint8_t(senseLength));
        std::memset(block + Sptd::SenseArea, 0xEE, 32);
        ASSERT_EQ(PlatformPassThroughDirect(handle, block, data), ERROR_SUCCESS);
        EXPECT_EQ(block[Sptd::ScsiStatus], 2);
        EXPECT_EQ(block[Sptd::SenseInfoLength], senseLength);
        EXPECT_EQ(block[Sptd::SenseArea + 2], 0x05);
        EXPECT_EQ(block[Sptd::SenseArea + senseLength], 0xEE);
    }
}

TEST_F(VirtualDriveTest, AspiAdaptersAndEvents) {
    SimAddAdapter("ESDI_506");
    SimAttachAspiDrive(1, 0);
    Sim.AspiSupportStatus = 0xE4;
    EXPECT_EQ(PlatformGetAspi32SupportInfo(), 0xE402u);
    uint8_t inquiry[Srb::HaInquirySize] = {};
    EXPECT_EQ(PlatformSendAspi32Command(inquiry, nullptr, NoAspiEvent), Srb::SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + Srb::HaInquiryIdentifier, 16),
              "ESDI_506        ");

    // Immediate rejections signal nothing; a wait without limit on them would hang.
    uint8_t srb[Srb::ClearedSize];
    const AspiEvent event = PlatformCreateEvent();
    FillSrb(srb, Tur, 0, 2, 0);
    EXPECT_EQ(PlatformSendAspi32Command(srb, nullptr, event), 0x81);  // SS_INVALID_HA
    FillSrb(srb, Tur, 0, 1, 1);
    EXPECT_EQ(PlatformSendAspi32Command(srb, nullptr, event), 0x82);  // SS_NO_DEVICE
    EXPECT_EQ(PlatformWaitForEvent(event, INFINITE_WAIT), WAIT_TIMEOUT);
    EXPECT_EQ(Sim.HungWaits, 1u);
    Sim.HungWaits = 0;  // the hang was the point here
    FillSrb(srb, Tur, 0, 1, 0);
    ASSERT_EQ(PlatformSendAspi32Command(srb, nullptr, event), Srb::SS_PENDING);
    EXPECT_EQ(PlatformWaitForEvent(event, INFINITE_WAIT), WAIT_OBJECT_0);
    EXPECT_EQ(PlatformWaitForEvent(event, 0), WAIT_TIMEOUT);  // auto-reset
}

}  // namespace
