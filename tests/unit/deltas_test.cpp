#include "analysis/deltas.h"
#include "tests/fake/fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using namespace ntsnap;

constexpr std::uint64_t second = 10000000; // in 100 ns units
constexpr std::uint64_t t0 = 132000000000000000ull;

TEST(Elapsed, SubtractsWithWrapAround) {
    fixture::Field64 a = fixture::field64(t0), b = fixture::field64(t0 + second);
    EXPECT_EQ(elapsedTime(a.bytes, b.bytes), second);
    // A clock set back wraps to a value close to 2^64.
    EXPECT_EQ(elapsedTime(b.bytes, a.bytes), 0 - second);
    fixture::Field64 k1 = fixture::field64(3), u1 = fixture::field64(4), k2 = fixture::field64(1),
                     u2 = fixture::field64(2);
    EXPECT_EQ(cpuTimeDelta(k1.bytes, u1.bytes, k2.bytes, u2.bytes), 0 - std::uint64_t{4});
    EXPECT_EQ(cpuTimeDelta(k2.bytes, u2.bytes, k1.bytes, u1.bytes), 4u);
}

TEST(CpuShare, NumberedCases) {
    struct Case {
        std::uint64_t cpu;
        std::uint64_t elapsed;
        std::uint8_t cpus;
        std::uint32_t want;
    } cases[] = {
        {2 * second, second, 4, 50}, // 2 s on 4 processors in 1 s
        {second, second, 2, 50},     // one of two processors busy all along
        {second / 2, second, 1, 50},
        {second - 1, second, 1, 99},              // truncated, never rounded
        {second, 0 - second, 2, 0},               // the clock was set back
        {second, 0, 2, 0},                        // no interval: no share, no division by zero
        {second, second, 0, 100},                 // no processor reported: taken as one
        {0 - 4 * second, second, 2, 3214202141u}, // a CPU total that fell wraps, not clamped
        {5 * second, 1, 1, 705032704u},           // only the low 32 bits of the share are kept
        {0, second, 200, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cpuShare(c.cpu, c.elapsed, c.cpus), c.want)
            << c.cpu << " in " << c.elapsed << " on " << int{c.cpus};
    }
}

fixture::Process process(std::uint32_t id, std::uint64_t user, std::uint64_t kernel) {
    fixture::Process p;
    p.processId = id;
    p.name.assign(1, u'p');
    p.userTime = user;
    p.kernelTime = kernel;
    return p;
}

fixture::Thread thread(std::uint32_t id, std::uint64_t kernel, std::uint32_t switches) {
    fixture::Thread t;
    t.threadId = id;
    t.kernelTime = kernel;
    t.contextSwitches = switches;
    return t;
}

// Two readings one second apart on two processors, placed for the delta functions.
struct Readings {
    Block procOld;
    Block procNew;
    Block todOld;
    Block todNew;

    Readings(const std::vector<fixture::Process>& before,
             const std::vector<fixture::Process>& after, std::uint32_t osMajor,
             std::uint64_t newTime = t0 + second)
        : procOld(fixture::place(fixture::processBlock(before, osMajor))),
          procNew(fixture::place(fixture::processBlock(after, osMajor))),
          todOld(fixture::place(fixture::timeOfDay(t0))),
          todNew(fixture::place(fixture::timeOfDay(newTime))) {}
    ~Readings() {
        fixture::release(&procOld);
        fixture::release(&procNew);
        fixture::release(&todOld);
        fixture::release(&todNew);
    }

    const unsigned char* entry(std::uint32_t n) const {
        const unsigned char* e;
        firstProcess(procNew, &e);
        while (n-- > 0) {
            nextProcess(procNew, e, &e);
        }
        return e;
    }
    const unsigned char* thread(std::uint32_t n, std::uint32_t i, std::uint32_t osMajor) const {
        const unsigned char* threads;
        std::uint32_t count;
        threadArray(procNew, entry(n), osMajor, &threads, &count);
        return threads + ThreadRecord::size * i;
    }
};

TEST(ProcDelta, CountersAndShareOfTheFirstNamesake) {
    fixture::Process before = process(10, second, second);
    before.virtualSize = 100000;
    before.workingSetSize = 65536;
    before.pagedPoolUsage = 0;
    before.nonPagedPoolUsage = 0xFFFFFFFFu;
    before.pagefileUsage = 5000;
    before.privatePageCount = 3;
    before.io[0] = 1, before.io[1] = 2, before.io[2] = 3;
    before.io[3] = 4096, before.io[4] = 0, before.io[5] = 100;
    fixture::Process after = process(10, 2 * second, 2 * second); // 2 s in 1 s on 2 processors
    after.virtualSize = 100000 + 4096;
    after.workingSetSize = 65536 - 8192;
    after.pagedPoolUsage = 0xFFFFFFFFu;
    after.nonPagedPoolUsage = 0;
    after.pagefileUsage = 5000 + 1000;
    after.privatePageCount = 3;
    after.io[0] = 1, after.io[1] = 12, after.io[2] = 3;
    after.io[3] = 0, after.io[4] = 0, after.io[5] = 100;
    fixture::Process duplicate = process(10, 0, 0); // a later holder of the same id is ignored

    for (std::uint32_t osMajor : {5u, 4u}) {
        Readings r({process(1, 0, 0), before, duplicate}, {after}, osMajor);
        ProcDelta d;
        ASSERT_EQ(procDelta(&d, r.procOld, r.entry(0), r.todOld, r.todNew, 2, osMajor), 1);
        EXPECT_EQ(d.cpuPercent, 100u);
        EXPECT_EQ(d.vmemDelta, 4096);
        EXPECT_EQ(d.wrksetDelta, -8192);
        EXPECT_EQ(d.pplDelta, -1);
        EXPECT_EQ(d.npplDelta, 1);
        EXPECT_EQ(d.swapDelta, 1000);
        EXPECT_EQ(d.pvtpgsDelta, 0);
        // The I/O block exists on major version 5 only.
        EXPECT_EQ(d.ioOpsDelta, osMajor == 5 ? 10 : 0) << osMajor;
        EXPECT_EQ(d.ioBytesDelta, osMajor == 5 ? -4096 : 0) << osMajor;
    }
}

