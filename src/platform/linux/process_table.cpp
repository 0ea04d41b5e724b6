// May use: /proc through openat and one read per file, fstatat, getdents64; the record layouts of
// snapshot/records.h. No heap allocation and no streams: a reading visits every thread of the
// machine, and its cost is the cost of these files.
#include "platform/linux/process_table.h"

#include "platform/linux/cpu_times.h"
#include "platform/linux/proc_reader.h"
#include "snapshot/records.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

namespace linuxhost {
namespace {

namespace PR = ntsnap::ProcessRecord;
namespace TR = ntsnap::ThreadRecord;
namespace IO = ntsnap::IoCounterBlock;

constexpr std::uint32_t fixedSize = PR::threadsVersion5;
// The longest name kept: kernel threads can carry up to 63 characters.
constexpr std::size_t maxName = 64;

// Thread states and wait reasons of the native records.
constexpr std::uint32_t stateRunning = 2;
constexpr std::uint32_t stateTerminated = 4;
constexpr std::uint32_t stateWaiting = 5;
constexpr std::uint32_t stateUnknown = 7;
constexpr std::uint32_t waitExecutive = 0;
constexpr std::uint32_t waitSuspended = 5;
constexpr std::uint32_t waitUserRequest = 6;
constexpr std::uint32_t waitQueue = 15;

// A table that did not fit is remembered briefly with the least size it needs, so that the
// doubling caller is refused at once instead of by a fresh walk of /proc for every size it tries.
// Only refusals come from it; a table handed back is always read afresh.
struct SizeHint {
    std::mutex lock;
    std::uint64_t takenAt; // CLOCK_MONOTONIC nanoseconds
    std::uint32_t leastSize;
};
SizeHint sizeHint;
constexpr std::uint64_t hintLifetime = 250000000; // ns

std::uint64_t monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint32_t align8(std::uint64_t n) {
    return saturate32((n + 7) & ~std::uint64_t{7});
}

// The least bytes of an entry with `threads` threads: its name is at least the NUL.
std::uint64_t leastEntrySize(std::uint64_t threads) {
    return align8(fixedSize + threads * TR::size + 2);
}

// Maps a nice value and a scheduling policy to the native priority scale: 1..15 for the normal
// policies around 8, 1 for the idle policy, 16..31 for the real-time ones.
std::uint32_t nativePriority(std::int64_t nice, std::uint64_t policy,
                             std::uint64_t realtimePriority) {
    switch (policy) {
    case SCHED_IDLE:
        return 1;
    case SCHED_FIFO:
    case SCHED_RR: {
        std::uint64_t p = 16 + (realtimePriority * 15 + 49) / 99;
        return p > 31 ? 31 : static_cast<std::uint32_t>(p);
    }
#ifdef SCHED_DEADLINE
    case SCHED_DEADLINE:
        return 31;
#endif
    default:
        break;
    }
    const std::int64_t scaled = 35 * nice;
    const std::int64_t rounded = scaled >= 0 ? (scaled + 50) / 100 : -((-scaled + 50) / 100);
    std::int64_t p = 8 - rounded;
    return static_cast<std::uint32_t>(p < 1 ? 1 : p > 15 ? 15 : p);
}

void nativeState(char state, std::uint32_t* threadState, std::uint32_t* waitReason) {
    *waitReason = waitExecutive;
    switch (state) {
    case 'R':
        *threadState = stateRunning;
        break;
    case 'S':
        *threadState = stateWaiting;
        *waitReason = waitUserRequest;
        break;
    case 'D':
        *threadState = stateWaiting;
        break;
    case 'T':
    case 't':
    case 'P':
        *threadState = stateWaiting;
        *waitReason = waitSuspended;
        break;
    case 'I':
        *threadState = stateWaiting;
        *waitReason = waitQueue;
        break;
    case 'Z':
    case 'X':
        *threadState = stateTerminated;
        break;
    default:
        *threadState = stateUnknown;
        break;
    }
}

// Writes `prefix`, the decimal form of `id` and `suffix` into `out` (room for 48 characters);
// returns `out`.
char* idPath(char* out, const char* prefix, std::uint32_t id, const char* suffix) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + id % 10);
        id /= 10;
    } while (id != 0);
    char* p = out;
    while (*prefix != 0) {
        *p++ = *prefix++;
    }
    while (n > 0) {
        *p++ = digits[--n];
    }
    std::strcpy(p, suffix);
    return out;
}

