#include "platform/calendar.h"

namespace calendar {

// Howard Hinnant's civil-date algorithms, over eras of 400 years.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t days, std::int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<std::int64_t>(yoe) + era * 400 + (*month <= 2);
}

namespace {

const std::int64_t epochDays = daysFromCivil(1601, 1, 1);

bool leap(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned daysInMonth(std::int64_t y, unsigned m) {
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

} // namespace

int stampToSystemTime(std::uint64_t stamp, platform::SystemTime* fields) {
    if (stamp >> 63 != 0) {
        return 0;
    }
    const std::uint64_t ms = stamp / 10000;
    const std::uint64_t seconds = ms / 1000;
    const std::uint64_t days = seconds / 86400;
    const std::uint64_t inDay = seconds % 86400;
    std::int64_t year;
    unsigned month;
    unsigned day;
    const std::int64_t absolute = epochDays + static_cast<std::int64_t>(days);
    civilFromDays(absolute, &year, &month, &day);
    fields->wYear = static_cast<std::uint16_t>(year);
    fields->wMonth = static_cast<std::uint16_t>(month);
    fields->wDay = static_cast<std::uint16_t>(day);
    // 1970-01-01 was a Thursday (4).
    std::int64_t weekday = (absolute % 7 + 7 + 4) % 7;
    fields->wDayOfWeek = static_cast<std::uint16_t>(weekday);
    fields->wHour = static_cast<std::uint16_t>(inDay / 3600);
    fields->wMinute = static_cast<std::uint16_t>(inDay % 3600 / 60);
    fields->wSecond = static_cast<std::uint16_t>(inDay % 60);
    fields->wMilliseconds = static_cast<std::uint16_t>(ms % 1000);
    return 1;
}

int systemTimeToStamp(const platform::SystemTime* f, std::uint64_t* stamp) {
    if (f->wYear < 1601 || f->wYear > 30827 || f->wMonth < 1 || f->wMonth > 12 || f->wDay < 1 ||
        f->wDay > daysInMonth(f->wYear, f->wMonth) || f->wHour > 23 || f->wMinute > 59 ||
        f->wSecond > 59 || f->wMilliseconds > 999) {
        return 0;
    }
    const std::int64_t days = daysFromCivil(f->wYear, f->wMonth, f->wDay) - epochDays;
    const std::uint64_t seconds =
        static_cast<std::uint64_t>(days) * 86400 + f->wHour * 3600u + f->wMinute * 60u + f->wSecond;
    *stamp = (seconds * 1000 + f->wMilliseconds) * 10000;
    return 1;
}

} // namespace calendar
