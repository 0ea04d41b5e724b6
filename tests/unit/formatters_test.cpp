#include "report/formatters.h"
#include "snapshot/records.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using namespace ntsnap;

// A buffer filled with a marker, so that a formatter that must not write it can be caught.
struct OutBuf {
    char16_t text[outBufLength];
    OutBuf() {
        for (char16_t& c : text) {
            c = u'#';
        }
    }
    bool untouched() const { return text[0] == u'#'; }
};

TEST(FormatDuration, SecondsAndMillisecondsOfTheLow32BitsOfTheMilliseconds) {
    struct Case {
        std::uint64_t value;
        const char16_t* want;
    } cases[] = {
        {1, u"0.000"},
        {10000, u"0.001"},
        {10000ull * 1000, u"1.000"},
        {1ull << 32, u"429.496"}, // divided as one 64-bit value
        {0xFFFFFFFFull, u"429.496"},
        {0xFFFFFFFFull * 10000, u"4294967.295"}, // the longest text, 11 characters
        {(1ull << 32) * 10000, u"0.000"},        // 2^32 ms wraps
        {(1ull << 32) * 10000 + 12345678, u"1.234"},
        {~0ull, u"3133608.139"},
    };
    for (const Case& c : cases) {
        OutBuf out;
        const char16_t* got = formatDuration(fixture::field64(c.value).bytes, out.text);
        EXPECT_EQ(got, out.text) << c.value;
        EXPECT_EQ(std::u16string(got), c.want) << c.value;
    }
    // Zero and a missing buffer give constants; the buffer is not written.
    OutBuf out;
    EXPECT_EQ(std::u16string(formatDuration(fixture::field64(0).bytes, out.text)), u"0.000");
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(std::u16string(formatDuration(fixture::field64(0).bytes, nullptr)),
              u"(10: error: outBuf null)");
    EXPECT_EQ(std::u16string(formatDuration(fixture::field64(5).bytes, nullptr)),
              u"(10: error: outBuf null)");
}

TEST(FormatTime, LocalDateAndTimeUnderTheZone) {
    fake::reset();
    struct Case {
        std::int32_t bias;
        std::uint64_t stamp;
        const char16_t* want;
    } cases[] = {
        {0, 132000000001234567ull, u"2019-04-17 18:40:00.123"},
        {-90, 132000000001234567ull, u"2019-04-17 20:10:00.123"}, // UTC + 1:30
        {300, 132000000001234567ull, u"2019-04-17 13:40:00.123"},
        {0, 1, u"1601-01-01 00:00:00.000"},          // only the low half set
        {0, 1ull << 32, u"1601-01-01 00:07:09.496"}, // only the high half set
    };
    for (const Case& c : cases) {
        fake::state().zone.Bias = c.bias;
        OutBuf out;
        const char16_t* got = formatTime(fixture::field64(c.stamp).bytes, out.text);
        EXPECT_EQ(got, out.text);
        EXPECT_EQ(std::u16string(got), c.want) << c.stamp << " bias " << c.bias;
    }
    OutBuf out;
    EXPECT_EQ(std::u16string(formatTime(fixture::field64(0).bytes, out.text)), u"(null)");
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(std::u16string(formatTime(fixture::field64(0).bytes, nullptr)),
              u"(10: error: outBuf null)");
    EXPECT_EQ(std::u16string(formatTime(fixture::field64(1).bytes, nullptr)),
              u"(10: error: outBuf null)");
}

TEST(FormatTime, EachFailingTimeServiceLeavesItsNumberedTextAndCode) {
    struct Case {
        void (*script)(fake::State&);
        std::uint64_t stamp;
        const char16_t* want;
    } cases[] = {
        {[](fake::State& s) { s.fileTimeFails = true; }, 1, u"(20: error 87)"},
        {[](fake::State&) {}, 1ull << 63, u"(20: error 87)"}, // past what can be converted
        {[](fake::State& s) {
             s.zoneFails = true;
             s.zoneError = 4294967295u;
         },
         1, u"(30: error 4294967295)"},
        {[](fake::State& s) {
             s.localTimeFails = true;
             s.localTimeError = 1234;
         },
         1, u"(40: error 1234)"},
    };
    for (const Case& c : cases) {
        fake::reset();
        c.script(fake::state());
        OutBuf out;
        const char16_t* got = formatTime(fixture::field64(c.stamp).bytes, out.text);
        EXPECT_EQ(got, out.text);
        EXPECT_EQ(std::u16string(got), c.want);
    }
    fake::reset();
}

TEST(Names, StatesAndWaitReasonsAreCopiedIntoTheBuffer) {
    struct Case {
        const char16_t* (*name)(std::uint32_t, char16_t*);
        std::uint32_t code;
        const char16_t* want;
    } cases[] = {
        {threadStateName, 0, u"Init"},
        {threadStateName, 5, u"Waiting"},
        {threadStateName, 7, u"Unknown"},
        {threadStateName, 8, u"Default"},
        {threadStateName, 0xFFFFFFFFu, u"Default"},
        {waitReasonName, 0, u"Executive"},
        {waitReasonName, 6, u"UsrRqst"},
        {waitReasonName, 20, u"WrRendezvs"},
        {waitReasonName, 26, u"WrKernel"},
        {waitReasonName, 27, u"MaxWaitRsn"},
        {waitReasonName, 28, u"Default"},
        {waitReasonName, 0xFFFFFFFFu, u"Default"},
    };
    for (const Case& c : cases) {
        OutBuf out;
        const char16_t* got = c.name(c.code, out.text);
        EXPECT_EQ(got, out.text) << c.code;
        EXPECT_EQ(std::u16string(got), c.want) << c.code;
    }
    EXPECT_EQ(std::u16string(threadStateName(1, nullptr)), u"(10: outBuf null)");
    EXPECT_EQ(std::u16string(waitReasonName(1, nullptr)), u"(10: outBuf null)");
}

} // namespace