struct Table {
    unsigned char* base;
    std::uint32_t size;
    std::uint32_t used;      // end of the last whole entry
    std::uint32_t lastEntry; // start of the last whole entry
    bool haveEntry;
    bool full;
    std::uint64_t leastSize; // once full: the least size known to be needed
    std::uint32_t touched;   // bytes from the start that may hold written data
    int procDir;
    std::uint64_t bootStamp;
};

// Room for `bytes` more at `at`; marks the table full when there is none.
bool fits(Table* t, std::uint64_t at, std::uint64_t bytes) {
    if (at + bytes > t->size) {
        t->full = true;
        return false;
    }
    if (at + bytes > t->touched) {
        t->touched = static_cast<std::uint32_t>(at + bytes);
    }
    return true;
}

void linkEntry(Table* t, std::uint32_t start, std::uint32_t end) {
    if (t->haveEntry) {
        ntsnap::write32(t->base + t->lastEntry + PR::nextEntryOffset, start - t->lastEntry);
    }
    t->lastEntry = start;
    t->haveEntry = true;
    t->used = end;
}

// The name goes right after the thread array; the entry ends 8-byte aligned after it.
std::uint64_t placeName(Table* t, std::uint32_t start, std::uint32_t threads, const char* name,
                        std::size_t length) {
    const std::uint64_t at = std::uint64_t{start} + fixedSize + std::uint64_t{threads} * TR::size;
    const std::uint64_t bytes = (length + 1) * 2;
    if (!fits(t, at, align8(at + bytes) - at)) {
        return 0;
    }
    unsigned char* text = t->base + at;
    // Each byte of the kernel's name becomes one UTF-16 unit of the same value, so that the
    // one-byte output writes a UTF-8 name back byte for byte.
    for (std::size_t i = 0; i < length; ++i) {
        const auto unit = static_cast<std::uint16_t>(static_cast<unsigned char>(name[i]));
        std::memcpy(text + 2 * i, &unit, 2);
    }
    std::memset(text + 2 * length, 0, align8(at + bytes) - at - 2 * length);
    unsigned char* entry = t->base + start;
    // A caller's block above 4 GiB cannot be pointed into; its names then read as null.
    if (ntsnap::storePointer32(entry + PR::imageNameBuffer, text)) {
        const auto lengthBytes = static_cast<std::uint16_t>(2 * length);
        const auto maximumBytes = static_cast<std::uint16_t>(2 * length + 2);
        std::memcpy(entry + PR::imageNameLength, &lengthBytes, 2);
        std::memcpy(entry + PR::imageNameLength + 2, &maximumBytes, 2);
    }
    return align8(at + bytes);
}

void appendIdle(Table* t, const CpuTimes& cpus) {
    const std::uint32_t start = 0;
    const std::uint32_t threads = cpus.count;
    if (!fits(t, start, fixedSize + std::uint64_t{threads} * TR::size)) {
        t->leastSize += leastEntrySize(threads);
        return;
    }
    std::memset(t->base, 0, fixedSize + threads * TR::size);
    unsigned char* entry = t->base;
    ntsnap::write32(entry + PR::threadCount, threads);
    ntsnap::write64(entry + PR::kernelTime, ticksToUnits(cpus.totalIdleTicks));
    for (std::uint32_t i = 0; i < threads; ++i) {
        unsigned char* thread = entry + fixedSize + i * TR::size;
        ntsnap::write64(thread + TR::kernelTime, ticksToUnits(cpus.idleTicks[i]));
        ntsnap::write32(thread + TR::threadState, stateRunning);
    }
    // The idle process has no name of its own (the reports give it one); only the NUL is kept
    // so that its entry is laid out like every other.
    const std::uint64_t end = std::uint64_t{fixedSize} + threads * TR::size;
    if (!fits(t, end, 8)) {
        t->leastSize += leastEntrySize(threads);
        return;
    }
    std::memset(t->base + end, 0, 8);
    linkEntry(t, start, static_cast<std::uint32_t>(end + 8));
}

