// The process and thread reports, run through the whole program on the scripted platform and
// compared byte for byte with the texts under tests/golden. NTSNAP_UPDATE_GOLDEN=1 rewrites those
// texts from the output instead; review the difference before keeping it.
#include "report/process_report.h"
#include "report/thread_report.h"
#include "run/probe.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace ntsnap;

constexpr std::uint64_t second = 10000000;          // in 100 ns units
constexpr std::uint64_t t0 = 132000000000000000ull; // 2019-04-17 18:40:00 UTC

fixture::Thread thread(std::uint32_t id, std::uint64_t kernel, std::uint64_t user,
                       std::uint32_t switches) {
    fixture::Thread t;
    t.threadId = id;
    t.kernelTime = kernel;
    t.userTime = user;
    t.contextSwitches = switches;
    return t;
}

fixture::Process process(std::uint32_t id, const char16_t* name, std::uint64_t user,
                         std::uint64_t kernel) {
    fixture::Process p;
    p.processId = id;
    p.name.assign(name);
    p.userTime = user;
    p.kernelTime = kernel;
    return p;
}

// Two readings of a machine with two processors, one second apart. Between them: the idle
// threads ran; process 200 was replaced by a new holder of its identifier with less CPU time;
// process 1000 shrank its working set by 8 KiB, grew its paged pool by 1000 bytes, lost context
// switches on one thread and started another; process 1500 ended and process 2000 started.
struct Machine {
    std::vector<fixture::Process> before;
    std::vector<fixture::Process> after;
};

