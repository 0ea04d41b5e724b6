#include "analysis/deltas.h"

namespace ntsnap {
namespace {

namespace P = ProcessRecord;
namespace T = ThreadRecord;
namespace IO = IoCounterBlock;

std::int32_t change32(const unsigned char* oldEntry, const unsigned char* newEntry,
                      std::uint32_t offset) {
    return static_cast<std::int32_t>(read32(newEntry + offset) - read32(oldEntry + offset));
}

std::uint64_t sum3(const unsigned char* io, std::uint32_t first) {
    return read64(io + first) + read64(io + first + 8) + read64(io + first + 16);
}

} // namespace

const unsigned char* currentTimeField(const Block& tod) {
    static const unsigned char noTime[8] = {};
    if (tod.base == nullptr || tod.size < TimeOfDayRecord::currentTime + 8) {
        return noTime;
    }
    return tod.base + TimeOfDayRecord::currentTime;
}

int wholeEntry(const Block& block, const unsigned char* entry, std::uint32_t osMajor) {
    return osMajor != 5 || ioCounters(block, entry, osMajor) != nullptr;
}

std::uint64_t elapsedTime(const unsigned char* oldStamp, const unsigned char* newStamp) {
    return read64(newStamp) - read64(oldStamp);
}

std::uint64_t cpuTimeDelta(const unsigned char* oldKernel, const unsigned char* oldUser,
                           const unsigned char* newKernel, const unsigned char* newUser) {
    return (read64(newKernel) + read64(newUser)) - (read64(oldKernel) + read64(oldUser));
}

std::uint32_t cpuShare(std::uint64_t cpu, std::uint64_t elapsed, std::uint8_t cpuCount) {
    if (elapsed == 0) {
        return 0;
    }
    std::uint64_t share = cpu * 100 / elapsed;
    share /= cpuCount == 0 ? 1u : cpuCount;
    return static_cast<std::uint32_t>(share);
}

int procDelta(ProcDelta* pDelta, const Block& pProcOld, const unsigned char* newEntry,
              const Block& todOld, const Block& todNew, std::uint8_t cpuCount,
              std::uint32_t osMajor) {
    *pDelta = ProcDelta{};
    const unsigned char* oldEntry;
    if (!findProcess(pProcOld, read32(newEntry + P::processId), &oldEntry)) {
        return 0;
    }
    std::uint64_t elapsed = elapsedTime(currentTimeField(todOld), currentTimeField(todNew));
    std::uint64_t cpu = cpuTimeDelta(oldEntry + P::kernelTime, oldEntry + P::userTime,
                                     newEntry + P::kernelTime, newEntry + P::userTime);
    pDelta->cpuPercent = cpuShare(cpu, elapsed, cpuCount);
    pDelta->vmemDelta = change32(oldEntry, newEntry, P::virtualSize);
    pDelta->wrksetDelta = change32(oldEntry, newEntry, P::workingSetSize);
    pDelta->pplDelta = change32(oldEntry, newEntry, P::pagedPoolUsage);
    pDelta->npplDelta = change32(oldEntry, newEntry, P::nonPagedPoolUsage);
    pDelta->swapDelta = change32(oldEntry, newEntry, P::pagefileUsage);
    pDelta->pvtpgsDelta = change32(oldEntry, newEntry, P::privatePageCount);
    const unsigned char* oldIo = ioCounters(pProcOld, oldEntry, osMajor);
    if (osMajor == 5 && oldIo != nullptr) {
        const unsigned char* newIo = newEntry + P::ioCounters;
        pDelta->ioOpsDelta = static_cast<std::int64_t>(sum3(newIo, IO::readOperationCount) -
                                                       sum3(oldIo, IO::readOperationCount));
        pDelta->ioBytesDelta = static_cast<std::int64_t>(sum3(newIo, IO::readTransferCount) -
                                                         sum3(oldIo, IO::readTransferCount));
    }
    return 1;
}

int threadDelta(ThreadDelta* pDelta, const Block& pProcOld, const unsigned char* newThread,
                std::uint32_t index, const Block& todOld, const Block& todNew,
                std::uint8_t cpuCount, std::uint32_t osMajor) {
    *pDelta = ThreadDelta{};
    const unsigned char* oldEntry;
    if (!findProcess(pProcOld, read32(newThread + T::ownerProcessId), &oldEntry)) {
        return 0;
    }
    const unsigned char* oldThreads;
    std::uint32_t oldCount;
    if (!threadArray(pProcOld, oldEntry, osMajor, &oldThreads, &oldCount)) {
        return 0;
    }
    // The count is already cut to the threads that lie inside the old block.
    const unsigned char* oldThread = nullptr;
    std::uint32_t threadId = read32(newThread + T::threadId);
    if (threadId != 0) {
        for (std::uint32_t i = 0; i < oldCount; ++i) {
            const unsigned char* candidate = oldThreads + T::size * i;
            if (read32(candidate + T::threadId) == threadId) {
                oldThread = candidate;
                break;
            }
        }
    } else if (index < oldCount) {
        oldThread = oldThreads + T::size * index;
    }
    if (oldThread == nullptr) {
        return 0;
    }
    std::uint64_t elapsed = elapsedTime(currentTimeField(todOld), currentTimeField(todNew));
    std::uint64_t cpu = cpuTimeDelta(oldThread + T::kernelTime, oldThread + T::userTime,
                                     newThread + T::kernelTime, newThread + T::userTime);
    pDelta->cpuPercent = cpuShare(cpu, elapsed, cpuCount);
    pDelta->ctxsDelta = static_cast<std::int32_t>(read32(newThread + T::contextSwitches) -
                                                  read32(oldThread + T::contextSwitches));
    return 1;
}

} // namespace ntsnap
