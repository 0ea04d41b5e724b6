#include "run/probe.h"
#include "run/query.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace ntsnap;

void scriptHealthyMachine() {
    auto& s = fake::state();
    s.queries[0].fixtures = {fixture::basicInfo(2)};
    s.queries[2].fixtures = {fake::Fixture{}};
    fixture::Process idle;
    idle.nullName = true;
    idle.threads.resize(2);
    fixture::Process shell;
    shell.processId = 42;
    shell.name = u"sh";
    shell.threads.resize(1);
    shell.threads[0].threadId = 42;
    s.queries[5].fixtures = {fixture::processBlock({idle, shell}, 5)};
    s.queries[3].fixtures = {fixture::timeOfDay(132000000000000000ull),
                             fixture::timeOfDay(132000000010000000ull)};
}

int run(std::vector<const char*> args) {
    args.insert(args.begin(), "ntsnap");
    return ntsnapMain(static_cast<int>(args.size()), args.data());
}

// The order in which blocks were released, as the classes they were read for.
std::vector<std::string> releaseOrder() {
    std::vector<std::string> names;
    std::vector<std::pair<const void*, std::string>> owners;
    const char* allocOrder[] = {"basicInfo", "perfOld", "procOld", "todOld",
                                "perfNew",   "procNew", "todNew"};
    std::size_t n = 0;
    for (const fake::LogEntry& e : fake::state().log) {
        if (e.event == fake::Event::alloc && n < 7) {
            owners.emplace_back(e.block, allocOrder[n++]);
        } else if (e.event == fake::Event::freeLibrary) {
            names.push_back("library");
        } else if (e.event == fake::Event::release) {
            for (auto& [block, name] : owners) {
                if (block == e.block) {
                    names.push_back(name);
                }
            }
        }
    }
    return names;
}

struct Run : ::testing::Test {
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
};

TEST(Options, OnlyTheFourExactSpellingsMatch) {
    struct Case {
        std::vector<const char*> args;
        std::uint32_t procs;
        std::uint32_t threads;
    };
    const Case cases[] = {
        {{}, 1, 1},           {{"/t"}, 0, 1},
        {{"/T"}, 0, 1},       {{"/p"}, 1, 0},
        {{"/p", "/t"}, 1, 1}, {{"/T", "/P"}, 1, 1},
        {{"/x"}, 1, 1},       {{"/x", "/p"}, 1, 0},
        {{"/p", "/p"}, 1, 0}, {{"/pt"}, 1, 1},
        {{"-p"}, 1, 1},       {{"/procs"}, 1, 1},
        {{"/p "}, 1, 1},      {{"", "/t", "junk"}, 0, 1},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = c.args;
        argv.insert(argv.begin(), "ntsnap");
        Switches s{7, 7};
        EXPECT_EQ(parseOptions(static_cast<int>(argv.size()), argv.data(), &s), 1);
        EXPECT_EQ(s.showProcs, c.procs) << (c.args.empty() ? "(none)" : c.args[0]);
        EXPECT_EQ(s.showThreads, c.threads) << (c.args.empty() ? "(none)" : c.args[0]);
    }
}

TEST_F(Run, AHealthyRunTakesTwoReadingsAndReleasesEverythingInOrder) {
    scriptHealthyMachine();
    EXPECT_EQ(run({}), 0);
    auto& s = fake::state();
    EXPECT_EQ(s.sleeps, 1);
    EXPECT_EQ(s.queryCalls[0], 1);
    EXPECT_EQ(s.queryCalls[2], 2);
    EXPECT_EQ(s.queryCalls[5], 2);
    EXPECT_EQ(s.queryCalls[3], 2);
    EXPECT_EQ(s.querySizes, std::vector<std::uint32_t>({44, 312, 184, 48, 312, 184, 48}));
    EXPECT_EQ(releaseOrder(),
              std::vector<std::string>({"library", "basicInfo", "perfOld", "perfNew", "procOld",
                                        "procNew", "todOld", "todNew"}));
    EXPECT_TRUE(s.live.empty());
    EXPECT_EQ(s.doubleReleases, 0);
    EXPECT_EQ(ntQuerySystemInformation, nullptr);
}

