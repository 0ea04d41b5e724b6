// May use: mmap and mprotect. Holds no knowledge of the native records.
#include "platform/linux/low_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LOWMEM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define LOWMEM_ASAN 1
#endif
#ifdef LOWMEM_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace lowmem {
namespace {

struct Mapping {
    void* base;
    std::size_t length;
    std::size_t bytes;
};

std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}

std::map<const void*, Mapping>& registry() {
    static std::map<const void*, Mapping>* blocks = new std::map<const void*, Mapping>();
    return *blocks;
}

constexpr std::uintptr_t limit = std::uintptr_t{1} << 31;

void* mapLow(std::size_t length) {
#if defined(MAP_32BIT)
    void* low = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (low != MAP_FAILED) {
        return low;
    }
#endif
    // Without MAP_32BIT, ask for a spot low in the address space and keep it only if it is.
    void* hint = reinterpret_cast<void*>(std::uintptr_t{0x10000000});
    void* base = mmap(hint, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        return nullptr;
    }
    if (reinterpret_cast<std::uintptr_t>(base) + length > limit) {
        munmap(base, length);
        return nullptr;
    }
    return base;
}

} // namespace

void* allocate(std::size_t bytes) {
    if (bytes == 0) {
        bytes = 1;
    }
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (bytes > limit) {
        return nullptr;
    }
    std::size_t usable = (bytes + 7 + page - 1) / page * page;
    std::size_t length = usable + page;
    void* base = mapLow(length);
    if (base == nullptr) {
        return nullptr;
    }
    auto* guard = static_cast<unsigned char*>(base) + usable;
    if (reinterpret_cast<std::uintptr_t>(guard) + page > limit ||
        mprotect(guard, page, PROT_NONE) != 0) {
        munmap(base, length);
        return nullptr;
    }
    auto start = (reinterpret_cast<std::uintptr_t>(guard) - bytes) & ~std::uintptr_t{7};
    auto* block = reinterpret_cast<unsigned char*>(start);
#ifdef LOWMEM_ASAN
    ASAN_POISON_MEMORY_REGION(block + bytes, static_cast<std::size_t>(guard - (block + bytes)));
#endif
    std::lock_guard<std::mutex> hold(registryLock());
    registry()[block] = Mapping{base, length, bytes};
    return block;
}

int release(void* block) {
    Mapping mapping;
    {
        std::lock_guard<std::mutex> hold(registryLock());
        auto found = registry().find(block);
        if (found == registry().end()) {
            return 0;
        }
        mapping = found->second;
        registry().erase(found);
    }
#ifdef LOWMEM_ASAN
    ASAN_UNPOISON_MEMORY_REGION(mapping.base, mapping.length);
#endif
    munmap(mapping.base, mapping.length);
    return 1;
}

std::size_t sizeOf(const void* block) {
    std::lock_guard<std::mutex> hold(registryLock());
    auto found = registry().find(block);
    return found == registry().end() ? 0 : found->second.bytes;
}

} // namespace lowmem