Machine busyMachine() {
    Machine m;
    fixture::Process idle = process(0, u"", 0, 5 * second);
    idle.nullName = true;
    idle.threads = {thread(0, 2 * second, 0, 100), thread(0, 3 * second, 0, 200)};
    fixture::Process system = process(4, u"System", 0, 20 * second);
    system.createTime = t0 - 3600 * second;
    system.handleCount = 512;
    system.threads = {thread(8, 20 * second, 0, 5000)};
    fixture::Process service = process(200, u"svchost.exe", 50 * second, 10 * second);
    service.threads = {thread(204, 60 * second, 0, 70)};
    fixture::Process app = process(1000, u"a-name-longer-than-15.exe", 3 * second, second);
    app.parentProcessId = 200;
    app.createTime = t0 - 60 * second + 1234567;
    app.handleCount = 77;
    app.pageFaultCount = 4321;
    app.peakVirtualSize = 64 << 20;
    app.virtualSize = 60 << 20;
    app.peakWorkingSetSize = 12 << 20;
    app.workingSetSize = 10 << 20;
    app.peakPagedPoolUsage = 90000;
    app.pagedPoolUsage = 80000;
    app.peakNonPagedPoolUsage = 9000;
    app.nonPagedPoolUsage = 8000;
    app.peakPagefileUsage = 9 << 20;
    app.pagefileUsage = 8 << 20;
    app.privatePageCount = 8 << 20;
    app.io[0] = 100, app.io[1] = 50, app.io[2] = 7;
    app.io[3] = 1 << 20, app.io[4] = 1 << 19, app.io[5] = 4096;
    app.threads = {thread(1001, second, 2 * second, 900), thread(1002, 0, 0, 10)};
    fixture::Process ended = process(1500, u"ended.exe", second, second);
    ended.threads = {thread(1501, second, second, 1)};
    fixture::Process nameless = process(300, u"", 0, 0);
    nameless.nullName = true;
    nameless.parentProcessId = 4;
    nameless.threads = {thread(301, 0, 0, 3)};
    m.before = {idle, system, service, app, ended, nameless};

    // The idle threads used half and nine tenths of a second; a third one has no namesake.
    idle.kernelTime = 6 * second + second / 2;
    idle.threads = {thread(0, 2 * second + second / 2, 0, 150),
                    thread(0, 3 * second + 9 * second / 10, 0, 260), thread(0, second, 0, 1)};
    system.threads[0].kernelTime = 20 * second + 1;
    system.threads[0].threadState = 7; // the last state of the table
    system.threads[0].waitReason = 27; // the last wait reason of the table
    system.threads[0].startAddress = 0x8054B6A0u;
    system.threads[0].priority = 16;
    system.threads[0].waitTime = 123456;
    fixture::Process reused = process(200, u"svchost.exe", 10 * second, 0);
    reused.createTime = t0 + second / 2;
    reused.threads = {thread(204, 10 * second, 0, 2)};
    reused.threads[0].threadState = 8; // past the end of both tables
    reused.threads[0].waitReason = 28;
    reused.threads[0].startAddress = 0x77E878C1u;
    app.userTime = 4 * second + second / 2; // 2 s of CPU in 1 s on 2 processors
    app.kernelTime = second + second / 2;
    app.virtualSize += 4096;
    app.workingSetSize -= 8192;
    app.pagedPoolUsage += 1000;
    app.pageFaultCount += 10;
    app.io[0] = 110, app.io[1] = 51, app.io[2] = 7;
    app.io[3] = (1 << 20) + 8192, app.io[4] = (1 << 19) + 1000, app.io[5] = 4096;
    app.threads[0].userTime = 3 * second; // one processor busy all along
    app.threads[0].contextSwitches = 850; // fewer than before
    app.threads[0].createTime = t0 - 60 * second + 1234567;
    app.threads[0].startAddress = 0;
    app.threads[1].contextSwitches = 13;
    app.threads[1].threadState = 2;
    app.threads[1].waitReason = 0;
    app.threads[1].startAddress = 0x00401000u;
    fixture::Thread started = thread(1003, second / 10, 0, 4);
    started.createTime = 1ull << 63; // a stamp the time services refuse
    started.threadState = 0xFFFFFFFFu;
    started.waitReason = 0xFFFFFFFFu;
    app.threads.push_back(started);
    // A thread that names another owner is matched among that owner's old threads.
    fixture::Thread stray = thread(1001, 0, 3 * second + second / 2, 905);
    stray.ownerProcessId = 1000;
    nameless.threads.push_back(stray);
    fixture::Process fresh = process(2000, u"new.exe", second / 2, 0);
    fresh.createTime = t0 + second / 4;
    fresh.parentProcessId = 1000;
    fresh.workingSetSize = 1 << 20;
    fresh.io[0] = 3;
    m.after = {idle, system, reused, app, nameless, fresh};
    return m;
}

void script(const Machine& m, std::uint32_t osMajor, std::uint8_t cpus, std::uint64_t newTime) {
    fake::reset();
    auto& s = fake::state();
    s.majorVersion = osMajor;
    s.queries[0].fixtures = {fixture::basicInfo(cpus)};
    s.queries[2].fixtures = {fake::Fixture{}};
    s.queries[5].fixtures = {fixture::processBlock(m.before, osMajor),
                             fixture::processBlock(m.after, osMajor)};
    // The query grows its block until the larger table fits, as the real service makes it.
    for (const fake::Fixture& f : s.queries[5].fixtures) {
        s.queries[5].minimumSize =
            std::max(s.queries[5].minimumSize, static_cast<std::uint32_t>(f.bytes.size()));
    }
    s.queries[3].fixtures = {fixture::timeOfDay(t0), fixture::timeOfDay(newTime)};
}

int run(std::vector<const char*> args) {
    args.insert(args.begin(), "ntsnap");
    return ntsnapMain(static_cast<int>(args.size()), args.data());
}

std::vector<std::string> lines(const std::string& out) {
    std::vector<std::string> result;
    std::size_t at = 0;
    while (at < out.size()) {
        std::size_t end = out.find("\r\n", at);
        if (end == std::string::npos) {
            result.push_back(out.substr(at));
            break;
        }
        result.push_back(out.substr(at, end - at));
        at = end + 2;
    }
    return result;
}

