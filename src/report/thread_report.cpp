#include "report/thread_report.h"

#include "analysis/deltas.h"
#include "report/formatters.h"
#include "report/print.h"
#include "report/separator.h"

namespace ntsnap {
namespace {

namespace P = ProcessRecord;
namespace T = ThreadRecord;

constexpr auto threadSeparator = separatorLine<133>();

} // namespace

int writeThreadInfo(const Block& pProcOld, Block& pProcNew, const Block& todOld,
                    const Block& todNew, std::uint8_t cpuCount, std::uint32_t osMajor) {
    // The slot is printed as the 32-bit pointer it would be in a record.
    if (pProcOld.base == nullptr) {
        print(u"writeThreadInfo, probe 10: pProcOld 0x%p\n", 0u);
        return 0;
    }
    if (pProcNew.base == nullptr) {
        print(u"writeThreadInfo, probe 20: pProcNew 0x%p\n", 0u);
        return 0;
    }
    const unsigned char* at;
    int more = firstProcess(pProcNew, &at);
    if (!more || read32(at + P::threadCount) == 0) {
        return 1;
    }
    ThreadDelta delta;
    char16_t timeBuf[outBufLength];
    char16_t userBuf[outBufLength];
    char16_t kernelBuf[outBufLength];
    char16_t waitBuf[outBufLength];
    char16_t stateBuf[outBufLength];

    for (; more && wholeEntry(pProcNew, at, osMajor); more = nextProcess(pProcNew, at, &at)) {
        // The walk hands out positions inside pProcNew, which this report may write.
        unsigned char* entry = pProcNew.base + (at - pProcNew.base);
        const unsigned char* threads;
        std::uint32_t count; // cut to the threads that lie inside the block
        if (!threadArray(pProcNew, entry, osMajor, &threads, &count)) {
            return 0;
        }
        std::uint32_t processId = read32(entry + P::processId);
        if (processId == 0) {
            setIdleName(entry);
        }
        // The threads of an entry name it as their owner, so its namesake in the first reading
        // is found once here, and each thread's search starts at it: the first match from there is
        // the first match of the whole block. Only a thread that names another owner searches the
        // whole block. The lines are the same; the cost per thread no longer grows with the table.
        const unsigned char* oldOwner;
        Block fromOldOwner{nullptr, 0};
        if (findProcess(pProcOld, processId, &oldOwner)) {
            auto offset = static_cast<std::uint32_t>(oldOwner - pProcOld.base);
            fromOldOwner = Block{pProcOld.base + offset, pProcOld.size - offset};
        }
        print(u"%s\n", threadSeparator.text);
        // THRDS is the number of lines that follow, so a count cut to the block shows as cut.
        print(u"### THREAD SNAPSHOT %s  PID:%lu(%s)  THRDS:%lu  USR:%s  KRNL:%s\n",
              formatTime(currentTimeField(todNew), timeBuf), processId, imageName(pProcNew, entry),
              count, formatDuration(entry + P::userTime, userBuf),
              formatDuration(entry + P::kernelTime, kernelBuf));
        print(u"%s\n", threadSeparator.text);
        print(u"%8s %-11s %-12s %23s %11s %11s %4s %5s %5s %10s %8s %8s %5s\n", u"TID", u"STATE",
              u"WAITREASON", u"CREATED", u"USRTIME", u"KRNLTIME", u"%CPU", u"PRI", u"BSPRI",
              u"STRTADDR", u"WAITTIME", u"CTXS", u"\u00B1CTXS");
        for (std::uint32_t i = 0; i < count; ++i) {
            const unsigned char* thread = threads + T::size * i;
            const Block& searched =
                read32(thread + T::ownerProcessId) == processId ? fromOldOwner : pProcOld;
            threadDelta(&delta, searched, thread, i, todOld, todNew, cpuCount, osMajor);
            print(u"%8lu %-11s %-12s %23s %11s %11s %4lu %5lu %5lu %10p %8lu %8lu %+5ld\n",
                  read32(thread + T::threadId),
                  threadStateName(read32(thread + T::threadState), stateBuf),
                  waitReasonName(read32(thread + T::waitReason), waitBuf),
                  formatTime(thread + T::createTime, timeBuf),
                  formatDuration(thread + T::userTime, userBuf),
                  formatDuration(thread + T::kernelTime, kernelBuf), delta.cpuPercent,
                  read32(thread + T::priority), read32(thread + T::basePriority),
                  read32(thread + T::startAddress), read32(thread + T::waitTime),
                  read32(thread + T::contextSwitches), delta.ctxsDelta);
        }
        print(u"\n");
    }
    return 1;
}

} // namespace ntsnap
