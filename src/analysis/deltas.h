// Interval deltas: a process or thread of the second reading matched with its namesake in the
// first, turned into a CPU share and counter changes.
//
// All arithmetic is unsigned 64-bit with wrap-around; a counter that fell gives a negative delta.
// A missing match is no failure: the record is all zero and the function returns 0.
#pragma once

#include "snapshot/records.h"

#include <cstdint>

namespace ntsnap {

struct ProcDelta {
    std::uint32_t cpuPercent;
    std::int32_t vmemDelta;
    std::int32_t wrksetDelta;
    std::int32_t pplDelta;
    std::int32_t npplDelta;
    std::int32_t swapDelta;
    std::int32_t pvtpgsDelta;
    std::int64_t ioOpsDelta;
    std::int64_t ioBytesDelta;
};

struct ThreadDelta {
    std::uint32_t cpuPercent;
    std::int32_t ctxsDelta;
};

// The currentTime field of a time-of-day block. A block too small to hold it (or an empty slot)
// yields a field that reads as 0, the stamp of "no time", so that nothing outside it is read.
const unsigned char* currentTimeField(const Block& tod);

// Whether the fields that an entry has for osMajor (offsets 0 to 135, and the I/O block up to 183
// for 5) lie inside the block. The report writers end their walks before an entry that does not,
// so procDelta is only ever handed whole entries.
int wholeEntry(const Block& block, const unsigned char* entry, std::uint32_t osMajor);

// *newStamp - *oldStamp; both point at 64-bit time stamp fields. A clock set back during the
// interval wraps to a value close to 2^64.
std::uint64_t elapsedTime(const unsigned char* oldStamp, const unsigned char* newStamp);

// (newKernel + newUser) - (oldKernel + oldUser), each pointing at a 64-bit time field.
std::uint64_t cpuTimeDelta(const unsigned char* oldKernel, const unsigned char* oldUser,
                           const unsigned char* newKernel, const unsigned char* newUser);

// The share of all processors together, in whole percent: cpu x 100 / elapsed / cpuCount, each
// step unsigned 64-bit and truncated, the low 32 bits kept. An elapsed time of 0 yields 0 (no
// interval, no share); a cpuCount of 0 is taken as 1, since a running machine has one processor.
std::uint32_t cpuShare(std::uint64_t cpu, std::uint64_t elapsed, std::uint8_t cpuCount);

// Fills *pDelta for newEntry, an entry of the second reading that lies whole inside its block
// (see wholeEntry), from the first entry of pProcOld with the same processId. Returns 1 when there
// is one, else 0 with the record all zero. The I/O deltas are computed on osMajor 5 only, and stay
// 0 when the old entry's I/O block lies outside pProcOld.
int procDelta(ProcDelta* pDelta, const Block& pProcOld, const unsigned char* newEntry,
              const Block& todOld, const Block& todNew, std::uint8_t cpuCount,
              std::uint32_t osMajor);

// Fills *pDelta for newThread, the thread at position `index` of a thread array of the second
// reading, from its namesake among the threads of the old entry of its owner: the first with the
// same threadId, or for threadId 0 (the idle process's threads) the one at the same position.
// Returns 1 when there is one, else 0 with the record all zero; on an osMajor other than 4 or 5
// there is no thread array and so no match.
int threadDelta(ThreadDelta* pDelta, const Block& pProcOld, const unsigned char* newThread,
                std::uint32_t index, const Block& todOld, const Block& todNew,
                std::uint8_t cpuCount, std::uint32_t osMajor);

} // namespace ntsnap
