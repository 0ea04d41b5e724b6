#include "report/print.h"
#include "report/wide_format.h"
#include "tests/fake/fake_platform.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

namespace {

std::u16string format(const char16_t* fmt, ...) {
    char16_t buffer[256];
    std::va_list args;
    va_start(args, fmt);
    ntsnap::formatWideToBuffer(buffer, 256, fmt, args);
    va_end(args);
    return buffer;
}

struct FormatCase {
    std::u16string got;
    std::u16string want;
};

TEST(WideFormat, Conversions) {
    const FormatCase cases[] = {
        {format(u"%5lu|%-5lu|", 42u, 42u), u"   42|42   |"},
        {format(u"%+5ld|%+5ld|%+5ld", 0, -8, 12345), u"   +0|   -8|+12345"},
        {format(u"%8I64u", 1ull << 40), u"1099511627776"},
        {format(u"%+5I64d|%I64d", -3ll, -9223372036854775807ll - 1), u"   -3|-9223372036854775808"},
        {format(u"%10p|%-10p|%p", 0x1234ABu, 0u, 0xFFFFFFFFu), u"  001234AB|00000000  |FFFFFFFF"},
        {format(u"0x%XL", 0xC0000004u), u"0xC0000004L"},
        {format(u"0x%XL|%x", 0x102u, 255u), u"0x102L|ff"},
        {format(u"%04u-%02u-%02u %03u", 1601u, 1u, 2u, 7u), u"1601-01-02 007"},
        {format(u"%lu.%03lu", 4294967u, 295u), u"4294967.295"},
        {format(u"%-15s|%5s|%s", u"Idle", u"toolongname", nullptr),
         u"Idle           |toolongname|(null)"},
        {format(u"%-15s|", u"a-very-long-image-name"), u"a-very-long-image-name|"},
        {format(u"%23s", nullptr), u"                 (null)"},
        {format(u"%.2s|%c|%%|%5.3u", u"abc", 'z', 7u), u"ab|z|%|  007"},
        {format(u"%d|%i|%u", -1, 2147483647, 4294967295u), u"-1|2147483647|4294967295"},
        {format(u"%hu|%ld", 65537u, -5), u"1|-5"},
        {format(u"%*d|%-*d|", 4, 7, 3, 1), u"   7|1  |"},
        {format(u"100%"), u"100"},
        {format(u"%q%5lu", 3u), u"%q    3"},
        {format(u"%4s", u"%CPU"), u"%CPU"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.want);
    }
}

TEST(WideFormat, BufferKeepsItsCapacity) {
    char16_t buffer[8];
    for (auto& c : buffer) {
        c = u'#';
    }
    auto put = [&](const char16_t* fmt, ...) {
        std::va_list args;
        va_start(args, fmt);
        int n = ntsnap::formatWideToBuffer(buffer, 5, fmt, args);
        va_end(args);
        return n;
    };
    EXPECT_EQ(put(u"%s", u"abcdefgh"), 4);
    EXPECT_EQ(std::u16string(buffer), u"abcd");
    EXPECT_EQ(buffer[5], u'#');
}

TEST(WideFormat, WsprintfOfThePlatformUsesTheSameEngine) {
    char16_t out[60];
    int n = platform::wsprintfW(out, u"%04u-%02u", 2024u, 3u);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(std::u16string(out), u"2024-03");
}

TEST(Print, OneBytePerCharacterAndCrLfLineEnds) {
    fake::reset();
    ntsnap::print(u"%7s|%s\n", u"\u00B1CTXS", u"\u20AC\u00FF");
    EXPECT_EQ(fake::state().out, std::string("  \xB1"
                                             "CTXS|?\xFF\r\n"));
}

TEST(Print, LongOutputArrivesWholeInOrder) {
    fake::reset();
    std::u16string longName(5000, u'x');
    longName[4999] = u'y';
    ntsnap::print(u"[%s]\n\n", longName.c_str());
    const std::string& out = fake::state().out;
    ASSERT_EQ(out.size(), 5000u + 2 + 4);
    EXPECT_EQ(out.substr(0, 2), "[x");
    EXPECT_EQ(out.substr(4999, 7), "xy]\r\n\r\n");
}

} // namespace