struct ProbeCase {
    const char* name;
    void (*script)();
    const char* line;
};

TEST_F(Run, EachFailingProbePrintsItsLineAndTheRunEndsWithMinusOne) {
    const ProbeCase cases[] = {
        {"version call fails",
         [] {
             fake::state().versionFails = true;
             fake::state().versionError = 5;
             fake::state().messages[5] = u"Access is denied.\r\n";
         },
         "systemVer, probe 10: (5) Access is denied.\r\r\n\r\n"},
        {"not of the NT family", [] { fake::state().platformId = 1; },
         "systemVer, probe 20: sorry, your operating system is not supported\r\n"},
        {"library missing",
         [] {
             fake::state().libraryFails = true;
             fake::state().messages[126] = u"The specified module could not be found.\r\n";
         },
         "loadNTLib, probe 10: NTDLL.DLL: (126) The specified module could not be "
         "found.\r\r\n\r\n"},
        {"entry point missing, no message text", [] { fake::state().entryPointFails = true; },
         "loadNTFuncs, probe 10: NtQuerySystemInformation: (127) (null)\r\n"},
        {"basic class refused", [] { fake::state().queries.erase(0); },
         "systemInfo, probe 30: NTSTATUS 0xC0000003L\r\n"},
        {"process class always too small",
         [] { fake::state().queries[5].minimumSize = 0xFFFFFFFFu; },
         "systemInfo, probe 40: buffer too large (3014656), NTSTATUS 0xC0000004L\r\n"},
    };
    for (const ProbeCase& c : cases) {
        fake::reset();
        scriptHealthyMachine();
        c.script();
        EXPECT_EQ(run({}), -1) << c.name;
        EXPECT_EQ(fake::state().out, c.line) << c.name;
        EXPECT_TRUE(fake::state().live.empty()) << c.name;
        EXPECT_EQ(fake::state().doubleReleases, 0) << c.name;
        EXPECT_EQ(fake::state().libraryLoads, fake::state().libraryReleases) << c.name;
    }
}

TEST_F(Run, APlatformOutsideTheNTFamilyLoadsNothingAndReadsNothing) {
    scriptHealthyMachine();
    fake::state().platformId = 1;
    EXPECT_EQ(run({"/p"}), -1);
    EXPECT_EQ(fake::state().libraryLoads, 0);
    EXPECT_TRUE(fake::state().querySizes.empty());
    EXPECT_EQ(fake::state().allocCalls, 0);
}

// A failure at any of the seven allocations leaves every block released exactly once.
TEST_F(Run, AFailingReadingReleasesWhatIsHeldOnce) {
    for (int failAt = 1; failAt <= 7; ++failAt) {
        fake::reset();
        scriptHealthyMachine();
        fake::state().allocFailsAt = failAt;
        EXPECT_EQ(run({}), -1) << failAt;
        auto& s = fake::state();
        EXPECT_EQ(s.out, "systemInfo, probe 20: LocalAlloc: (8) (null)\r\n") << failAt;
        EXPECT_TRUE(s.live.empty()) << failAt;
        EXPECT_EQ(s.doubleReleases, 0) << failAt;
        EXPECT_EQ(s.libraryReleases, 1) << failAt;
        EXPECT_EQ(s.sleeps, failAt > 4 ? 1 : 0) << failAt;
        std::size_t released = 0;
        for (const fake::LogEntry& e : s.log) {
            released += e.event == fake::Event::release;
        }
        EXPECT_EQ(released, static_cast<std::size_t>(failAt - 1)) << failAt;
    }
}

TEST_F(Run, AFailureInTheSecondReadingStillReleasesTheFirst) {
    scriptHealthyMachine();
    fake::state().queries[5].statuses = {0, 0xC0000001u};
    EXPECT_EQ(run({"/t"}), -1);
    EXPECT_EQ(fake::state().out, "systemInfo, probe 30: NTSTATUS 0xC0000001L\r\n");
    // The refused block goes at once; main then releases what the run holds, in its order.
    EXPECT_EQ(releaseOrder(),
              std::vector<std::string>(
                  {"procNew", "library", "basicInfo", "perfOld", "perfNew", "procOld", "todOld"}));
    EXPECT_TRUE(fake::state().live.empty());
}

} // namespace
