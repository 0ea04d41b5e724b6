// The process class of the Linux native query against processes and threads that the tests start
// themselves.
#include "platform/platform.h"
#include "snapshot/records.h"
#include "tests/linux/real_machine.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using realmachine::Child;
using realmachine::Reading;
namespace PR = ntsnap::ProcessRecord;
namespace TR = ntsnap::ThreadRecord;
namespace IO = ntsnap::IoCounterBlock;

void* sleepForever(void*) {
    for (;;) {
        pause();
    }
    return nullptr;
}

// In a child: start `extra` sleeping threads.
void startThreads(int extra) {
    for (int i = 0; i < extra; ++i) {
        pthread_t id;
        if (pthread_create(&id, nullptr, sleepForever, nullptr) != 0) {
            _exit(3);
        }
    }
}

[[noreturn]] void sleepUntilKilled() {
    for (;;) {
        pause();
    }
}

std::uint64_t cpuTime(const unsigned char* entry) {
    return ntsnap::read64(entry + PR::userTime) + ntsnap::read64(entry + PR::kernelTime);
}

void burnMilliseconds(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    volatile std::uint64_t x = 0;
    while (std::chrono::steady_clock::now() < end) {
        x = x + 1;
    }
}

TEST(ProcessTable, ChildWithExtraThreadsHasOneRecordPerTaskAndItsParent) {
    for (int extra : {0, 1, 7}) {
        Child child([extra] {
            startThreads(extra);
            Child::ready();
            sleepUntilKilled();
        });
        Reading reading;
        ASSERT_EQ(reading.status(), platform::STATUS_SUCCESS);
        const unsigned char* entry = reading.process(static_cast<std::uint32_t>(child.pid()));
        ASSERT_NE(entry, nullptr) << extra;
        EXPECT_EQ(ntsnap::read32(entry + PR::threadCount), static_cast<std::uint32_t>(extra + 1));
        EXPECT_EQ(reading.threadIds(child.pid()), realmachine::tasksOf(child.pid()));
        EXPECT_EQ(ntsnap::read32(entry + PR::parentProcessId),
                  static_cast<std::uint32_t>(getpid()));
        const unsigned char* main = reading.thread(child.pid(), child.pid());
        ASSERT_NE(main, nullptr);
        EXPECT_EQ(ntsnap::read32(main + TR::ownerProcessId),
                  static_cast<std::uint32_t>(child.pid()));
        EXPECT_EQ(realmachine::checkLayout(reading.block()), "");
    }
}

TEST(ProcessTable, BusyChildGainsCpuTimeAndSleepingChildDoesNot) {
    Child busy([] {
        Child::ready();
        for (;;) {
            burnMilliseconds(1000);
        }
    });
    Child asleep([] {
        Child::ready();
        sleepUntilKilled();
    });
    Reading before;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    Reading after;
    const auto busyPid = static_cast<std::uint32_t>(busy.pid());
    const auto asleepPid = static_cast<std::uint32_t>(asleep.pid());
    ASSERT_NE(before.process(busyPid), nullptr);
    ASSERT_NE(after.process(busyPid), nullptr);
    // 400 ms of spinning is at least 10 clock ticks even on a loaded machine with two processors.
    EXPECT_GE(cpuTime(after.process(busyPid)) - cpuTime(before.process(busyPid)), 1000000u);
    const unsigned char* thread = after.thread(busyPid, busyPid);
    ASSERT_NE(thread, nullptr);
    EXPECT_GT(ntsnap::read64(thread + TR::userTime), 0u);
    ASSERT_NE(after.process(asleepPid), nullptr);
    EXPECT_EQ(cpuTime(after.process(asleepPid)), cpuTime(before.process(asleepPid)));
}

TEST(ProcessTable, NamesComeThroughWhole) {
    for (const char* name : {"a (b) c", "x) y (z", "plain", "tab\tand ))"}) {
        Child child([name] {
            prctl(PR_SET_NAME, name);
            Child::ready();
            sleepUntilKilled();
        });
        Reading reading;
        std::u16string expected;
        for (const char* p = name; *p != 0; ++p) {
            expected += static_cast<char16_t>(*p);
        }
        EXPECT_EQ(reading.name(static_cast<std::uint32_t>(child.pid())), expected) << name;
    }
}

