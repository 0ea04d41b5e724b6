// May use: /proc/stat, sysconf, clock_gettime. No knowledge of the record layouts.
#include "platform/linux/cpu_times.h"

#include "platform/calendar.h"
#include "platform/linux/proc_reader.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace linuxhost {

namespace {

std::uint64_t clockTicksPerSecond() {
    static const std::uint64_t rate = [] {
        long r = sysconf(_SC_CLK_TCK);
        return r > 0 ? static_cast<std::uint64_t>(r) : std::uint64_t{100};
    }();
    return rate;
}

// The boot time as the kernel gives it in btime: the real-time clock less the time since boot,
// in whole seconds. Used only when /proc/stat was cut before its btime line.
std::uint64_t bootSecondsFromClocks() {
    timespec now{};
    timespec sinceBoot{};
    clock_gettime(CLOCK_REALTIME, &now);
    clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
    return static_cast<std::uint64_t>(now.tv_sec - sinceBoot.tv_sec -
                                      (now.tv_nsec < sinceBoot.tv_nsec ? 1 : 0));
}

} // namespace

int readCpuTimes(CpuTimes* times) {
    times->count = 0;
    times->totalIdleTicks = 0;
    times->bootSeconds = 0;
    // The per-processor lines come first; the interrupt line after them can be long on machines
    // with many interrupt sources, so a btime line beyond the buffer falls back to the clocks.
    char text[32768];
    long n = procfs::readWholeFileAt(AT_FDCWD, "/proc/stat", text, sizeof text);
    if (n < 0) {
        return 0;
    }
    const char* end = text + n;
    const char* line = text;
    bool haveBoot = false;
    while (line < end) {
        const char* next = static_cast<const char*>(std::memchr(line, '\n', end - line));
        const char* lineEnd = next != nullptr ? next : end;
        const auto length = static_cast<std::size_t>(lineEnd - line);
        if (length > 3 && std::memcmp(line, "cpu", 3) == 0 && line[3] >= '0' && line[3] <= '9') {
            // cpuN user nice system idle iowait ...: a processor waiting for I/O is idle too.
            std::uint64_t idle =
                procfs::fieldValue(line, length, 4) + procfs::fieldValue(line, length, 5);
            if (times->count < maxProcessors) {
                times->idleTicks[times->count++] = idle;
                times->totalIdleTicks += idle;
            }
        } else if (length > 6 && std::memcmp(line, "btime ", 6) == 0) {
            times->bootSeconds = procfs::fieldValue(line, length, 1);
            haveBoot = true;
        }
        if (next == nullptr) {
            break;
        }
        line = next + 1;
    }
    if (!haveBoot) {
        times->bootSeconds = bootSecondsFromClocks();
    }
    return times->count > 0 ? 1 : 0;
}

std::uint64_t ticksToUnits(std::uint64_t ticks) {
    const std::uint64_t rate = clockTicksPerSecond();
    return ticks / rate * calendar::ticksPerSecond + ticks % rate * calendar::ticksPerSecond / rate;
}

std::uint64_t unixToStamp(std::uint64_t seconds, std::uint64_t nanoseconds) {
    return (seconds + calendar::unixEpochSeconds) * calendar::ticksPerSecond + nanoseconds / 100;
}

std::uint32_t saturate32(std::uint64_t value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

} // namespace linuxhost
