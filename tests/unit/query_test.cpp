#include "run/probe.h"
#include "run/query.h"
#include "tests/fake/fake_platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace ntsnap;

struct Query : ::testing::Test {
    void SetUp() override {
        fake::reset();
        platform::HMODULE library = platform::LoadLibraryW(u"NTDLL.DLL");
        ASSERT_EQ(loadNTFuncs(library), 1);
    }
    void TearDown() override {
        ntQuerySystemInformation = nullptr;
        fake::reset();
    }
    // The most blocks of the query that existed at one time.
    static int mostLiveBlocks() {
        int live = 0;
        int most = 0;
        for (const fake::LogEntry& e : fake::state().log) {
            live += e.event == fake::Event::alloc ? 1 : e.event == fake::Event::release ? -1 : 0;
            most = live > most ? live : most;
        }
        return most;
    }
};

struct CeilingCase {
    std::uint32_t infoClass;
    std::uint32_t firstSize;
    int calls;
    const char* line;
};

TEST_F(Query, ABlockThatIsAlwaysTooSmallEndsAtTheCeiling) {
    const CeilingCase cases[] = {
        {0, 44, 16, "systemInfo, probe 40: buffer too large (2883584), NTSTATUS 0xC0000004L\r\n"},
        {2, 312, 13, "systemInfo, probe 40: buffer too large (2555904), NTSTATUS 0xC0000004L\r\n"},
        {3, 48, 16, "systemInfo, probe 40: buffer too large (3145728), NTSTATUS 0xC0000004L\r\n"},
        {5, 184, 14, "systemInfo, probe 40: buffer too large (3014656), NTSTATUS 0xC0000004L\r\n"},
    };
    for (const CeilingCase& c : cases) {
        SetUp();
        fake::state().queries[c.infoClass].minimumSize = 0xFFFFFFFFu;
        Block slot{nullptr, 0};
        EXPECT_EQ(systemInfo(c.infoClass, &slot, c.firstSize), 0);
        EXPECT_EQ(fake::state().queryCalls[c.infoClass], c.calls) << c.infoClass;
        EXPECT_EQ(fake::state().out, c.line);
        EXPECT_EQ(slot.base, nullptr);
        EXPECT_TRUE(fake::state().live.empty());
        EXPECT_EQ(mostLiveBlocks(), 1);
        const auto& sizes = fake::state().querySizes;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            EXPECT_EQ(sizes[i], c.firstSize << i);
        }
        TearDown();
    }
}

TEST_F(Query, DoublesUntilTheServiceAcceptsTheBlock) {
    fake::state().queries[5].minimumSize = 2097152;
    Block slot{nullptr, 0};
    ASSERT_EQ(systemInfo(5, &slot, 1024), 1);
    EXPECT_EQ(fake::state().queryCalls[5], 12);
    EXPECT_EQ(slot.size, 2097152u);
    EXPECT_EQ(fake::state().live.at(slot.base), 2097152u);
    EXPECT_EQ(fake::state().live.size(), 1u);
    EXPECT_EQ(mostLiveBlocks(), 1);
    EXPECT_EQ(fake::state().out, "");
}

TEST_F(Query, AnAcceptedFirstSizeGivesAZeroFilledBlockOfThatSize) {
    fake::Fixture f;
    f.bytes = {1, 2, 3};
    fake::state().queries[3].fixtures = {f};
    Block slot{nullptr, 0};
    ASSERT_EQ(systemInfo(3, &slot, 48), 1);
    EXPECT_EQ(fake::state().queryCalls[3], 1);
    EXPECT_EQ(slot.size, 48u);
    EXPECT_EQ(slot.base[2], 3);
    for (std::uint32_t i = 3; i < 48; ++i) {
        EXPECT_EQ(slot.base[i], 0) << i;
    }
    platform::LocalFree(slot.base);
}

TEST_F(Query, AnyOtherStatusIsAnErrorPrintedWithoutLeadingZeros) {
    const std::pair<platform::NTSTATUS, const char*> cases[] = {
        {0x102, "systemInfo, probe 30: NTSTATUS 0x102L\r\n"},
        {0x80000005u, "systemInfo, probe 30: NTSTATUS 0x80000005L\r\n"},
        {0xC0000003u, "systemInfo, probe 30: NTSTATUS 0xC0000003L\r\n"},
    };
    for (const auto& [status, line] : cases) {
        SetUp();
        fake::state().queries[2].statuses = {0xC0000004u, status};
        Block slot{nullptr, 0};
        EXPECT_EQ(systemInfo(2, &slot, 312), 0);
        EXPECT_EQ(fake::state().out, line);
        EXPECT_EQ(slot.base, nullptr);
        EXPECT_TRUE(fake::state().live.empty());
        EXPECT_EQ(fake::state().doubleReleases, 0);
        TearDown();
    }
}

TEST_F(Query, AFailedAllocationAfterDoublingLeavesNothingBehind) {
    fake::state().queries[5].minimumSize = 184 * 8;
    fake::state().allocFailsAt = 3;
    fake::state().allocError = 8;
    fake::state().messages[8] = u"Not enough memory resources are available.\r\n";
    Block slot{nullptr, 0};
    EXPECT_EQ(systemInfo(5, &slot, 184), 0);
    // The text's own CR LF passes through the text stream too, so its LF gains a CR.
    EXPECT_EQ(fake::state().out,
              "systemInfo, probe 20: LocalAlloc: (8) Not enough memory resources "
              "are available.\r\r\n\r\n");
    EXPECT_EQ(slot.base, nullptr);
    EXPECT_EQ(fake::state().queryCalls[5], 2);
    EXPECT_TRUE(fake::state().live.empty());
}

TEST_F(Query, AMissingEntryPointLeavesTheSlotAlone) {
    ntQuerySystemInformation = nullptr;
    unsigned char marker = 0;
    Block slot{&marker, 1};
    EXPECT_EQ(systemInfo(0, &slot, 44), 0);
    EXPECT_EQ(fake::state().out, "systemInfo, probe 10: NtQuerySystemInformation not loaded\r\n");
    EXPECT_EQ(slot.base, &marker);
    EXPECT_EQ(fake::state().allocCalls, 0);
}

} // namespace
