#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The command ring of a TCMU device as user space sees it through the mapped /dev/uioN, read
// and written at the byte offsets of the kernel's mailbox and entries. Completions go out of
// order: each is written into the entry at the tail, whichever command it answers.

struct TcmuCommand {
    uint16_t Id = 0;
    uint8_t Cdb[16] = {};
    int CdbLength = 0;
    uint32_t DataLength = 0;
    // The data area: (offset into the mapping, length) pieces, checked to lie inside it.
    std::vector<std::pair<uint64_t, uint64_t>> Pieces;
};

struct TcmuEntry {
    bool IsCommand = false;
    TcmuCommand Command;
    std::vector<uint16_t> AbortedIds;  // a task management notification: the commands aborted
};

// The CDB length of an opcode as the kernel's target core takes it from the opcode's group
// (vendor groups 6 and 7 count as 10 bytes).
int TcmuCdbLength(uint8_t opcode);

class TcmuRing {
public:
    // Maps the device's region (its size read from sysfs). False with a reason.
    bool Map(int fd, const std::string& sizeFile, std::string& error);
    // Over a buffer in memory, for tests.
    void Attach(uint8_t* base, size_t size);

    // The next entry the kernel has put in the ring; false when there is none. Padding is
    // passed over.
    bool Next(TcmuEntry& entry);

    // The data of a data-out command, gathered from its pieces into `to` (DataLength bytes).
    void Gather(const TcmuCommand& command, uint8_t* to) const;
    // The first `length` bytes of `from` scattered into the pieces of a data-in command.
    void Scatter(const TcmuCommand& command, const uint8_t* from, uint32_t length);

    // Answers command `id`: status, sense bytes and the data-in length actually returned.
    void Complete(uint16_t id, uint8_t status, const uint8_t* sense, size_t senseLength,
                  uint32_t readLength);

private:
    uint8_t* Base = nullptr;
    size_t Size = 0;
    uint32_t Consumed = 0;  // ring offset of the next entry to read
    uint32_t RingOffset() const;
    uint32_t RingSize() const;
};
