// The records of the native system information query, read in place.
//
// Every field is read at its offset with its width (little-endian, copied out byte by byte), never
// through a cast of a buffer position. A 64-bit field is a low 32-bit half followed by a high one.
// Pointers inside the records are 32 bits wide.
//
// Blocks come from outside the program, so the walks check bounds: nothing outside a block is read,
// whatever the block holds. The chain ends at the last whole entry, a thread count is cut to the
// threads that fit, and a name that does not lie inside the block reads as null.
#pragma once

#include <cstdint>

namespace ntsnap {

// One block of the native query and its size; an empty slot has a null base.
struct Block {
    unsigned char* base;
    std::uint32_t size;
};

// Information classes and the size main asks for first.
namespace InfoClass {
constexpr std::uint32_t basic = 0;
constexpr std::uint32_t performance = 2;
constexpr std::uint32_t timeOfDay = 3;
constexpr std::uint32_t process = 5;
} // namespace InfoClass

namespace BasicInfoRecord {
constexpr std::uint32_t size = 44;
constexpr std::uint32_t processorCount = 40; // one byte
} // namespace BasicInfoRecord

namespace PerformanceRecord {
constexpr std::uint32_t size = 312;
}

namespace TimeOfDayRecord {
constexpr std::uint32_t size = 48;
constexpr std::uint32_t bootTime = 0;
constexpr std::uint32_t currentTime = 8;
} // namespace TimeOfDayRecord

namespace ProcessRecord {
constexpr std::uint32_t nextEntryOffset = 0;
constexpr std::uint32_t threadCount = 4;
constexpr std::uint32_t createTime = 32;
constexpr std::uint32_t userTime = 40;
constexpr std::uint32_t kernelTime = 48;
constexpr std::uint32_t imageNameLength = 56; // two 16-bit byte counts, never read
constexpr std::uint32_t imageNameBuffer = 60;
constexpr std::uint32_t basePriority = 64;
constexpr std::uint32_t processId = 68;
constexpr std::uint32_t parentProcessId = 72;
constexpr std::uint32_t handleCount = 76;
constexpr std::uint32_t peakVirtualSize = 88;
constexpr std::uint32_t virtualSize = 92;
constexpr std::uint32_t pageFaultCount = 96;
constexpr std::uint32_t peakWorkingSetSize = 100;
constexpr std::uint32_t workingSetSize = 104;
constexpr std::uint32_t peakPagedPoolUsage = 108;
constexpr std::uint32_t pagedPoolUsage = 112;
constexpr std::uint32_t peakNonPagedPoolUsage = 116;
constexpr std::uint32_t nonPagedPoolUsage = 120;
constexpr std::uint32_t pagefileUsage = 124;
constexpr std::uint32_t peakPagefileUsage = 128;
constexpr std::uint32_t privatePageCount = 132;
constexpr std::uint32_t ioCounters = 136; // major version 5 only
constexpr std::uint32_t threadsVersion4 = 136;
constexpr std::uint32_t threadsVersion5 = 184;
constexpr std::uint32_t fixedSize = 136; // the fields read on every major version
// What main asks for first: one entry of major version 5 without threads.
constexpr std::uint32_t firstRequest = 184;
} // namespace ProcessRecord

namespace IoCounterBlock {
constexpr std::uint32_t readOperationCount = 0;
constexpr std::uint32_t writeOperationCount = 8;
constexpr std::uint32_t otherOperationCount = 16;
constexpr std::uint32_t readTransferCount = 24;
constexpr std::uint32_t writeTransferCount = 32;
constexpr std::uint32_t otherTransferCount = 40;
constexpr std::uint32_t size = 48;
} // namespace IoCounterBlock

namespace ThreadRecord {
constexpr std::uint32_t kernelTime = 0;
constexpr std::uint32_t userTime = 8;
constexpr std::uint32_t createTime = 16;
constexpr std::uint32_t waitTime = 24;
constexpr std::uint32_t startAddress = 28;
constexpr std::uint32_t ownerProcessId = 32;
constexpr std::uint32_t threadId = 36;
constexpr std::uint32_t priority = 40;
constexpr std::uint32_t basePriority = 44;
constexpr std::uint32_t contextSwitches = 48;
constexpr std::uint32_t threadState = 52;
constexpr std::uint32_t waitReason = 56;
constexpr std::uint32_t size = 64;
} // namespace ThreadRecord

std::uint8_t read8(const unsigned char* at);
std::uint32_t read32(const unsigned char* at);
std::uint64_t read64(const unsigned char* at); // high * 2^32 + low
void write32(unsigned char* at, std::uint32_t value);
void write64(unsigned char* at, std::uint64_t value);

// Stores the address of `target` in the 32-bit pointer field at `at`. Returns 0 and leaves the
// field untouched when the address does not fit in 32 bits: that is a programming error of the
// caller (a text or block placed above 4 GiB), never a silent truncation.
int storePointer32(unsigned char* at, const void* target);

// The address held in a 32-bit pointer field, widened to the host's pointer size.
const void* loadPointer32(const unsigned char* at);

// Walk of a process block: the first entry, then each next one, in block order. An entry is
// visited only when its fixed fields (offsets 0 to 135) lie inside the block. Each returns 1 and
// stores the entry, or 0 and stores null at the end of the chain (or of the block).
int firstProcess(const Block& block, const unsigned char** pEntry);
int nextProcess(const Block& block, const unsigned char* entry, const unsigned char** pNext);

// The first entry whose processId equals `processId`. Returns 1 and stores it, or 0 and null.
int findProcess(const Block& block, std::uint32_t processId, const unsigned char** pEntry);

// The thread array of an entry for `osMajor` (offset 136 for 4, 184 for 5). Returns 0 for any
// other major version; else 1, with the first thread (null when none fits) and the number of
// threads, cut to those that lie whole inside the block.
int threadArray(const Block& block, const unsigned char* entry, std::uint32_t osMajor,
                const unsigned char** pThreads, std::uint32_t* pCount);

// The I/O counter block of an entry: present only for osMajor 5 and when it lies inside the block.
const unsigned char* ioCounters(const Block& block, const unsigned char* entry,
                                std::uint32_t osMajor);

// The text "Idle" that names the idle process; it lies below 4 GiB for the life of the program.
extern const char16_t idleName[5];

// The image name of an entry: null, the "Idle" text, or a NUL-terminated text that lies wholly
// inside the block; any other pointer reads as null.
const char16_t* imageName(const Block& block, const unsigned char* entry);

// The in-place writes of the reports. Point the idle process's name at idleName (returns 0 and
// leaves the field as it was when the text lies above 4 GiB), clear process 4's creation time.
int setIdleName(unsigned char* entry);
void clearCreateTime(unsigned char* entry);

} // namespace ntsnap