TEST(ProcessTable, WritingChildShowsItsIoCountersGrow) {
    char path[] = "/tmp/ntsnap_io_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    Child writer([fd] {
        Child::ready();
        Child::awaitCommand();
        static char chunk[4096];
        for (int i = 0; i < 16; ++i) {
            if (write(fd, chunk, sizeof chunk) != static_cast<ssize_t>(sizeof chunk)) {
                _exit(4);
            }
        }
        Child::ready();
        sleepUntilKilled();
    });
    const auto pid = static_cast<std::uint32_t>(writer.pid());
    Reading before;
    writer.command();
    // The child says when it is done through its ready pipe, which start() already consumed:
    // wait for the file to reach its size instead.
    for (int i = 0; i < 200 && lseek(fd, 0, SEEK_END) < 65536; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Reading after;
    close(fd);
    unlink(path);
    const unsigned char* ioBefore = ntsnap::ioCounters(before.block(), before.process(pid), 5);
    const unsigned char* ioAfter = ntsnap::ioCounters(after.block(), after.process(pid), 5);
    ASSERT_NE(ioBefore, nullptr);
    ASSERT_NE(ioAfter, nullptr);
    EXPECT_GE(ntsnap::read64(ioAfter + IO::writeTransferCount) -
                  ntsnap::read64(ioBefore + IO::writeTransferCount),
              65536u);
    EXPECT_GE(ntsnap::read64(ioAfter + IO::writeOperationCount) -
                  ntsnap::read64(ioBefore + IO::writeOperationCount),
              16u);
}

void* napLoop(void*) {
    for (;;) {
        usleep(1000);
    }
    return nullptr;
}

