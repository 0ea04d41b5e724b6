#include "tests/fake/fixture.h"

#include "platform/linux/low_memory.h"

#include <cstring>

namespace fixture {

using ntsnap::write32;
using ntsnap::write64;
namespace P = ntsnap::ProcessRecord;
namespace T = ntsnap::ThreadRecord;

fake::Fixture processBlock(const std::vector<Process>& processes, std::uint32_t osMajor) {
    fake::Fixture f;
    std::vector<unsigned char>& b = f.bytes;
    const std::uint32_t threadsAt = osMajor == 5 ? P::threadsVersion5 : P::threadsVersion4;
    std::size_t previous = 0;
    for (std::size_t n = 0; n < processes.size(); ++n) {
        const Process& p = processes[n];
        std::size_t at = (b.size() + 7) / 8 * 8;
        if (n != 0) {
            write32(b.data() + previous + P::nextEntryOffset,
                    static_cast<std::uint32_t>(at - previous));
        }
        std::size_t threadsEnd = at + threadsAt + T::size * p.threads.size();
        std::size_t nameAt = threadsEnd;
        std::size_t end = nameAt + (p.name.size() + 1) * 2;
        b.resize(end, 0);
        unsigned char* e = b.data() + at;
        write32(e + P::threadCount, p.threadCountOverride >= 0
                                        ? static_cast<std::uint32_t>(p.threadCountOverride)
                                        : static_cast<std::uint32_t>(p.threads.size()));
        write64(e + P::createTime, p.createTime);
        write64(e + P::userTime, p.userTime);
        write64(e + P::kernelTime, p.kernelTime);
        e[P::imageNameLength] = static_cast<unsigned char>(p.name.size() * 2);
        e[P::imageNameLength + 2] = static_cast<unsigned char>(p.name.size() * 2 + 2);
        if (!p.nullName) {
            write32(e + P::imageNameBuffer, static_cast<std::uint32_t>(nameAt));
            f.relocations.push_back(static_cast<std::uint32_t>(at + P::imageNameBuffer));
        }
        write32(e + P::basePriority, p.basePriority);
        write32(e + P::processId, p.processId);
        write32(e + P::parentProcessId, p.parentProcessId);
        write32(e + P::handleCount, p.handleCount);
        write32(e + P::peakVirtualSize, p.peakVirtualSize);
        write32(e + P::virtualSize, p.virtualSize);
        write32(e + P::pageFaultCount, p.pageFaultCount);
        write32(e + P::peakWorkingSetSize, p.peakWorkingSetSize);
        write32(e + P::workingSetSize, p.workingSetSize);
        write32(e + P::peakPagedPoolUsage, p.peakPagedPoolUsage);
        write32(e + P::pagedPoolUsage, p.pagedPoolUsage);
        write32(e + P::peakNonPagedPoolUsage, p.peakNonPagedPoolUsage);
        write32(e + P::nonPagedPoolUsage, p.nonPagedPoolUsage);
        write32(e + P::pagefileUsage, p.pagefileUsage);
        write32(e + P::peakPagefileUsage, p.peakPagefileUsage);
        write32(e + P::privatePageCount, p.privatePageCount);
        if (osMajor == 5) {
            for (int i = 0; i < 6; ++i) {
                write64(e + P::ioCounters + 8 * i, p.io[i]);
            }
        }
        for (std::size_t i = 0; i < p.threads.size(); ++i) {
            const Thread& t = p.threads[i];
            unsigned char* r = e + threadsAt + T::size * i;
            write64(r + T::kernelTime, t.kernelTime);
            write64(r + T::userTime, t.userTime);
            write64(r + T::createTime, t.createTime);
            write32(r + T::waitTime, t.waitTime);
            write32(r + T::startAddress, t.startAddress);
            write32(r + T::ownerProcessId,
                    t.ownerProcessId == 0xFFFFFFFFu ? p.processId : t.ownerProcessId);
            write32(r + T::threadId, t.threadId);
            write32(r + T::priority, t.priority);
            write32(r + T::basePriority, t.basePriority);
            write32(r + T::contextSwitches, t.contextSwitches);
            write32(r + T::threadState, t.threadState);
            write32(r + T::waitReason, t.waitReason);
        }
        for (std::size_t i = 0; i < p.name.size(); ++i) {
            b[nameAt + 2 * i] = static_cast<unsigned char>(p.name[i]);
            b[nameAt + 2 * i + 1] = static_cast<unsigned char>(p.name[i] >> 8);
        }
        previous = at;
    }
    b.resize((b.size() + 7) / 8 * 8, 0);
    return f;
}

fake::Fixture timeOfDay(std::uint64_t currentTime) {
    fake::Fixture f;
    f.bytes.assign(ntsnap::TimeOfDayRecord::size, 0);
    write64(f.bytes.data() + ntsnap::TimeOfDayRecord::currentTime, currentTime);
    return f;
}

fake::Fixture basicInfo(std::uint8_t cpus) {
    fake::Fixture f;
    f.bytes.assign(ntsnap::BasicInfoRecord::size, 0);
    f.bytes[ntsnap::BasicInfoRecord::processorCount] = cpus;
    return f;
}

Field64 field64(std::uint64_t value) {
    Field64 f;
    write64(f.bytes, value);
    return f;
}

ntsnap::Block place(const fake::Fixture& f) {
    auto size = static_cast<std::uint32_t>(f.bytes.empty() ? 1 : f.bytes.size());
    auto* base = static_cast<unsigned char*>(lowmem::allocate(size));
    if (!f.bytes.empty()) {
        std::memcpy(base, f.bytes.data(), f.bytes.size());
    }
    for (std::uint32_t at : f.relocations) {
        ntsnap::storePointer32(base + at, base + ntsnap::read32(base + at));
    }
    return ntsnap::Block{base, size};
}

void release(ntsnap::Block* block) {
    lowmem::release(block->base);
    block->base = nullptr;
    block->size = 0;
}

} // namespace fixture