TEST(ProcDelta, WithoutANamesakeEverythingIsZero) {
    fixture::Process after = process(77, 5 * second, 0);
    after.workingSetSize = 1 << 20;
    after.io[0] = 99;
    Readings r({process(76, 0, 0)}, {after}, 5);
    ProcDelta d;
    d.cpuPercent = 7;
    d.ioOpsDelta = 7;
    EXPECT_EQ(procDelta(&d, r.procOld, r.entry(0), r.todOld, r.todNew, 2, 5), 0);
    EXPECT_EQ(d.cpuPercent, 0u);
    EXPECT_EQ(d.wrksetDelta, 0);
    EXPECT_EQ(d.ioOpsDelta, 0);

    Block empty{nullptr, 0};
    EXPECT_EQ(procDelta(&d, empty, r.entry(0), r.todOld, r.todNew, 2, 5), 0);
}

TEST(ProcDelta, TimeOfDayBlocksTooSmallForTheStampReadAsNoTime) {
    Readings r({process(3, 0, 0)}, {process(3, second, 0)}, 5);
    std::vector<unsigned char> small(15, 0xFF);
    Block tiny{small.data(), 15};
    ProcDelta d;
    // Both stamps read as 0: no interval, so no share, and nothing read past the 15 bytes.
    ASSERT_EQ(procDelta(&d, r.procOld, r.entry(0), tiny, tiny, 2, 5), 1);
    EXPECT_EQ(d.cpuPercent, 0u);
    EXPECT_EQ(read64(currentTimeField(tiny)), 0u);
    EXPECT_EQ(read64(currentTimeField(Block{nullptr, 0})), 0u);
    EXPECT_EQ(read64(currentTimeField(r.todNew)), t0 + second);
}

TEST(ThreadDelta, MatchByIdentifierOrForTheIdleThreadsByPosition) {
    fixture::Process idleBefore = process(0, 0, 0);
    idleBefore.threads = {thread(0, 0, 10), thread(0, second, 20)};
    fixture::Process idleAfter = process(0, 0, 0);
    idleAfter.threads = {thread(0, second, 15), thread(0, second, 20), thread(0, second, 0)};
    fixture::Process workBefore = process(50, 0, 0);
    workBefore.threads = {thread(501, 0, 100), thread(502, second, 100)};
    fixture::Process workAfter = process(50, 0, 0);
    workAfter.threads = {thread(502, 3 * second, 90), thread(503, second, 5),
                         thread(501, second, 101)};
    fixture::Process stranger = process(60, 0, 0);
    stranger.threads = {thread(601, second, 1)};

    struct Case {
        std::uint32_t entry, position;
        int found;
        std::uint32_t cpu;
        std::int32_t ctxs;
    } cases[] = {
        {0, 0, 1, 50, 5},                     // idle threads pair up by position
        {0, 1, 1, 0, 0},     {0, 2, 0, 0, 0}, // a position past the old count
        {1, 0, 1, 100, -10}, // by identifier, wherever it stood; switches that fell
        {1, 1, 0, 0, 0},     // a thread started during the interval
        {1, 2, 1, 50, 1},    {2, 0, 0, 0, 0}, // its owner did not exist before
    };
    for (std::uint32_t osMajor : {4u, 5u}) {
        Readings r({idleBefore, workBefore}, {idleAfter, workAfter, stranger}, osMajor);
        for (const Case& c : cases) {
            ThreadDelta d{99, 99};
            EXPECT_EQ(threadDelta(&d, r.procOld, r.thread(c.entry, c.position, osMajor), c.position,
                                  r.todOld, r.todNew, 2, osMajor),
                      c.found)
                << c.entry << "/" << c.position;
            EXPECT_EQ(d.cpuPercent, c.cpu) << c.entry << "/" << c.position;
            EXPECT_EQ(d.ctxsDelta, c.ctxs) << c.entry << "/" << c.position;
        }
    }

    // Without a thread layout there is nothing to match.
    Readings r({workBefore}, {workAfter}, 5);
    ThreadDelta d;
    EXPECT_EQ(threadDelta(&d, r.procOld, r.thread(0, 2, 5), 2, r.todOld, r.todNew, 2, 6), 0);
    EXPECT_EQ(d.cpuPercent, 0u);
}

TEST(ThreadDelta, ClockSetBackGivesNoShare) {
    fixture::Process before = process(9, 0, 0);
    before.threads = {thread(90, 0, 0)};
    fixture::Process after = process(9, 0, 0);
    after.threads = {thread(90, second, 3)};
    Readings r({before}, {after}, 5, t0 - second);
    ThreadDelta d;
    ASSERT_EQ(threadDelta(&d, r.procOld, r.thread(0, 0, 5), 0, r.todOld, r.todNew, 1, 5), 1);
    EXPECT_EQ(d.cpuPercent, 0u);
    EXPECT_EQ(d.ctxsDelta, 3);
}

} // namespace