struct ThreadList {
    Table* table;
    int dir;            // the directory the thread paths are relative to
    const char* prefix; // "" when `dir` is the task directory, "task/" when it is the process's
    std::uint32_t pid;
    std::uint32_t start; // the entry
    std::uint32_t count; // threads written
    std::uint32_t seen;  // threads listed
    bool leaderGone;     // the only thread read was a group leader that has exited
};

// Reads one thread into the next slot of the entry's thread array.
void appendThread(void* context, std::uint32_t tid) {
    auto* list = static_cast<ThreadList*>(context);
    Table* t = list->table;
    ++list->seen;
    if (t->full) {
        return;
    }
    char path[48];
    char text[1024];
    long n =
        procfs::readFileAt(list->dir, idPath(path, list->prefix, tid, "/stat"), text, sizeof text);
    procfs::StatLine stat;
    if (n < 0 || !procfs::parseStat(text, static_cast<std::size_t>(n), &stat)) {
        return; // the thread ended
    }
    const std::uint64_t at =
        std::uint64_t{list->start} + fixedSize + std::uint64_t{list->count} * TR::size;
    if (!fits(t, at, TR::size)) {
        return;
    }
    unsigned char* thread = t->base + at;
    std::memset(thread, 0, TR::size);
    ntsnap::write64(thread + TR::kernelTime, ticksToUnits(stat.systemTicks));
    ntsnap::write64(thread + TR::userTime, ticksToUnits(stat.userTicks));
    ntsnap::write64(thread + TR::createTime, t->bootStamp + ticksToUnits(stat.startTicks));
    ntsnap::write32(thread + TR::ownerProcessId, list->pid);
    ntsnap::write32(thread + TR::threadId, tid);
    const std::uint32_t priority = nativePriority(stat.nice, stat.policy, stat.realtimePriority);
    ntsnap::write32(thread + TR::priority, priority);
    ntsnap::write32(thread + TR::basePriority, priority);
    std::uint32_t state;
    std::uint32_t reason;
    nativeState(stat.state, &state, &reason);
    ntsnap::write32(thread + TR::threadState, state);
    ntsnap::write32(thread + TR::waitReason, reason);
    // The third field of schedstat counts the times the thread was put on a processor, which is
    // its voluntary plus involuntary switches of status (they agree to within the switch under
    // way) at less than half the cost of the status file. Kernels without schedstat get status.
    // The native counter is 32 bits wide and wraps.
    std::uint64_t switches = 0;
    n = procfs::readFileAt(list->dir, idPath(path, list->prefix, tid, "/schedstat"), text,
                           sizeof text);
    if (n > 0) {
        switches = procfs::fieldValue(text, static_cast<std::size_t>(n), 2);
    } else {
        char status[4096];
        n = procfs::readFileAt(list->dir, idPath(path, list->prefix, tid, "/status"), status,
                               sizeof status);
        if (n > 0) {
            const auto length = static_cast<std::size_t>(n);
            switches = procfs::keyValue(status, length, "voluntary_ctxt_switches:") +
                       procfs::keyValue(status, length, "nonvoluntary_ctxt_switches:");
        }
    }
    ntsnap::write32(thread + TR::contextSwitches, static_cast<std::uint32_t>(switches));
    if (tid == list->pid && (stat.state == 'Z' || stat.state == 'X')) {
        list->leaderGone = true;
    }
    ++list->count;
}

// The least size of the rest of the table, from the thread count the kernel gives each task
// directory as its link count; no file is read.
void countProcess(Table* t, std::uint32_t pid) {
    char path[24];
    struct stat info {};
    std::uint64_t threads = 1;
    if (fstatat(t->procDir, idPath(path, "", pid, "/task"), &info, 0) != 0) {
        return; // gone
    }
    if (info.st_nlink > 2) {
        threads = info.st_nlink - 2;
    }
    t->leastSize += leastEntrySize(threads);
}

