// The machine-wide figures of /proc/stat and the clock conversions shared by the native query's
// classes.
#pragma once

#include <cstdint>

namespace linuxhost {

// At most this many processors are reported: the count is one byte in the basic record.
constexpr unsigned maxProcessors = 255;

struct CpuTimes {
    unsigned count;                         // cpuN lines, at most maxProcessors
    std::uint64_t idleTicks[maxProcessors]; // per processor, in clock ticks
    std::uint64_t totalIdleTicks;
    std::uint64_t bootSeconds; // Unix seconds of the boot
};

// Reads /proc/stat. Returns 0 when it cannot be read or holds no cpuN line.
int readCpuTimes(CpuTimes* times);

// Clock ticks (of stat files) to 100 ns units, exact for any tick rate.
std::uint64_t ticksToUnits(std::uint64_t ticks);

// Unix seconds and nanoseconds to a time stamp (100 ns units since 1601-01-01 UTC).
std::uint64_t unixToStamp(std::uint64_t seconds, std::uint64_t nanoseconds);

// Saturates a byte count in a 32-bit size field, as a count that does not fit must not wrap.
std::uint32_t saturate32(std::uint64_t value);

} // namespace linuxhost
