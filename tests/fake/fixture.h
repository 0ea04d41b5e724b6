// Builders of native query blocks for tests: process chains of major version 4 or 5, the
// time-of-day and basic records, and a way to place a built block in memory as the query would.
#pragma once

#include "snapshot/records.h"
#include "tests/fake/fake_platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fixture {

struct Thread {
    std::uint32_t threadId = 0;
    std::uint32_t ownerProcessId = 0xFFFFFFFFu; // the owning process's id unless set
    std::uint64_t kernelTime = 0;
    std::uint64_t userTime = 0;
    std::uint64_t createTime = 0;
    std::uint32_t waitTime = 0;
    std::uint32_t startAddress = 0;
    std::uint32_t priority = 8;
    std::uint32_t basePriority = 8;
    std::uint32_t contextSwitches = 0;
    std::uint32_t threadState = 5;
    std::uint32_t waitReason = 6;
};

struct Process {
    std::u16string name;
    bool nullName = false; // a null imageNameBuffer instead of the name
    std::uint32_t processId = 0;
    std::uint32_t parentProcessId = 0;
    std::uint32_t basePriority = 8;
    std::uint32_t handleCount = 0;
    std::uint64_t createTime = 0;
    std::uint64_t userTime = 0;
    std::uint64_t kernelTime = 0;
    std::uint32_t peakVirtualSize = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t pageFaultCount = 0;
    std::uint32_t peakWorkingSetSize = 0;
    std::uint32_t workingSetSize = 0;
    std::uint32_t peakPagedPoolUsage = 0;
    std::uint32_t pagedPoolUsage = 0;
    std::uint32_t peakNonPagedPoolUsage = 0;
    std::uint32_t nonPagedPoolUsage = 0;
    std::uint32_t pagefileUsage = 0;
    std::uint32_t peakPagefileUsage = 0;
    std::uint32_t privatePageCount = 0;
    std::uint64_t io[6] = {0, 0, 0, 0, 0, 0}; // read, write, other ops; read, write, other bytes
    std::vector<Thread> threads;
    std::int64_t threadCountOverride = -1; // written in place of threads.size() when >= 0
};

// A chain of process entries as the query lays it out for `osMajor` (I/O block and threads at 184
// for 5, threads at 136 otherwise), each name right after its entry's threads, entries 8-byte
// aligned, the last nextEntryOffset 0. Name pointers are relocations.
fake::Fixture processBlock(const std::vector<Process>& processes, std::uint32_t osMajor);

// A time-of-day record with `currentTime`, and a basic record with `cpus` processors.
fake::Fixture timeOfDay(std::uint64_t currentTime);
fake::Fixture basicInfo(std::uint8_t cpus);

// A 64-bit time or count laid out as a record holds it, for the functions that take a field.
struct Field64 {
    unsigned char bytes[8];
};
Field64 field64(std::uint64_t value);

// The fixture placed in a fresh block below 2 GiB, relocations applied. Release with release().
ntsnap::Block place(const fake::Fixture& f);
void release(ntsnap::Block* block);

} // namespace fixture
