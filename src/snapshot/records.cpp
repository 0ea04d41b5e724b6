#include "snapshot/records.h"

#include <cstring>

namespace ntsnap {

const char16_t idleName[5] = u"Idle";

std::uint8_t read8(const unsigned char* at) {
    return at[0];
}

std::uint32_t read32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::uint64_t read64(const unsigned char* at) {
    return static_cast<std::uint64_t>(read32(at + 4)) << 32 | read32(at);
}

void write32(unsigned char* at, std::uint32_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
    at[2] = static_cast<unsigned char>(value >> 16);
    at[3] = static_cast<unsigned char>(value >> 24);
}

void write64(unsigned char* at, std::uint64_t value) {
    write32(at, static_cast<std::uint32_t>(value));
    write32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

int storePointer32(unsigned char* at, const void* target) {
    auto address = reinterpret_cast<std::uintptr_t>(target);
    if (address > 0xFFFFFFFFu) {
        return 0;
    }
    write32(at, static_cast<std::uint32_t>(address));
    return 1;
}

const void* loadPointer32(const unsigned char* at) {
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(read32(at)));
}

namespace {

// Whether `length` bytes from `offset` lie inside the block, without overflow.
bool fits(const Block& block, std::uint64_t offset, std::uint64_t length) {
    return offset <= block.size && length <= block.size - offset;
}

std::uint64_t offsetOf(const Block& block, const unsigned char* at) {
    return static_cast<std::uint64_t>(at - block.base);
}

} // namespace

int firstProcess(const Block& block, const unsigned char** pEntry) {
    *pEntry = nullptr;
    if (block.base == nullptr || !fits(block, 0, ProcessRecord::fixedSize)) {
        return 0;
    }
    *pEntry = block.base;
    return 1;
}

int nextProcess(const Block& block, const unsigned char* entry, const unsigned char** pNext) {
    *pNext = nullptr;
    std::uint32_t step = read32(entry + ProcessRecord::nextEntryOffset);
    if (step == 0) {
        return 0;
    }
    std::uint64_t next = offsetOf(block, entry) + step;
    if (!fits(block, next, ProcessRecord::fixedSize)) {
        return 0;
    }
    *pNext = block.base + next;
    return 1;
}

int findProcess(const Block& block, std::uint32_t processId, const unsigned char** pEntry) {
    const unsigned char* entry;
    for (int more = firstProcess(block, &entry); more; more = nextProcess(block, entry, &entry)) {
        if (read32(entry + ProcessRecord::processId) == processId) {
            *pEntry = entry;
            return 1;
        }
    }
    *pEntry = nullptr;
    return 0;
}

int threadArray(const Block& block, const unsigned char* entry, std::uint32_t osMajor,
                const unsigned char** pThreads, std::uint32_t* pCount) {
    *pThreads = nullptr;
    *pCount = 0;
    std::uint32_t offset;
    if (osMajor == 4) {
        offset = ProcessRecord::threadsVersion4;
    } else if (osMajor == 5) {
        offset = ProcessRecord::threadsVersion5;
    } else {
        return 0;
    }
    std::uint64_t start = offsetOf(block, entry) + offset;
    std::uint32_t count = read32(entry + ProcessRecord::threadCount);
    if (start > block.size) {
        return 1;
    }
    std::uint64_t room = (block.size - start) / ThreadRecord::size;
    *pCount = count < room ? count : static_cast<std::uint32_t>(room);
    if (*pCount != 0) {
        *pThreads = block.base + start;
    }
    return 1;
}

const unsigned char* ioCounters(const Block& block, const unsigned char* entry,
                                std::uint32_t osMajor) {
    if (osMajor != 5 ||
        !fits(block, offsetOf(block, entry) + ProcessRecord::ioCounters, IoCounterBlock::size)) {
        return nullptr;
    }
    return entry + ProcessRecord::ioCounters;
}

const char16_t* imageName(const Block& block, const unsigned char* entry) {
    const void* name = loadPointer32(entry + ProcessRecord::imageNameBuffer);
    if (name == nullptr) {
        return nullptr;
    }
    if (name == idleName) {
        return idleName;
    }
    auto address = reinterpret_cast<std::uintptr_t>(name);
    auto start = reinterpret_cast<std::uintptr_t>(block.base);
    if (address < start || address - start >= block.size || address % alignof(char16_t) != 0) {
        return nullptr;
    }
    // The whole text, its NUL included, must lie inside the block.
    std::uint64_t offset = address - start;
    for (std::uint64_t at = offset; at + 2 <= block.size; at += 2) {
        if (block.base[at] == 0 && block.base[at + 1] == 0) {
            return static_cast<const char16_t*>(name);
        }
    }
    return nullptr;
}

int setIdleName(unsigned char* entry) {
    return storePointer32(entry + ProcessRecord::imageNameBuffer, idleName);
}

void clearCreateTime(unsigned char* entry) {
    write32(entry + ProcessRecord::createTime, 0);
    write32(entry + ProcessRecord::createTime + 4, 0);
}

} // namespace ntsnap