void expectGolden(const std::string& name, const std::string& out) {
    std::string path = std::string(NTSNAP_GOLDEN_DIR) + "/" + name;
    const char* update = std::getenv("NTSNAP_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        std::ofstream(path, std::ios::binary) << out;
    }
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file) << path;
    std::string want((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(out, want) << "differs from " << path;
}

// What holds for every report whatever the fixture: CR LF line ends only, and the widths of the
// separators and headers.
void expectFrame(const std::string& out, std::size_t processHeaderWidth) {
    EXPECT_EQ(out.find('\n'), out.find("\r\n") + 1);
    for (std::size_t at = out.find('\n'); at != std::string::npos; at = out.find('\n', at + 1)) {
        ASSERT_EQ(out[at - 1], '\r') << "at byte " << at;
    }
    for (const std::string& line : lines(out)) {
        if (line.rfind("====", 0) == 0) {
            EXPECT_TRUE(line == std::string(350, '=') || line == std::string(133, '=')) << line;
        } else if (line.rfind("CMD ", 0) == 0) {
            EXPECT_EQ(line.size(), processHeaderWidth);
        } else if (line.rfind("     TID ", 0) == 0) {
            EXPECT_EQ(line, "     TID STATE       WAITREASON                   CREATED     USRTIME "
                            "   KRNLTIME %CPU   PRI BSPRI   STRTADDR WAITTIME     CTXS \xB1"
                            "CTXS");
        }
    }
}

TEST(Reports, MajorVersion5BothReportsThroughMain) {
    script(busyMachine(), 5, 2, t0 + second);
    fake::state().zone.Bias = -60; // UTC + 1
    EXPECT_EQ(run({}), 0);
    expectFrame(fake::state().out, 350);
    expectGolden("v5_both.txt", fake::state().out);
    EXPECT_EQ(fake::state().doubleReleases, 0);
    EXPECT_TRUE(fake::state().live.empty());
}

TEST(Reports, MajorVersion4HasNoIoColumns) {
    script(busyMachine(), 4, 4, t0 + second);
    EXPECT_EQ(run({"/t", "/P"}), 0);
    expectFrame(fake::state().out, 276);
    expectGolden("v4_both.txt", fake::state().out);
}

// A version with no known thread layout: the process table is written, the thread tables fail
// without a line. The clock was also set back during the interval, so no process shows a share.
TEST(Reports, UnknownMajorVersionFailsTheThreadReportAfterTheProcessReport) {
    script(busyMachine(), 6, 2, t0 - second);
    EXPECT_EQ(run({}), -1);
    expectFrame(fake::state().out, 276);
    expectGolden("v6_procs_then_fail.txt", fake::state().out);
    EXPECT_TRUE(fake::state().live.empty());

    script(busyMachine(), 6, 2, t0 - second);
    EXPECT_EQ(run({"/p"}), 0);
}

TEST(Reports, AFirstProcessWithoutThreadsMeansNoThreadTablesAtAll) {
    Machine m = busyMachine();
    m.after[0].threads.clear();
    for (std::uint32_t osMajor : {5u, 6u}) {
        script(m, osMajor, 2, t0 + second);
        EXPECT_EQ(run({"/t"}), 0) << osMajor;
        EXPECT_EQ(fake::state().out, "") << osMajor;
    }
}

TEST(Reports, TheIdleProcessIsNamedInTheThreadReportAlone) {
    Machine m = busyMachine();
    script(m, 5, 2, t0 + second);
    EXPECT_EQ(run({"/t"}), 0);
    EXPECT_NE(fake::state().out.find("PID:0(Idle)  THRDS:3  USR:0.000  KRNL:6.500\r\n"),
              std::string::npos);
}

// A table cut short by the end of its block: the reports list what lies inside it, and the
// thread counts are those of the threads listed.
TEST(Reports, ATableCutShortByItsBlockIsListedAsFarAsItReaches) {
    fixture::Process first = process(1, u"first", 0, 0);
    first.threads = {thread(11, 0, 0, 0), thread(12, 0, 0, 0)};
    fixture::Process second = process(2, u"second", 0, 0);
    second.threads = {thread(21, 0, 0, 0), thread(22, 0, 0, 0), thread(23, 0, 0, 0)};
    fake::Fixture whole = fixture::processBlock({first, second}, 5);
    const std::uint32_t secondAt = read32(whole.bytes.data() + ProcessRecord::nextEntryOffset);
    Block tod = fixture::place(fixture::timeOfDay(t0));

    struct Case {
        std::uint32_t size;
        std::size_t processRows;
        const char* secondThreads;
    } cases[] = {
        {secondAt + 184 + 64 + 10, 2, "PID:2((null))  THRDS:1  "}, // one thread and no name fit
        {secondAt + 150, 1, nullptr}, // its I/O block does not fit: the table ends before it
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::Fixture cut = whole;
        cut.bytes.resize(c.size);
        cut.relocations.pop_back();
        Block oldBlock = fixture::place(cut);
        Block newBlock = fixture::place(cut);
        ASSERT_EQ(writeProcInfo(oldBlock, newBlock, tod, tod, 1, 5), 1);
        ASSERT_EQ(writeThreadInfo(oldBlock, newBlock, tod, tod, 1, 5), 1);
        std::vector<std::string> out = lines(fake::state().out);
        ASSERT_GE(out.size(), 5 + c.processRows);
        EXPECT_EQ(out[4].substr(0, 34), "first               1     0     2 ");
        EXPECT_EQ(out[4 + c.processRows], "");
        if (c.processRows == 2) {
            EXPECT_EQ(out[5].substr(0, 34), "(null)              2     0     1 ");
        }
        const std::string& all = fake::state().out;
        EXPECT_NE(all.find("PID:1(first)  THRDS:2  "), std::string::npos);
        if (c.secondThreads != nullptr) {
            EXPECT_NE(all.find(c.secondThreads), std::string::npos);
            EXPECT_NE(all.find("\r\n      21 Waiting"), std::string::npos);
            EXPECT_EQ(all.find("      22 Waiting"), std::string::npos);
        } else {
            EXPECT_EQ(all.find("PID:2"), std::string::npos);
        }
        fixture::release(&oldBlock);
        fixture::release(&newBlock);
    }
    fixture::release(&tod);
}

TEST(Reports, EmptySlotsPrintTheirProbeLine) {
    fake::reset();
    Block block = fixture::place(fixture::processBlock({process(1, u"one", 0, 0)}, 5));
    Block tod = fixture::place(fixture::timeOfDay(t0));
    Block empty{nullptr, 0};
    struct Case {
        int (*writer)(const Block&, Block&, const Block&, const Block&, std::uint8_t,
                      std::uint32_t);
        bool oldEmpty;
        const char* want;
    } cases[] = {
        {writeProcInfo, true, "writeProcInfo, probe 10: pProcOld 0x00000000\r\n"},
        {writeProcInfo, false, "writeProcInfo, probe 20: pProcNew 0x00000000\r\n"},
        {writeThreadInfo, true, "writeThreadInfo, probe 10: pProcOld 0x00000000\r\n"},
        {writeThreadInfo, false, "writeThreadInfo, probe 20: pProcNew 0x00000000\r\n"},
    };
    for (const Case& c : cases) {
        fake::state().out.clear();
        Block newBlock = c.oldEmpty ? block : empty;
        EXPECT_EQ(c.writer(c.oldEmpty ? empty : block, newBlock, tod, tod, 1, 5), 0);
        EXPECT_EQ(fake::state().out, c.want);
    }
    fixture::release(&block);
    fixture::release(&tod);
}

} // namespace
