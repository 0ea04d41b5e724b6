// May use: the C library's zone (tzset, localtime_r, tzname), the calendar arithmetic. Holds the
// time services: UTC calendar fields, the machine's zone as a rule record, and local time.
#include "platform/calendar.h"
#include "platform/linux/last_error.h"
#include "platform/platform.h"

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

constexpr std::int64_t unitsPerSecond = 10000000;
constexpr std::int64_t unitsPerMinute = 60 * unitsPerSecond;

int isLeap(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned monthDays(std::int64_t y, unsigned m) {
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// Unix seconds of a stamp, rounded toward minus infinity.
std::int64_t unixSeconds(std::uint64_t stamp) {
    return static_cast<std::int64_t>(stamp / unitsPerSecond) -
           static_cast<std::int64_t>(calendar::unixEpochSeconds);
}

bool localAt(std::int64_t seconds, tm* fields) {
    auto t = static_cast<time_t>(seconds);
    return localtime_r(&t, fields) != nullptr;
}

void copyName(char16_t* out, const char* name) {
    std::size_t i = 0;
    for (; name != nullptr && name[i] != 0 && i < 31; ++i) {
        out[i] = static_cast<unsigned char>(name[i]);
    }
    out[i] = 0;
}

// The local calendar fields of `seconds` (a UTC instant) under a fixed offset, as a yearly rule:
// the week of the month is 5 when it is the month's last such weekday.
void ruleDate(std::int64_t seconds, std::int64_t offsetSeconds, SystemTime* rule) {
    SystemTime f{};
    const auto local =
        static_cast<std::uint64_t>(seconds + offsetSeconds +
                                   static_cast<std::int64_t>(calendar::unixEpochSeconds)) *
        unitsPerSecond;
    calendar::stampToSystemTime(local, &f);
    std::memset(rule, 0, sizeof *rule);
    rule->wMonth = f.wMonth;
    rule->wDayOfWeek = f.wDayOfWeek;
    rule->wDay = static_cast<std::uint16_t>(
        f.wDay + 7u > monthDays(f.wYear, f.wMonth) ? 5 : (f.wDay - 1u) / 7u + 1u);
    rule->wHour = f.wHour;
    rule->wMinute = f.wMinute;
    rule->wSecond = f.wSecond;
}

// The first second at or after `low` (where daylight is `before`) at which it no longer is.
std::int64_t findChange(std::int64_t low, std::int64_t high, int before) {
    while (high - low > 1) {
        const std::int64_t mid = low + (high - low) / 2;
        tm f{};
        localAt(mid, &f);
        if ((f.tm_isdst > 0) == (before > 0)) {
            low = mid;
        } else {
            high = mid;
        }
    }
    return high;
}

// The machine's zone as the record describes it, with the rules in force this year. Returns the
// zone identifier of the record (0, 1, 2) or TIME_ZONE_ID_INVALID.
DWORD computeZone(TimeZoneInformation* zone) {
    tzset();
    std::memset(zone, 0, sizeof *zone);
    const time_t now = time(nullptr);
    tm current{};
    if (now == static_cast<time_t>(-1) || localtime_r(&now, &current) == nullptr) {
        return TIME_ZONE_ID_INVALID;
    }
    copyName(zone->StandardName, tzname[0]);
    copyName(zone->DaylightName, tzname[1]);
    // Walk this year a day at a time; each change of the daylight flag is then found to the second.
    const std::int64_t yearStart =
        calendar::daysFromCivil(current.tm_year + 1900, 1, 1) * 86400 - 86400;
    std::int64_t standardOffset = current.tm_isdst > 0 ? 0 : current.tm_gmtoff;
    std::int64_t daylightOffset = current.tm_isdst > 0 ? current.tm_gmtoff : 0;
    bool haveStandard = current.tm_isdst <= 0;
    bool haveDaylight = current.tm_isdst > 0;
    std::int64_t starts = -1;
    std::int64_t ends = -1;
    tm previous{};
    localAt(yearStart, &previous);
    for (int day = 1; day <= 368; ++day) {
        const std::int64_t at = yearStart + day * 86400;
        tm f{};
        localAt(at, &f);
        if (f.tm_isdst > 0 && !haveDaylight) {
            daylightOffset = f.tm_gmtoff;
            haveDaylight = true;
        } else if (f.tm_isdst <= 0 && !haveStandard) {
            standardOffset = f.tm_gmtoff;
            haveStandard = true;
        }
        if ((f.tm_isdst > 0) != (previous.tm_isdst > 0)) {
            const std::int64_t change = findChange(at - 86400, at, previous.tm_isdst);
            (f.tm_isdst > 0 ? starts : ends) = change;
        }
        previous = f;
    }
    if (!haveStandard) {
        // Daylight time all year round is this zone's standard time.
        standardOffset = daylightOffset;
        haveDaylight = false;
    }
    zone->Bias = static_cast<std::int32_t>(-standardOffset / 60);
    if (!haveDaylight || starts < 0 || ends < 0) {
        return 0;
    }
    zone->DaylightBias = static_cast<std::int32_t>(-(daylightOffset - standardOffset) / 60);
    // Daylight time starts at a local standard time and ends at a local daylight time.
    ruleDate(starts, standardOffset, &zone->DaylightDate);
    ruleDate(ends, daylightOffset, &zone->StandardDate);
    return current.tm_isdst > 0 ? 2 : 1;
}

// The reports ask for the zone once per time they print, and working out its rules takes a few
// hundred conversions: the record is kept while TZ and the year stay the same.
struct ZoneCache {
    std::mutex lock;
    bool valid = false;
    bool hadTz = false;
    char tz[256] = {};
    int year = 0;
    bool hasRule = false;
    TimeZoneInformation zone{};
};
ZoneCache zoneCache;

int currentYear() {
    const time_t now = time(nullptr);
    tm fields{};
    return gmtime_r(&now, &fields) != nullptr ? fields.tm_year + 1900 : 0;
}

DWORD machineZone(TimeZoneInformation* zone) {
    std::lock_guard<std::mutex> hold(zoneCache.lock);
    const char* tz = std::getenv("TZ");
    const int year = currentYear();
    const bool fitsCache = tz == nullptr || std::strlen(tz) < sizeof zoneCache.tz;
    const bool same = zoneCache.valid && fitsCache && zoneCache.year == year &&
                      zoneCache.hadTz == (tz != nullptr) &&
                      (tz == nullptr || std::strcmp(tz, zoneCache.tz) == 0);
    if (!same) {
        const DWORD id = computeZone(&zoneCache.zone);
        zoneCache.valid = id != TIME_ZONE_ID_INVALID && fitsCache;
        zoneCache.hadTz = tz != nullptr;
        if (tz != nullptr && fitsCache) {
            std::strcpy(zoneCache.tz, tz);
        }
        zoneCache.year = year;
        zoneCache.hasRule = id == 1 || id == 2;
        *zone = zoneCache.zone;
        return id;
    }
    *zone = zoneCache.zone;
    if (!zoneCache.hasRule) {
        return 0;
    }
    const time_t now = time(nullptr);
    tm current{};
    if (localtime_r(&now, &current) == nullptr) {
        return TIME_ZONE_ID_INVALID;
    }
    return current.tm_isdst > 0 ? 2 : 1;
}

// The instant (100 ns units since 1601, local clock of the rule) at which a rule date falls in
// `year`, or -1 when the rule does not apply to that year.
std::int64_t ruleInstant(const SystemTime& rule, std::int64_t year) {
    if (rule.wMonth < 1 || rule.wMonth > 12) {
        return -1;
    }
    unsigned day;
    if (rule.wYear != 0) {
        if (rule.wYear != year || rule.wDay < 1 || rule.wDay > monthDays(year, rule.wMonth)) {
            return -1;
        }
        day = rule.wDay;
    } else {
        const std::int64_t first = calendar::daysFromCivil(year, rule.wMonth, 1);
        const auto firstWeekday = static_cast<unsigned>((first % 7 + 7 + 4) % 7);
        const unsigned week = rule.wDay < 1 ? 1 : rule.wDay > 5 ? 5 : rule.wDay;
        day = 1 + (rule.wDayOfWeek % 7 + 7 - firstWeekday) % 7 + (week - 1) * 7;
        while (day > monthDays(year, rule.wMonth)) {
            day -= 7;
        }
    }
    const std::int64_t days =
        calendar::daysFromCivil(year, rule.wMonth, day) - calendar::daysFromCivil(1601, 1, 1);
    return days * 86400 * unitsPerSecond + rule.wHour * 3600 * unitsPerSecond +
           rule.wMinute * unitsPerMinute + rule.wSecond * unitsPerSecond +
           rule.wMilliseconds * std::int64_t{10000};
}

// Local time of `utc` under the rules of a zone record.
std::int64_t byRules(const TimeZoneInformation& zone, std::int64_t utc) {
    const std::int64_t standardBias =
        (zone.Bias + std::int64_t{zone.StandardBias}) * unitsPerMinute;
    const std::int64_t daylightBias =
        (zone.Bias + std::int64_t{zone.DaylightBias}) * unitsPerMinute;
    if (zone.StandardDate.wMonth == 0 || zone.DaylightDate.wMonth == 0) {
        return utc - zone.Bias * unitsPerMinute;
    }
    SystemTime f{};
    const std::int64_t standardLocal = utc - standardBias;
    if (standardLocal < 0 ||
        !calendar::stampToSystemTime(static_cast<std::uint64_t>(standardLocal), &f)) {
        return utc - standardBias;
    }
    const std::int64_t start = ruleInstant(zone.DaylightDate, f.wYear);
    const std::int64_t end = ruleInstant(zone.StandardDate, f.wYear);
    if (start < 0 || end < 0) {
        return standardLocal;
    }
    const std::int64_t startUtc = start + standardBias;
    const std::int64_t endUtc = end + daylightBias;
    const bool daylight =
        startUtc < endUtc ? utc >= startUtc && utc < endUtc : !(utc >= endUtc && utc < startUtc);
    return utc - (daylight ? daylightBias : standardBias);
}

} // namespace

BOOL FileTimeToSystemTime(const FileTime* stamp, SystemTime* utc) {
    if (stamp == nullptr || utc == nullptr) {
        return linuxhost::failWith(ERROR_INVALID_PARAMETER);
    }
    const std::uint64_t value = std::uint64_t{stamp->dwHighDateTime} << 32 | stamp->dwLowDateTime;
    if (!calendar::stampToSystemTime(value, utc)) {
        return linuxhost::failWith(ERROR_INVALID_PARAMETER);
    }
    return 1;
}

DWORD GetTimeZoneInformation(TimeZoneInformation* zone) {
    if (zone == nullptr) {
        linuxhost::setLastError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    const DWORD id = machineZone(zone);
    if (id == TIME_ZONE_ID_INVALID) {
        linuxhost::setLastError(ERROR_INVALID_PARAMETER);
    }
    return id;
}

BOOL SystemTimeToTzSpecificLocalTime(const TimeZoneInformation* zone, const SystemTime* utc,
                                     SystemTime* local) {
    std::uint64_t stamp = 0;
    if (utc == nullptr || local == nullptr || !calendar::systemTimeToStamp(utc, &stamp)) {
        return linuxhost::failWith(ERROR_INVALID_PARAMETER);
    }
    TimeZoneInformation machine;
    const bool isMachine = zone == nullptr || (machineZone(&machine) != TIME_ZONE_ID_INVALID &&
                                               std::memcmp(&machine, zone, sizeof machine) == 0);
    std::int64_t localStamp;
    if (isMachine) {
        // The C library knows the rule in force on the stamp's own date, past rules included.
        tm f{};
        if (!localAt(unixSeconds(stamp), &f)) {
            return linuxhost::failWith(ERROR_INVALID_PARAMETER);
        }
        localStamp = static_cast<std::int64_t>(stamp) + f.tm_gmtoff * unitsPerSecond;
    } else {
        localStamp = byRules(*zone, static_cast<std::int64_t>(stamp));
    }
    SystemTime fields{};
    if (localStamp < 0 ||
        !calendar::stampToSystemTime(static_cast<std::uint64_t>(localStamp), &fields) ||
        fields.wYear > 30827) {
        return linuxhost::failWith(ERROR_INVALID_PARAMETER);
    }
    *local = fields;
    return 1;
}

} // namespace platform
