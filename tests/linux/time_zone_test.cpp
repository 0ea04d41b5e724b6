// The time services of the Linux layer under a zone without daylight saving time and under zones
// with it, on a summer and a winter date.
#include "platform/calendar.h"
#include "platform/platform.h"

#include <time.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using namespace platform;

// Runs the test under the zone `TZ` names, and puts the machine's own back afterwards.
class InZone : public ::testing::Test {
  protected:
    void use(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    void SetUp() override {
        const char* old = std::getenv("TZ");
        hadZone_ = old != nullptr;
        oldZone_ = hadZone_ ? old : "";
    }
    void TearDown() override {
        if (hadZone_) {
            setenv("TZ", oldZone_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool hadZone_ = false;
    std::string oldZone_;
};

SystemTime utc(int year, int month, int day, int hour, int minute, int second = 0, int ms = 0) {
    SystemTime t{};
    t.wYear = static_cast<std::uint16_t>(year);
    t.wMonth = static_cast<std::uint16_t>(month);
    t.wDay = static_cast<std::uint16_t>(day);
    t.wHour = static_cast<std::uint16_t>(hour);
    t.wMinute = static_cast<std::uint16_t>(minute);
    t.wSecond = static_cast<std::uint16_t>(second);
    t.wMilliseconds = static_cast<std::uint16_t>(ms);
    return t;
}

struct Expected {
    SystemTime utc;
    int year, month, day, hour, minute, dayOfWeek;
};

void expectLocal(const TimeZoneInformation* zone, const Expected& e) {
    SystemTime local{};
    ASSERT_NE(SystemTimeToTzSpecificLocalTime(zone, &e.utc, &local), 0);
    EXPECT_EQ(local.wYear, e.year);
    EXPECT_EQ(local.wMonth, e.month);
    EXPECT_EQ(local.wDay, e.day);
    EXPECT_EQ(local.wHour, e.hour) << "utc " << e.utc.wMonth << "-" << e.utc.wDay << " "
                                   << e.utc.wHour << ":" << e.utc.wMinute;
    EXPECT_EQ(local.wMinute, e.minute);
    EXPECT_EQ(local.wSecond, e.utc.wSecond);
    EXPECT_EQ(local.wMilliseconds, e.utc.wMilliseconds);
    EXPECT_EQ(local.wDayOfWeek, e.dayOfWeek);
}

TEST_F(InZone, UtcHasNoDaylightRuleAndLocalIsUtc) {
    use("UTC");
    TimeZoneInformation zone{};
    EXPECT_EQ(GetTimeZoneInformation(&zone), 0u);
    EXPECT_EQ(zone.Bias, 0);
    EXPECT_EQ(zone.StandardDate.wMonth, 0);
    const Expected cases[] = {
        {utc(2024, 7, 1, 12, 30, 15, 250), 2024, 7, 1, 12, 30, 1},
        {utc(2024, 1, 15, 23, 59, 59, 999), 2024, 1, 15, 23, 59, 1},
        {utc(1601, 1, 1, 0, 0), 1601, 1, 1, 0, 0, 1},
    };
    for (const Expected& e : cases) {
        expectLocal(&zone, e);
        expectLocal(nullptr, e);
    }
}

TEST_F(InZone, BerlinInSummerAndWinterAndOnTheDateOfAnOlderRule) {
    use("Europe/Berlin");
    TimeZoneInformation zone{};
    const DWORD id = GetTimeZoneInformation(&zone);
    EXPECT_TRUE(id == 1 || id == 2);
    EXPECT_EQ(zone.Bias, -60);
    EXPECT_EQ(zone.DaylightBias, -60);
    // Daylight time from the last Sunday of March 02:00 to the last Sunday of October 03:00.
    EXPECT_EQ(zone.DaylightDate.wMonth, 3);
    EXPECT_EQ(zone.DaylightDate.wDay, 5);
    EXPECT_EQ(zone.DaylightDate.wDayOfWeek, 0);
    EXPECT_EQ(zone.DaylightDate.wHour, 2);
    EXPECT_EQ(zone.StandardDate.wMonth, 10);
    EXPECT_EQ(zone.StandardDate.wDay, 5);
    EXPECT_EQ(zone.StandardDate.wDayOfWeek, 0);
    EXPECT_EQ(zone.StandardDate.wHour, 3);
    const Expected cases[] = {
        {utc(2024, 7, 1, 12, 0), 2024, 7, 1, 14, 0, 1},       // summer
        {utc(2024, 1, 15, 12, 0), 2024, 1, 15, 13, 0, 1},     // winter
        {utc(2024, 12, 31, 23, 30), 2025, 1, 1, 0, 30, 3},    // into the next year
        {utc(2024, 3, 31, 0, 59, 59), 2024, 3, 31, 1, 59, 0}, // just before the change
        {utc(2024, 3, 31, 1, 0), 2024, 3, 31, 3, 0, 0},       // just after it
        {utc(1975, 7, 1, 12, 0), 1975, 7, 1, 13, 0, 2},       // no daylight time then
    };
    for (const Expected& e : cases) {
        expectLocal(nullptr, e);
        expectLocal(&zone, e);
    }
}

TEST_F(InZone, NewYorkInSummerAndWinter) {
    use("America/New_York");
    TimeZoneInformation zone{};
    GetTimeZoneInformation(&zone);
    EXPECT_EQ(zone.Bias, 300);
    EXPECT_EQ(zone.DaylightDate.wMonth, 3);
    EXPECT_EQ(zone.DaylightDate.wDay, 2);
    EXPECT_EQ(zone.StandardDate.wMonth, 11);
    EXPECT_EQ(zone.StandardDate.wDay, 1);
    const Expected cases[] = {
        {utc(2024, 7, 1, 12, 0), 2024, 7, 1, 8, 0, 1},
        {utc(2024, 1, 15, 12, 0), 2024, 1, 15, 7, 0, 1},
        {utc(2024, 1, 1, 3, 0), 2023, 12, 31, 22, 0, 0},
    };
    for (const Expected& e : cases) {
        expectLocal(nullptr, e);
        expectLocal(&zone, e);
    }
}

// A zone record that is not the machine's is applied by its own rules.
TEST_F(InZone, ForeignZoneRecordIsAppliedByItsRules) {
    use("UTC");
    TimeZoneInformation sydney{};
    sydney.Bias = -600;
    sydney.DaylightBias = -60;
    // Daylight time from the first Sunday of October 02:00 to the first Sunday of April 03:00.
    sydney.DaylightDate = {0, 10, 0, 1, 2, 0, 0, 0};
    sydney.StandardDate = {0, 4, 0, 1, 3, 0, 0, 0};
    const Expected cases[] = {
        {utc(2024, 7, 1, 12, 0), 2024, 7, 1, 22, 0, 1},   // southern winter
        {utc(2024, 1, 15, 12, 0), 2024, 1, 15, 23, 0, 1}, // southern summer
        {utc(2024, 4, 6, 15, 59), 2024, 4, 7, 2, 59, 0},  // 02:59 daylight, before the end
        {utc(2024, 4, 6, 16, 0), 2024, 4, 7, 2, 0, 0},    // 03:00 daylight is 02:00 standard
    };
    for (const Expected& e : cases) {
        expectLocal(&sydney, e);
    }
    TimeZoneInformation fixed{};
    fixed.Bias = 330;
    expectLocal(&fixed, {utc(2024, 7, 1, 12, 0), 2024, 7, 1, 6, 30, 1});
}

TEST_F(InZone, InvalidFieldsAreRefused) {
    use("UTC");
    const SystemTime bad[] = {utc(2024, 13, 1, 0, 0), utc(2023, 2, 29, 0, 0),
                              utc(2024, 1, 1, 24, 0), utc(1600, 12, 31, 0, 0)};
    for (const SystemTime& t : bad) {
        SystemTime local{};
        EXPECT_EQ(SystemTimeToTzSpecificLocalTime(nullptr, &t, &local), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

} // namespace