void fillMemory(unsigned char* entry, const char* text, std::size_t length) {
    auto kb = [&](const char* key) {
        return saturate32(procfs::keyValue(text, length, key) * 1024);
    };
    ntsnap::write32(entry + PR::peakVirtualSize, kb("VmPeak:"));
    ntsnap::write32(entry + PR::virtualSize, kb("VmSize:"));
    ntsnap::write32(entry + PR::peakWorkingSetSize, kb("VmHWM:"));
    ntsnap::write32(entry + PR::workingSetSize, kb("VmRSS:"));
    // Private memory is what only this process holds: anonymous pages, in memory or swapped.
    const std::uint32_t privateBytes = saturate32(
        (procfs::keyValue(text, length, "RssAnon:") + procfs::keyValue(text, length, "VmSwap:")) *
        1024);
    ntsnap::write32(entry + PR::pagefileUsage, privateBytes);
    ntsnap::write32(entry + PR::peakPagefileUsage, privateBytes);
    ntsnap::write32(entry + PR::privatePageCount, privateBytes);
}

void fillIo(unsigned char* entry, const char* text, std::size_t length) {
    unsigned char* io = entry + PR::ioCounters;
    ntsnap::write64(io + IO::readOperationCount, procfs::keyValue(text, length, "syscr:"));
    ntsnap::write64(io + IO::writeOperationCount, procfs::keyValue(text, length, "syscw:"));
    ntsnap::write64(io + IO::readTransferCount, procfs::keyValue(text, length, "rchar:"));
    ntsnap::write64(io + IO::writeTransferCount, procfs::keyValue(text, length, "wchar:"));
}

std::uint32_t openDescriptors(int dir) {
    struct stat info {};
    if (fstatat(dir, "fd", &info, 0) != 0) {
        return 0; // not permitted
    }
    if (info.st_size > 0) {
        return saturate32(static_cast<std::uint64_t>(info.st_size));
    }
    // Older kernels give the directory no size: count its entries.
    int fds = openat(dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds < 0) {
        return 0;
    }
    std::uint32_t count = 0;
    procfs::forEachNumericEntry(
        fds, [](void* c, std::uint32_t) { ++*static_cast<std::uint32_t*>(c); }, &count);
    close(fds);
    return count;
}

