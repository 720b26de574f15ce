#include "tcmu_ring.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>

namespace {

// The mailbox at the start of the mapping.
constexpr size_t MbCmdrOff = 4;   // u32: where the ring starts
constexpr size_t MbCmdrSize = 8;  // u32: its length
constexpr size_t MbCmdHead = 12;  // u32: written by the kernel
constexpr size_t MbCmdTail = 64;  // u32: written by us, on a cache line of its own

// An entry: a header, then a request (as the kernel wrote it) or a response (as we write it).
constexpr size_t EntLenOp = 0;  // u32: length in bytes | opcode in the low 3 bits
constexpr size_t EntCmdId = 4;  // u16
constexpr size_t EntUflags = 7;
constexpr size_t ReqIovCnt = 8;   // u32
constexpr size_t ReqCdbOff = 24;  // u64 (aligned): offset of the CDB from the mapping's start
constexpr size_t ReqIov = 48;     // struct iovec[]: u64 base (an offset), u64 length
constexpr size_t IovSize = 16;
constexpr size_t RspStatus = 8;
constexpr size_t RspReadLen = 12;  // u32
constexpr size_t RspSense = 16;    // 96 bytes
constexpr size_t RspSenseSize = 96;
constexpr size_t TmrCmdCnt = 12;  // u32
constexpr size_t TmrCmdIds = 32;  // u16[]

constexpr uint32_t OpMask = 0x7;
constexpr uint32_t OpPad = 0;
constexpr uint32_t OpCmd = 1;
constexpr uint32_t OpTmr = 2;
constexpr uint8_t UflagReadLen = 0x2;

uint32_t Load32(const uint8_t* at) {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(at), __ATOMIC_ACQUIRE);
}

void Store32(uint8_t* at, uint32_t value) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(at), value, __ATOMIC_RELEASE);
}

// Plain little-endian fields of an entry (the kernel's byte order on this machine).
uint64_t Le(const uint8_t* at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

void PutLe(uint8_t* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

int TcmuCdbLength(uint8_t opcode) {
    switch (opcode >> 5) {
        case 0:
            return 6;
        case 4:
            return 16;
        case 5:
            return 12;
        default:
            return 10;
    }
}

bool TcmuRing::Map(int fd, const std::string& sizeFile, std::string& error) {
    std::ifstream in(sizeFile);
    unsigned long long size = 0;
    if (!(in >> std::hex >> size) || size == 0) {
        error = "no map size in " + sizeFile;
        return false;
    }
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        error = "the ring cannot be mapped";
        return false;
    }
    Attach(static_cast<uint8_t*>(base), size);
    return true;
}

void TcmuRing::Attach(uint8_t* base, size_t size) {
    Base = base;
    Size = size;
    // Whatever an earlier handler answered is done; what it left unread is ours.
    Consumed = Load32(Base + MbCmdTail);
}

uint32_t TcmuRing::RingOffset() const {
    return Load32(Base + MbCmdrOff);
}

uint32_t TcmuRing::RingSize() const {
    return Load32(Base + MbCmdrSize);
}

bool TcmuRing::Next(TcmuEntry& entry) {
    const uint32_t ringSize = RingSize();
    while (Consumed != Load32(Base + MbCmdHead)) {
        const uint8_t* ent = Base + RingOffset() + Consumed;
        const uint32_t lenOp = static_cast<uint32_t>(Le(ent + EntLenOp, 4));
        const uint32_t length = lenOp & ~OpMask;
        const uint32_t op = lenOp & OpMask;
        if (length == 0 || length > ringSize) return false;  // a ring we do not understand
        Consumed = (Consumed + length) % ringSize;
        if (op == OpPad) continue;
        entry = TcmuEntry{};
        if (op == OpTmr) {
            const uint32_t count = static_cast<uint32_t>(Le(ent + TmrCmdCnt, 4));
            for (uint32_t i = 0; i < count && TmrCmdIds + 2 * (i + 1) <= length; ++i) {
                entry.AbortedIds.push_back(static_cast<uint16_t>(Le(ent + TmrCmdIds + 2 * i, 2)));
            }
            return true;
        }
        if (op != OpCmd) continue;
        entry.IsCommand = true;
        TcmuCommand& command = entry.Command;
        command.Id = static_cast<uint16_t>(Le(ent + EntCmdId, 2));
        const uint64_t cdbOffset = Le(ent + ReqCdbOff, 8);
        if (cdbOffset < Size) {
            command.CdbLength = TcmuCdbLength(Base[cdbOffset]);
            const size_t room = std::min<uint64_t>(Size - cdbOffset, 16);
            std::memcpy(command.Cdb, Base + cdbOffset,
                        std::min<size_t>(room, static_cast<size_t>(command.CdbLength)));
        }
        const uint32_t pieces = static_cast<uint32_t>(Le(ent + ReqIovCnt, 4));
        for (uint32_t i = 0; i < pieces && ReqIov + IovSize * (i + 1) <= length; ++i) {
            const uint64_t at = Le(ent + ReqIov + IovSize * i, 8);
            const uint64_t size = Le(ent + ReqIov + IovSize * i + 8, 8);
            if (at > Size || size > Size - at) continue;
            command.Pieces.emplace_back(at, size);
            command.DataLength += static_cast<uint32_t>(size);
        }
        return true;
    }
    return false;
}

void TcmuRing::Gather(const TcmuCommand& command, uint8_t* to) const {
    for (const auto& piece : command.Pieces) {
        std::memcpy(to, Base + piece.first, piece.second);
        to += piece.second;
    }
}

void TcmuRing::Scatter(const TcmuCommand& command, const uint8_t* from, uint32_t length) {
    for (const auto& piece : command.Pieces) {
        if (length == 0) break;
        const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(piece.second, length));
        std::memcpy(Base + piece.first, from, part);
        from += part;
        length -= part;
    }
}

void TcmuRing::Complete(uint16_t id, uint8_t status, const uint8_t* sense, size_t senseLength,
                        uint32_t readLength) {
    const uint32_t ringSize = RingSize();
    uint32_t tail = Load32(Base + MbCmdTail);
    // Padding and notifications already read are passed over; the answer goes into the first
    // command entry, whichever command it held.
    while (tail != Consumed) {
        uint8_t* ent = Base + RingOffset() + tail;
        const uint32_t lenOp = static_cast<uint32_t>(Le(ent + EntLenOp, 4));
        const uint32_t length = lenOp & ~OpMask;
        if (length == 0) return;
        if ((lenOp & OpMask) == OpCmd) {
            PutLe(ent + EntCmdId, id, 2);
            ent[EntUflags] = static_cast<uint8_t>(ent[EntUflags] | UflagReadLen);
            ent[RspStatus] = status;
            PutLe(ent + RspReadLen, readLength, 4);
            // The kernel makes every command entry big enough for an answer; a smaller one
            // gets what fits, never more.
            const size_t room =
                length > RspSense ? std::min<size_t>(length - RspSense, RspSenseSize) : 0;
            std::memset(ent + RspSense, 0, room);
            std::memcpy(ent + RspSense, sense, std::min(senseLength, room));
            Store32(Base + MbCmdTail, (tail + length) % ringSize);
            return;
        }
        tail = (tail + length) % ringSize;
        Store32(Base + MbCmdTail, tail);
    }
}
