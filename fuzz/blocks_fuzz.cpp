// Drives the walks of the native records, the interval deltas and both report writers over
// arbitrary blocks. Input: one byte that picks the major version, two bytes giving the length of
// the first block, then the first block and the second block. The time-of-day blocks are the
// first bytes of each (up to 48, so that some are too short to hold a stamp), and the processor
// count is the second input byte. Whatever the bytes, nothing outside a block may be read.
#include "analysis/deltas.h"
#include "platform/linux/low_memory.h"
#include "report/process_report.h"
#include "report/thread_report.h"
#include "snapshot/records.h"
#include "tests/fake/fake_platform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

ntsnap::Block place(const std::uint8_t* data, std::size_t size) {
    auto* base = static_cast<unsigned char*>(lowmem::allocate(size));
    if (size != 0) {
        std::memcpy(base, data, size);
    }
    return ntsnap::Block{base, static_cast<std::uint32_t>(size)};
}

volatile std::uint64_t sink;

void walk(const ntsnap::Block& block, std::uint32_t osMajor) {
    const unsigned char* entry;
    for (int more = ntsnap::firstProcess(block, &entry); more;
         more = ntsnap::nextProcess(block, entry, &entry)) {
        std::uint64_t sum = ntsnap::read64(entry + ntsnap::ProcessRecord::userTime) +
                            ntsnap::read32(entry + ntsnap::ProcessRecord::privatePageCount);
        const char16_t* name = ntsnap::imageName(block, entry);
        for (; name != nullptr && *name != 0; ++name) {
            sum += *name;
        }
        if (const unsigned char* io = ntsnap::ioCounters(block, entry, osMajor)) {
            sum += ntsnap::read64(io + ntsnap::IoCounterBlock::otherTransferCount);
        }
        const unsigned char* threads;
        std::uint32_t count;
        if (ntsnap::threadArray(block, entry, osMajor, &threads, &count)) {
            for (std::uint32_t i = 0; i < count; ++i) {
                sum += ntsnap::read32(threads + 64 * i + ntsnap::ThreadRecord::waitReason);
            }
        }
        const unsigned char* found;
        ntsnap::findProcess(block, ntsnap::read32(entry + ntsnap::ProcessRecord::processId),
                            &found);
        sink = sum + (found == entry);
    }
}

// Every entry and thread of the second block against the first, as the reports do.
void deltas(const ntsnap::Block& oldBlock, const ntsnap::Block& newBlock,
            const ntsnap::Block& todOld, const ntsnap::Block& todNew, std::uint8_t cpuCount,
            std::uint32_t osMajor) {
    const unsigned char* entry;
    for (int more = ntsnap::firstProcess(newBlock, &entry);
         more && ntsnap::wholeEntry(newBlock, entry, osMajor);
         more = ntsnap::nextProcess(newBlock, entry, &entry)) {
        ntsnap::ProcDelta p;
        ntsnap::procDelta(&p, oldBlock, entry, todOld, todNew, cpuCount, osMajor);
        std::uint64_t sum = p.cpuPercent + static_cast<std::uint64_t>(p.ioBytesDelta);
        const unsigned char* threads;
        std::uint32_t count;
        if (ntsnap::threadArray(newBlock, entry, osMajor, &threads, &count)) {
            for (std::uint32_t i = 0; i < count; ++i) {
                ntsnap::ThreadDelta t;
                ntsnap::threadDelta(&t, oldBlock, threads + 64 * i, i, todOld, todNew, cpuCount,
                                    osMajor);
                sum += t.cpuPercent + static_cast<std::uint32_t>(t.ctxsDelta);
            }
        }
        sink = sum;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::uint32_t majors[] = {4, 5, 6, 0};
    std::uint32_t osMajor = majors[data[0] % 4];
    std::uint8_t cpuCount = data[1];
    std::size_t firstLength = (std::size_t{data[1]} | std::size_t{data[2]} << 8);
    data += 3;
    size -= 3;
    if (firstLength > size) {
        firstLength = size;
    }
    ntsnap::Block oldBlock = place(data, firstLength);
    ntsnap::Block newBlock = place(data + firstLength, size - firstLength);
    walk(oldBlock, osMajor);
    walk(newBlock, osMajor);
    ntsnap::Block todOld = place(data, firstLength < 48 ? firstLength : 48);
    std::size_t secondLength = size - firstLength;
    ntsnap::Block todNew = place(data + firstLength, secondLength < 48 ? secondLength : 48);
    deltas(oldBlock, newBlock, todOld, todNew, cpuCount, osMajor);
    // The report output goes to the fake's string; it is dropped for every input.
    fake::state().out.clear();
    if (ntsnap::writeProcInfo(oldBlock, newBlock, todOld, todNew, cpuCount, osMajor)) {
        ntsnap::writeThreadInfo(oldBlock, newBlock, todOld, todNew, cpuCount, osMajor);
    }
    fake::state().out.clear();
    lowmem::release(oldBlock.base);
    lowmem::release(newBlock.base);
    lowmem::release(todOld.base);
    lowmem::release(todNew.base);
    return 0;
}