void appendProcess(void* context, std::uint32_t pid) {
    auto* t = static_cast<Table*>(context);
    if (t->full) {
        countProcess(t, pid);
        return;
    }
    char path[24];
    int dir = openat(t->procDir, idPath(path, "", pid, ""), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return; // gone
    }
    char text[4096];
    long n = procfs::readFileAt(dir, "stat", text, sizeof text);
    procfs::StatLine stat;
    if (n < 0 || !procfs::parseStat(text, static_cast<std::size_t>(n), &stat)) {
        close(dir);
        return;
    }
    char name[maxName];
    const std::size_t nameLength = stat.commLength < maxName ? stat.commLength : maxName - 1;
    std::memcpy(name, stat.comm, nameLength);

    const std::uint32_t start = t->used;
    if (!fits(t, start, fixedSize)) {
        t->leastSize += leastEntrySize(stat.threadCount);
        close(dir);
        return;
    }
    unsigned char* entry = t->base + start;
    std::memset(entry, 0, fixedSize);
    ntsnap::write64(entry + PR::createTime, t->bootStamp + ticksToUnits(stat.startTicks));
    ntsnap::write64(entry + PR::userTime, ticksToUnits(stat.userTicks));
    ntsnap::write64(entry + PR::kernelTime, ticksToUnits(stat.systemTicks));
    ntsnap::write32(entry + PR::basePriority,
                    nativePriority(stat.nice, stat.policy, stat.realtimePriority));
    ntsnap::write32(entry + PR::processId, pid);
    ntsnap::write32(entry + PR::parentProcessId, stat.parentId);
    // The native counter is 32 bits wide and wraps.
    ntsnap::write32(entry + PR::pageFaultCount,
                    static_cast<std::uint32_t>(stat.minorFaults + stat.majorFaults));
    ntsnap::write32(entry + PR::handleCount, openDescriptors(dir));
    n = procfs::readFileAt(dir, "status", text, sizeof text);
    if (n > 0) {
        fillMemory(entry, text, static_cast<std::size_t>(n));
    }
    n = procfs::readFileAt(dir, "io", text, sizeof text);
    if (n > 0) {
        fillIo(entry, text, static_cast<std::size_t>(n));
    }

    ThreadList list{t, dir, "task/", pid, start, 0, 0, false};
    if (stat.threadCount <= 1) {
        // Most processes have one thread, the leader, whose id is the process's: no listing.
        appendThread(&list, pid);
    }
    if (stat.threadCount > 1 || list.count == 0 || list.leaderGone) {
        // Several threads, or a leader that is gone while the group lives on: list them all.
        list.count = 0;
        list.seen = 0;
        int tasks = openat(dir, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (tasks >= 0) {
            list.dir = tasks;
            list.prefix = "";
            procfs::forEachNumericEntry(tasks, appendThread, &list);
            close(tasks);
        }
    }
    close(dir);
    if (t->full) {
        t->leastSize += leastEntrySize(list.seen);
        return;
    }
    if (list.count == 0 && stat.threadCount > 0) {
        return; // it ended while it was read
    }
    ntsnap::write32(entry + PR::threadCount, list.count);
    const std::uint64_t end = placeName(t, start, list.count, name, nameLength);
    if (end == 0) {
        t->leastSize += leastEntrySize(list.count);
        return;
    }
    linkEntry(t, start, static_cast<std::uint32_t>(end));
}

void clearWritten(Table* t) {
    if (t->touched != 0) {
        std::memset(t->base, 0, t->touched);
    }
}

} // namespace

platform::NTSTATUS queryProcessTable(unsigned char* block, platform::DWORD size,
                                     platform::DWORD* returnedLength) {
    const std::uint64_t now = monotonicNow();
    {
        std::lock_guard<std::mutex> hold(sizeHint.lock);
        if (sizeHint.leastSize != 0 && now - sizeHint.takenAt < hintLifetime &&
            size < sizeHint.leastSize) {
            if (returnedLength != nullptr) {
                *returnedLength = sizeHint.leastSize;
            }
            return platform::STATUS_INFO_LENGTH_MISMATCH;
        }
    }
    CpuTimes cpus;
    int procDir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procDir < 0 || !readCpuTimes(&cpus)) {
        if (procDir >= 0) {
            close(procDir);
        }
        return 0xC0000001u; // STATUS_UNSUCCESSFUL: no /proc to read
    }
    Table t{};
    t.base = block;
    t.size = size;
    t.procDir = procDir;
    t.bootStamp = unixToStamp(cpus.bootSeconds, 0);
    appendIdle(&t, cpus);
    const int listed = procfs::forEachNumericEntry(procDir, appendProcess, &t);
    close(procDir);
    if (!listed) {
        clearWritten(&t);
        return 0xC0000001u;
    }
    if (t.full) {
        // No partial table is handed back.
        clearWritten(&t);
        const std::uint32_t least = saturate32(std::uint64_t{t.used} + t.leastSize);
        const std::uint32_t reported = least > size ? least : saturate32(std::uint64_t{size} + 1);
        {
            std::lock_guard<std::mutex> hold(sizeHint.lock);
            sizeHint.takenAt = monotonicNow();
            sizeHint.leastSize = reported;
        }
        if (returnedLength != nullptr) {
            *returnedLength = reported;
        }
        return platform::STATUS_INFO_LENGTH_MISMATCH;
    }
    if (returnedLength != nullptr) {
        *returnedLength = t.used;
    }
    return platform::STATUS_SUCCESS;
}

} // namespace linuxhost