TEST(ProcessTable, SleepingAndWakingThreadGainsContextSwitches) {
    Child child([] {
        pthread_t id;
        pthread_create(&id, nullptr, napLoop, nullptr);
        Child::ready();
        sleepUntilKilled();
    });
    const auto pid = static_cast<std::uint32_t>(child.pid());
    std::set<std::uint32_t> tasks;
    while ((tasks = realmachine::tasksOf(child.pid())).size() < 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::uint32_t napper = *tasks.rbegin();
    Reading before;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Reading after;
    ASSERT_NE(before.thread(pid, napper), nullptr);
    ASSERT_NE(after.thread(pid, napper), nullptr);
    const std::uint32_t grown = ntsnap::read32(after.thread(pid, napper) + TR::contextSwitches) -
                                ntsnap::read32(before.thread(pid, napper) + TR::contextSwitches);
    EXPECT_GE(grown, 20u);
    // The main thread sleeps throughout.
    EXPECT_EQ(ntsnap::read32(after.thread(pid, pid) + TR::contextSwitches),
              ntsnap::read32(before.thread(pid, pid) + TR::contextSwitches));
    EXPECT_EQ(ntsnap::read32(after.thread(pid, pid) + TR::threadState), 5u);
    EXPECT_EQ(ntsnap::read32(after.thread(pid, pid) + TR::waitReason), 6u);
}

TEST(ProcessTable, PriorityFollowsNiceAndPolicy) {
    struct Case {
        int nice;
        int policy;
        std::uint32_t expected;
    };
    const Case cases[] = {{0, SCHED_OTHER, 8},  {5, SCHED_OTHER, 6},    {10, SCHED_OTHER, 4},
                          {19, SCHED_OTHER, 1}, {-20, SCHED_OTHER, 15}, {0, SCHED_BATCH, 8},
                          {0, SCHED_IDLE, 1}};
    for (const Case& c : cases) {
        if (c.nice < 0 && geteuid() != 0) {
            continue; // raising a priority needs privilege
        }
        Child child([c] {
            if (setpriority(PRIO_PROCESS, 0, c.nice) != 0) {
                _exit(5);
            }
            sched_param param{};
            if (sched_setscheduler(0, c.policy, &param) != 0) {
                _exit(6);
            }
            Child::ready();
            sleepUntilKilled();
        });
        Reading reading;
        const auto pid = static_cast<std::uint32_t>(child.pid());
        ASSERT_NE(reading.process(pid), nullptr);
        EXPECT_EQ(ntsnap::read32(reading.process(pid) + PR::basePriority), c.expected)
            << "nice " << c.nice << " policy " << c.policy;
        EXPECT_EQ(ntsnap::read32(reading.thread(pid, pid) + TR::basePriority), c.expected);
        EXPECT_EQ(ntsnap::read32(reading.thread(pid, pid) + TR::priority), c.expected);
    }
}

TEST(ProcessTable, MemoryOfAChildThatTouchesItsPages) {
    constexpr std::size_t bytes = 32 << 20;
    Child child([] {
        static char* volatile memory = nullptr;
        memory = static_cast<char*>(std::malloc(bytes));
        for (std::size_t i = 0; i < bytes; i += 4096) {
            memory[i] = 1;
        }
        Child::ready();
        sleepUntilKilled();
    });
    Reading reading;
    const unsigned char* entry = reading.process(static_cast<std::uint32_t>(child.pid()));
    ASSERT_NE(entry, nullptr);
    EXPECT_GE(ntsnap::read32(entry + PR::workingSetSize), bytes);
    EXPECT_GE(ntsnap::read32(entry + PR::peakWorkingSetSize),
              ntsnap::read32(entry + PR::workingSetSize));
    EXPECT_GE(ntsnap::read32(entry + PR::virtualSize), bytes);
    EXPECT_GE(ntsnap::read32(entry + PR::peakVirtualSize), ntsnap::read32(entry + PR::virtualSize));
    EXPECT_GE(ntsnap::read32(entry + PR::privatePageCount), bytes);
    EXPECT_GE(ntsnap::read32(entry + PR::pageFaultCount), bytes / 4096 / 2);
    EXPECT_GE(ntsnap::read32(entry + PR::handleCount), 3u);
    // Pools have no counterpart here.
    EXPECT_EQ(ntsnap::read32(entry + PR::pagedPoolUsage), 0u);
    EXPECT_EQ(ntsnap::read32(entry + PR::nonPagedPoolUsage), 0u);
}

TEST(ProcessTable, SizesBeyondFourGigabytesSaturate) {
    Child child([] {
        // Address space only: nothing is touched, so nothing is used.
        void* reserved = mmap(nullptr, std::size_t{5} << 30, PROT_NONE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (reserved == MAP_FAILED) {
            _exit(11);
        }
        Child::ready();
        sleepUntilKilled();
    });
    Reading reading;
    const unsigned char* entry = reading.process(static_cast<std::uint32_t>(child.pid()));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(ntsnap::read32(entry + PR::virtualSize), 0xFFFFFFFFu);
    EXPECT_EQ(ntsnap::read32(entry + PR::peakVirtualSize), 0xFFFFFFFFu);
    EXPECT_LT(ntsnap::read32(entry + PR::workingSetSize), 0xFFFFFFFFu);
}

TEST(ProcessTable, IdleProcessComesFirstWithOneThreadPerProcessor) {
    unsigned char basic[ntsnap::BasicInfoRecord::size];
    platform::DWORD returned = 0;
    ASSERT_EQ(realmachine::nativeQuery()(ntsnap::InfoClass::basic, basic, sizeof basic, &returned),
              platform::STATUS_SUCCESS);
    const std::uint32_t processors = basic[ntsnap::BasicInfoRecord::processorCount];
    std::ifstream stat("/proc/stat");
    std::uint32_t cpuLines = 0;
    for (std::string line; std::getline(stat, line);) {
        cpuLines += line.size() > 3 && line.compare(0, 3, "cpu") == 0 && std::isdigit(line[3]);
    }
    EXPECT_EQ(processors, cpuLines);

    Reading reading;
    const unsigned char* first = nullptr;
    ASSERT_TRUE(ntsnap::firstProcess(reading.block(), &first));
    EXPECT_EQ(ntsnap::read32(first + PR::processId), 0u);
    EXPECT_EQ(ntsnap::read32(first + PR::threadCount), processors);
    EXPECT_EQ(ntsnap::read64(first + PR::createTime), 0u);
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < processors; ++i) {
        const unsigned char* t = first + PR::threadsVersion5 + i * TR::size;
        EXPECT_EQ(ntsnap::read32(t + TR::threadId), 0u);
        sum += ntsnap::read64(t + TR::kernelTime);
    }
    EXPECT_EQ(ntsnap::read64(first + PR::kernelTime), sum);
    EXPECT_GT(sum, 0u);
}

TEST(ProcessTable, CreationTimeIsTheStartOfTheChild) {
    unsigned char tod[ntsnap::TimeOfDayRecord::size];
    platform::DWORD returned = 0;
    ASSERT_EQ(realmachine::nativeQuery()(ntsnap::InfoClass::timeOfDay, tod, sizeof tod, &returned),
              platform::STATUS_SUCCESS);
    const std::uint64_t before = ntsnap::read64(tod + ntsnap::TimeOfDayRecord::currentTime);
    Child child([] {
        Child::ready();
        sleepUntilKilled();
    });
    Reading reading;
    const unsigned char* entry = reading.process(static_cast<std::uint32_t>(child.pid()));
    ASSERT_NE(entry, nullptr);
    // The boot time of /proc/stat has whole seconds, and start times are clock ticks.
    const std::int64_t created = static_cast<std::int64_t>(ntsnap::read64(entry + PR::createTime));
    EXPECT_LT(std::llabs(created - static_cast<std::int64_t>(before)), 20000000);
}

TEST(ProcessTable, FilesThatMayNotBeReadLeaveTheirFieldsZero) {
    // A process of another user that is not ours to trace: its io file is refused.
    // Without privilege the first process of the machine is such a one.
    const bool privileged = geteuid() == 0;
    Child other([privileged] {
        if (privileged && setuid(65534) != 0) {
            _exit(7);
        }
        Child::ready();
        sleepUntilKilled();
    });
    const auto target = static_cast<std::uint32_t>(privileged ? other.pid() : 1);
    Child reader([privileged, target] {
        if (privileged && (setgid(65533) != 0 || setuid(65533) != 0)) {
            _exit(7);
        }
        Reading reading;
        const unsigned char* entry = reading.process(target);
        const unsigned char* io = entry ? ntsnap::ioCounters(reading.block(), entry, 5) : nullptr;
        bool zero = io != nullptr;
        for (std::uint32_t i = 0; zero && i < IO::size; ++i) {
            zero = io[i] == 0;
        }
        if (reading.status() != platform::STATUS_SUCCESS || !zero) {
            _exit(8);
        }
        if (ntsnap::read32(entry + PR::threadCount) == 0) {
            _exit(9);
        }
        if (!realmachine::checkLayout(reading.block()).empty()) {
            _exit(10);
        }
        Child::ready();
        sleepUntilKilled();
    });
    int status = 0;
    // The reader reaches ready() only when every check held; otherwise it has exited.
    EXPECT_EQ(waitpid(reader.pid(), &status, WNOHANG), 0) << "reader exit " << WEXITSTATUS(status);
}

TEST(ProcessTable, TooSmallBlockGetsNoPartialTable) {
    const std::uint32_t sizes[] = {0, 8, PR::firstRequest, 4096};
    for (std::uint32_t size : sizes) {
        std::vector<unsigned char> block(size + 64, 0xA5);
        platform::DWORD returned = 0;
        const platform::NTSTATUS status =
            realmachine::nativeQuery()(ntsnap::InfoClass::process, block.data(), size, &returned);
        EXPECT_EQ(status, platform::STATUS_INFO_LENGTH_MISMATCH) << size;
        EXPECT_GT(returned, size);
        // What the query wrote is cleared again, and bytes past the block are never touched.
        for (std::uint32_t i = 0; i < block.size(); ++i) {
            if (i < size) {
                ASSERT_TRUE(block[i] == 0 || block[i] == 0xA5) << size << " at " << i;
            } else {
                ASSERT_EQ(block[i], 0xA5) << size << " at " << i;
            }
        }
    }
}

TEST(ProcessTable, UnservedClassesAndSmallFixedRecords) {
    struct Case {
        std::uint32_t infoClass;
        std::uint32_t size;
        platform::NTSTATUS expected;
    };
    const Case cases[] = {
        {1, 4096, platform::STATUS_INVALID_INFO_CLASS},
        {4, 4096, platform::STATUS_INVALID_INFO_CLASS},
        {6, 4096, platform::STATUS_INVALID_INFO_CLASS},
        {0xFFFFFFFFu, 4096, platform::STATUS_INVALID_INFO_CLASS},
        {ntsnap::InfoClass::basic, ntsnap::BasicInfoRecord::size - 1,
         platform::STATUS_INFO_LENGTH_MISMATCH},
        {ntsnap::InfoClass::performance, ntsnap::PerformanceRecord::size - 1,
         platform::STATUS_INFO_LENGTH_MISMATCH},
        {ntsnap::InfoClass::timeOfDay, ntsnap::TimeOfDayRecord::size - 1,
         platform::STATUS_INFO_LENGTH_MISMATCH},
        {ntsnap::InfoClass::basic, ntsnap::BasicInfoRecord::size, platform::STATUS_SUCCESS},
        {ntsnap::InfoClass::performance, ntsnap::PerformanceRecord::size, platform::STATUS_SUCCESS},
        {ntsnap::InfoClass::timeOfDay, ntsnap::TimeOfDayRecord::size, platform::STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> block(c.size + 16, 0xA5);
        platform::DWORD returned = 0;
        EXPECT_EQ(realmachine::nativeQuery()(c.infoClass, block.data(), c.size, &returned),
                  c.expected)
            << "class " << c.infoClass << " size " << c.size;
        for (std::uint32_t i = c.size; i < block.size(); ++i) {
            ASSERT_EQ(block[i], 0xA5) << "class " << c.infoClass << " wrote past its block";
        }
    }
}

TEST(ProcessTable, TimeOfDayAndPerformanceRecordsArePlausible) {
    unsigned char tod[ntsnap::TimeOfDayRecord::size];
    platform::DWORD returned = 0;
    ASSERT_EQ(realmachine::nativeQuery()(ntsnap::InfoClass::timeOfDay, tod, sizeof tod, &returned),
              platform::STATUS_SUCCESS);
    const std::uint64_t now = ntsnap::read64(tod + ntsnap::TimeOfDayRecord::currentTime);
    const std::uint64_t expected =
        (static_cast<std::uint64_t>(time(nullptr)) + 11644473600u) * 10000000u;
    EXPECT_LT(now > expected ? now - expected : expected - now, 20000000u);
    EXPECT_LT(ntsnap::read64(tod + ntsnap::TimeOfDayRecord::bootTime), now);
}

// Processes and threads that start and end all the time while the table is read: every reading
// either fits or says it does not, and every table walks cleanly.
TEST(ProcessTable, ChurnOfProcessesAndThreads) {
    std::atomic<bool> stop{false};
    std::thread forker([&stop] {
        while (!stop) {
            pid_t pid = fork();
            if (pid == 0) {
                usleep(static_cast<useconds_t>(getpid() % 3) * 1000);
                _exit(0);
            }
            if (pid > 0) {
                waitpid(pid, nullptr, 0);
            }
        }
    });
    std::thread spawner([&stop] {
        while (!stop) {
            std::thread brief([] { std::this_thread::yield(); });
            brief.join();
        }
    });
    const Reading first;
    if (first.status() != platform::STATUS_SUCCESS) {
        stop = true;
        forker.join();
        spawner.join();
        GTEST_SKIP() << "this machine's table does not fit 2 MiB";
    }
    int fitted = 0;
    for (int i = 0; i < 150; ++i) {
        // Sizes around the table's own size make both answers likely.
        const std::uint32_t size =
            i % 3 == 0 ? 0x200000 : first.returnedLength() / 100 * (90 + (i % 7) * 5);
        Reading reading(size);
        ASSERT_TRUE(reading.status() == platform::STATUS_SUCCESS ||
                    reading.status() == platform::STATUS_INFO_LENGTH_MISMATCH)
            << std::hex << reading.status();
        if (reading.status() == platform::STATUS_SUCCESS) {
            ++fitted;
            ASSERT_EQ(realmachine::checkLayout(reading.block()), "") << "reading " << i;
        }
    }
    stop = true;
    forker.join();
    spawner.join();
    EXPECT_GE(fitted, 50);
}

} // namespace
