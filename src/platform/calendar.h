// Proleptic Gregorian calendar arithmetic on time stamps (100 ns units since 1601-01-01 UTC), for
// the platforms that emulate the system's time services. Pure arithmetic: no system calls.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace calendar {

constexpr std::uint64_t ticksPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t unixEpochSeconds = 11644473600;

// Calendar fields of a stamp, milliseconds included. Returns 0 for a stamp at or past 2^63, as the
// system's own conversion refuses those.
int stampToSystemTime(std::uint64_t stamp, platform::SystemTime* fields);

// The stamp of calendar fields (the day of the week is ignored). Returns 0 when a field is out of
// range (month 1..12, day within the month, hour < 24, minute and second < 60, ms < 1000,
// year 1601..30827).
int systemTimeToStamp(const platform::SystemTime* fields, std::uint64_t* stamp);

// Days since 1970-01-01 of a civil date, and back (any year).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day);
void civilFromDays(std::int64_t days, std::int64_t* year, unsigned* month, unsigned* day);

} // namespace calendar
