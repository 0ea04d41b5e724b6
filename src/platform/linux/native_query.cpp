// May use: /proc/stat, /proc/meminfo, sysconf, clock_gettime, the C library's zone; the record
// layouts of snapshot/records.h. The process class lives in process_table.cpp.
#include "platform/linux/native_query.h"

#include "platform/linux/cpu_times.h"
#include "platform/linux/proc_reader.h"
#include "platform/linux/process_table.h"
#include "snapshot/records.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace linuxhost {
namespace {

constexpr platform::NTSTATUS statusUnsuccessful = 0xC0000001u;
constexpr platform::NTSTATUS statusAccessViolation = 0xC0000005u;

// Offsets of the basic record that this layer fills besides the processor count.
namespace Basic {
constexpr std::uint32_t timerResolution = 4;
constexpr std::uint32_t pageSize = 8;
constexpr std::uint32_t physicalPages = 12;
constexpr std::uint32_t lowestPage = 16;
constexpr std::uint32_t highestPage = 20;
constexpr std::uint32_t allocationGranularity = 24;
constexpr std::uint32_t lowestUserAddress = 28;
constexpr std::uint32_t highestUserAddress = 32;
constexpr std::uint32_t activeProcessors = 36;
} // namespace Basic

// Offsets of the performance record that this layer fills; the rest stays 0.
namespace Performance {
constexpr std::uint32_t idleTime = 0;
constexpr std::uint32_t availablePages = 44;
constexpr std::uint32_t committedPages = 48;
constexpr std::uint32_t commitLimit = 52;
} // namespace Performance

// Offsets of the time-of-day record besides the two stamps.
namespace TimeOfDay {
constexpr std::uint32_t zoneBias = 16;
} // namespace TimeOfDay

std::uint64_t pageSize() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

platform::NTSTATUS basicInformation(unsigned char* block, platform::DWORD size,
                                    platform::DWORD* returned) {
    const std::uint32_t needed = ntsnap::BasicInfoRecord::size;
    *returned = needed;
    if (size < needed) {
        return platform::STATUS_INFO_LENGTH_MISMATCH;
    }
    CpuTimes cpus;
    if (!readCpuTimes(&cpus)) {
        return statusUnsuccessful;
    }
    const std::uint64_t page = pageSize();
    long pages = sysconf(_SC_PHYS_PAGES);
    std::memset(block, 0, needed);
    ntsnap::write32(block + Basic::timerResolution, saturate32(ticksToUnits(1)));
    ntsnap::write32(block + Basic::pageSize, saturate32(page));
    ntsnap::write32(block + Basic::physicalPages, saturate32(pages > 0 ? pages : 0));
    ntsnap::write32(block + Basic::lowestPage, 1);
    ntsnap::write32(block + Basic::highestPage, saturate32(pages > 0 ? pages : 0));
    ntsnap::write32(block + Basic::allocationGranularity, 65536);
    ntsnap::write32(block + Basic::lowestUserAddress, 0x10000);
    ntsnap::write32(block + Basic::highestUserAddress, 0x7FFEFFFF);
    const std::uint32_t mask =
        cpus.count >= 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << cpus.count) - 1;
    ntsnap::write32(block + Basic::activeProcessors, mask);
    block[ntsnap::BasicInfoRecord::processorCount] = static_cast<unsigned char>(cpus.count);
    return platform::STATUS_SUCCESS;
}

platform::NTSTATUS performanceInformation(unsigned char* block, platform::DWORD size,
                                          platform::DWORD* returned) {
    const std::uint32_t needed = ntsnap::PerformanceRecord::size;
    *returned = needed;
    if (size < needed) {
        return platform::STATUS_INFO_LENGTH_MISMATCH;
    }
    CpuTimes cpus;
    if (!readCpuTimes(&cpus)) {
        return statusUnsuccessful;
    }
    char text[8192];
    long n = procfs::readFileAt(AT_FDCWD, "/proc/meminfo", text, sizeof text);
    std::memset(block, 0, needed);
    ntsnap::write64(block + Performance::idleTime, ticksToUnits(cpus.totalIdleTicks));
    if (n > 0) {
        const auto length = static_cast<std::size_t>(n);
        const std::uint64_t kbPerPage = pageSize() / 1024;
        auto pages = [&](const char* key) {
            return saturate32(procfs::keyValue(text, length, key) / (kbPerPage ? kbPerPage : 1));
        };
        ntsnap::write32(block + Performance::availablePages, pages("MemAvailable:"));
        ntsnap::write32(block + Performance::committedPages, pages("Committed_AS:"));
        ntsnap::write32(block + Performance::commitLimit, pages("CommitLimit:"));
    }
    return platform::STATUS_SUCCESS;
}

platform::NTSTATUS timeOfDayInformation(unsigned char* block, platform::DWORD size,
                                        platform::DWORD* returned) {
    const std::uint32_t needed = ntsnap::TimeOfDayRecord::size;
    *returned = needed;
    if (size < needed) {
        return platform::STATUS_INFO_LENGTH_MISMATCH;
    }
    timespec now{};
    timespec sinceBoot{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &sinceBoot)) {
        return statusUnsuccessful;
    }
    const std::uint64_t current = unixToStamp(static_cast<std::uint64_t>(now.tv_sec),
                                              static_cast<std::uint64_t>(now.tv_nsec));
    const std::uint64_t up = static_cast<std::uint64_t>(sinceBoot.tv_sec) * 10000000u +
                             static_cast<std::uint64_t>(sinceBoot.tv_nsec) / 100;
    std::memset(block, 0, needed);
    ntsnap::write64(block + ntsnap::TimeOfDayRecord::bootTime, current - up);
    ntsnap::write64(block + ntsnap::TimeOfDayRecord::currentTime, current);
    // UTC = local time + bias, in 100 ns units.
    tm local{};
    time_t seconds = now.tv_sec;
    if (localtime_r(&seconds, &local) != nullptr) {
        const std::int64_t bias = -static_cast<std::int64_t>(local.tm_gmtoff) * 10000000;
        ntsnap::write64(block + TimeOfDay::zoneBias, static_cast<std::uint64_t>(bias));
    }
    return platform::STATUS_SUCCESS;
}

} // namespace

platform::NTSTATUS PLATFORM_STDCALL ntQuerySystemInformation(platform::DWORD infoClass,
                                                             void* buffer, platform::DWORD size,
                                                             platform::DWORD* returnedLength) {
    platform::DWORD returned = 0;
    auto* block = static_cast<unsigned char*>(buffer);
    platform::NTSTATUS status;
    if (infoClass != ntsnap::InfoClass::basic && infoClass != ntsnap::InfoClass::performance &&
        infoClass != ntsnap::InfoClass::timeOfDay && infoClass != ntsnap::InfoClass::process) {
        status = platform::STATUS_INVALID_INFO_CLASS;
    } else if (block == nullptr && size != 0) {
        status = statusAccessViolation;
    } else if (infoClass == ntsnap::InfoClass::basic) {
        status = basicInformation(block, size, &returned);
    } else if (infoClass == ntsnap::InfoClass::performance) {
        status = performanceInformation(block, size, &returned);
    } else if (infoClass == ntsnap::InfoClass::timeOfDay) {
        status = timeOfDayInformation(block, size, &returned);
    } else {
        status = queryProcessTable(block, size, &returned);
    }
    if (returnedLength != nullptr) {
        *returnedLength = returned;
    }
    return status;
}

} // namespace linuxhost
