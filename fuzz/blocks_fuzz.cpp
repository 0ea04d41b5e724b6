// Drives the walks of the native records over arbitrary blocks. Input: one byte that picks the
// major version, two bytes giving the length of the first block, then the first block and the
// second block. Whatever the bytes, nothing outside a block may be read.
#include "platform/linux/low_memory.h"
#include "snapshot/records.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::uint32_t majors[] = {4, 5, 6, 0};
    std::uint32_t osMajor = majors[data[0] % 4];
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
    lowmem::release(oldBlock.base);
    lowmem::release(newBlock.base);
    return 0;
}
