// The TCMU command ring read and answered at the kernel's byte offsets: a ring laid out in
// memory as the kernel lays it out (mailbox, padding, commands, an abort notification).
#include "tcmu_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t RingAt = 128;
constexpr uint32_t RingSize = 1024;
constexpr uint32_t DataAt = 2048;

void Put(std::vector<uint8_t>& m, size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) m[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t Get(const std::vector<uint8_t>& m, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | m[at + i];
    return value;
}

struct Ring {
    std::vector<uint8_t> Memory = std::vector<uint8_t>(8192, 0xCC);
    uint32_t Head = 0;

    Ring() {
        Put(Memory, 0, 2, 2);  // version
        Put(Memory, 4, RingAt, 4);
        Put(Memory, 8, RingSize, 4);
        Put(Memory, 12, 0, 4);
        Put(Memory, 64, 0, 4);
    }
    uint8_t* Entry(uint32_t length, uint32_t op) {
        uint8_t* at = Memory.data() + RingAt + Head;
        Put(Memory, RingAt + Head, length | op, 4);
        Head += length;
        return at;
    }
    // A command: its CDB stored inside the entry (as the kernel does) and its data pieces.
    void Command(uint16_t id, const std::vector<uint8_t>& cdb,
                 const std::vector<std::pair<uint64_t, uint64_t>>& pieces) {
        // At least a whole answer's room (8 + 112 bytes), as the kernel sizes its entries.
        const uint32_t length =
            std::max<uint32_t>(48 + 16 * static_cast<uint32_t>(pieces.size()), 120) + 16;
        const uint32_t at = RingAt + Head;
        Entry(length, 1);
        Put(Memory, at + 4, id, 2);
        Put(Memory, at + 8, pieces.size(), 4);
        const uint32_t cdbAt = at + length - 16;
        std::memcpy(Memory.data() + cdbAt, cdb.data(), cdb.size());
        Put(Memory, at + 24, cdbAt, 8);
        for (size_t i = 0; i < pieces.size(); ++i) {
            Put(Memory, at + 48 + 16 * i, pieces[i].first, 8);
            Put(Memory, at + 56 + 16 * i, pieces[i].second, 8);
        }
    }
    void Abort(const std::vector<uint16_t>& ids) {
        const uint32_t at = RingAt + Head;
        Entry(64, 2);
        Put(Memory, at + 8, 1, 1);  // ABORT_TASK
        Put(Memory, at + 12, ids.size(), 4);
        for (size_t i = 0; i < ids.size(); ++i) Put(Memory, at + 32 + 2 * i, ids[i], 2);
    }
    void Publish() { Put(Memory, 12, Head, 4); }
    uint32_t Tail() const { return static_cast<uint32_t>(Get(Memory, 64, 4)); }
};

TEST(TcmuRing, ReadsCommandsPaddingAndAborts) {
    Ring r;
    r.Entry(32, 0);  // padding
    r.Command(7, {0x3B, 0x07, 0xF0, 0, 0, 0, 0, 0x80, 0, 0}, {{DataAt, 100}, {DataAt + 512, 28}});
    r.Command(8, {0xC1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {{9000, 16}});  // piece outside
    r.Abort({8, 7});
    r.Publish();

    TcmuRing ring;
    ring.Attach(r.Memory.data(), r.Memory.size());
    TcmuEntry entry;
    ASSERT_TRUE(ring.Next(entry));
    ASSERT_TRUE(entry.IsCommand);
    EXPECT_EQ(entry.Command.Id, 7);
    EXPECT_EQ(entry.Command.CdbLength, 10);
    EXPECT_EQ(entry.Command.Cdb[2], 0xF0);
    EXPECT_EQ(entry.Command.DataLength, 128u);
    ASSERT_EQ(entry.Command.Pieces.size(), 2u);

    // The data of one command across its pieces, and back.
    for (int i = 0; i < 100; ++i) r.Memory[DataAt + i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 28; ++i) r.Memory[DataAt + 512 + i] = static_cast<uint8_t>(100 + i);
    uint8_t gathered[128];
    ring.Gather(entry.Command, gathered);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(gathered[i], i) << i;
    uint8_t answer[110];
    std::memset(answer, 0x5A, sizeof answer);
    ring.Scatter(entry.Command, answer, sizeof answer);
    EXPECT_EQ(r.Memory[DataAt + 99], 0x5A);
    EXPECT_EQ(r.Memory[DataAt + 512 + 9], 0x5A);
    EXPECT_EQ(r.Memory[DataAt + 512 + 10], 110);  // past the answer: as it was

    // A vendor opcode counts as 10 bytes; a piece outside the mapping is dropped.
    ASSERT_TRUE(ring.Next(entry));
    EXPECT_EQ(entry.Command.Id, 8);
    EXPECT_EQ(entry.Command.CdbLength, 10);
    EXPECT_EQ(entry.Command.Cdb[9], 9);
    EXPECT_EQ(entry.Command.Cdb[10], 0);
    EXPECT_EQ(entry.Command.DataLength, 0u);

    ASSERT_TRUE(ring.Next(entry));
    EXPECT_FALSE(entry.IsCommand);
    EXPECT_EQ(entry.AbortedIds, (std::vector<uint16_t>{8, 7}));
    EXPECT_FALSE(ring.Next(entry));
}

TEST(TcmuRing, AnswersOutOfOrderIntoTheEntriesAtTheTail) {
    Ring r;
    r.Entry(32, 0);
    r.Command(3, {0x12, 0, 0, 0, 96, 0}, {{DataAt, 96}});
    const uint32_t second = r.Head;
    r.Command(4, {0x00, 0, 0, 0, 0, 0}, {});
    r.Abort({3});
    r.Publish();
    TcmuRing ring;
    ring.Attach(r.Memory.data(), r.Memory.size());
    TcmuEntry entry;
    while (ring.Next(entry)) {
    }

    // The later command is answered first: its answer goes into the first command entry.
    const uint8_t sense[18] = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00};
    ring.Complete(4, 2, sense, sizeof sense, 0);
    const uint32_t first = 32;
    ASSERT_EQ(second, 32u + 136u);
    EXPECT_EQ(Get(r.Memory, RingAt + first + 4, 2), 4u);
    EXPECT_EQ(r.Memory[RingAt + first + 8], 2);
    EXPECT_EQ(r.Memory[RingAt + first + 7] & 0x02, 0x02);  // read length given
    EXPECT_EQ(r.Memory[RingAt + first + 16 + 2], 0x06);
    EXPECT_EQ(r.Memory[RingAt + first + 16 + 12], 0x29);
    EXPECT_EQ(r.Memory[RingAt + first + 16 + 18], 0);  // the rest of the 96 cleared
    EXPECT_EQ(r.Tail(), second);

    ring.Complete(3, 0, sense, 0, 36);
    EXPECT_EQ(Get(r.Memory, RingAt + second + 4, 2), 3u);
    EXPECT_EQ(r.Memory[RingAt + second + 8], 0);
    EXPECT_EQ(Get(r.Memory, RingAt + second + 12, 4), 36u);
    EXPECT_EQ(r.Tail(), r.Head - 64);  // the notification is passed over by the next answer

    // Nothing left to answer: the tail never passes what was read.
    ring.Complete(9, 0, sense, 0, 0);
    EXPECT_EQ(r.Tail(), r.Head);
    ring.Complete(9, 0, sense, 0, 0);
    EXPECT_EQ(r.Tail(), r.Head);
}

TEST(TcmuRing, CdbLengthByGroup) {
    const std::pair<uint8_t, int> cases[] = {{0x00, 6},  {0x1E, 6},  {0x25, 10},
                                             {0x4A, 10}, {0x5A, 10}, {0xA4, 12},
                                             {0x88, 16}, {0xC0, 10}, {0xFF, 10}};
    for (const auto& [opcode, length] : cases) EXPECT_EQ(TcmuCdbLength(opcode), length) << +opcode;
}

}  // namespace
