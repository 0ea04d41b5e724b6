#include "report/process_report.h"

#include "analysis/deltas.h"
#include "report/formatters.h"
#include "report/print.h"
#include "report/separator.h"

namespace ntsnap {
namespace {

namespace P = ProcessRecord;
namespace IO = IoCounterBlock;

constexpr auto processSeparator = separatorLine<350>();

// Sizes are shown in units of 1024 bytes: a size loses its low 10 bits, a delta is divided
// truncating toward zero so that a change under 1024 bytes either way shows as +0.
unsigned kilo(const unsigned char* entry, std::uint32_t offset) {
    return read32(entry + offset) >> 10;
}

// THRDS counts the threads that lie inside the block, as the thread report lists them; without a
// thread layout for the major version it is the entry's own count.
std::uint32_t threadsOf(const Block& block, const unsigned char* entry, std::uint32_t osMajor) {
    const unsigned char* threads;
    std::uint32_t count;
    return threadArray(block, entry, osMajor, &threads, &count) ? count
                                                                : read32(entry + P::threadCount);
}

void printLine(const Block& block, const unsigned char* entry, std::uint32_t osMajor,
               const ProcDelta& d, char16_t* timeBuf, char16_t* userBuf, char16_t* kernelBuf) {
    print(u"%-15s %5lu %5lu %5lu %23s %11s %11s %4lu %5lu %5lu %8lu %8lu K %+5ld K %8lu K %8lu K "
          u"%+5ld K %8lu K %8lu K %+5ld K %8lu K %8lu K %+5ld K %8lu K %8lu K %+5ld K %8lu K "
          u"%8lu K %+5ld K",
          imageName(block, entry), read32(entry + P::processId), read32(entry + P::parentProcessId),
          threadsOf(block, entry, osMajor), formatTime(entry + P::createTime, timeBuf),
          formatDuration(entry + P::userTime, userBuf),
          formatDuration(entry + P::kernelTime, kernelBuf), d.cpuPercent,
          read32(entry + P::basePriority), read32(entry + P::handleCount),
          read32(entry + P::pageFaultCount), kilo(entry, P::virtualSize), d.vmemDelta / 1024,
          kilo(entry, P::peakVirtualSize), kilo(entry, P::workingSetSize), d.wrksetDelta / 1024,
          kilo(entry, P::peakWorkingSetSize), kilo(entry, P::pagedPoolUsage), d.pplDelta / 1024,
          kilo(entry, P::peakPagedPoolUsage), kilo(entry, P::nonPagedPoolUsage), d.npplDelta / 1024,
          kilo(entry, P::peakNonPagedPoolUsage), kilo(entry, P::pagefileUsage), d.swapDelta / 1024,
          kilo(entry, P::peakPagefileUsage), kilo(entry, P::privatePageCount),
          d.pvtpgsDelta / 1024);
}

void printIoTail(const unsigned char* io, const ProcDelta& d) {
    print(u" %8I64u %8I64u %8I64u %+5I64d %8I64u K %8I64u K %8I64u K %+5I64d K\n",
          static_cast<unsigned long long>(read64(io + IO::readOperationCount)),
          static_cast<unsigned long long>(read64(io + IO::writeOperationCount)),
          static_cast<unsigned long long>(read64(io + IO::otherOperationCount)),
          static_cast<long long>(d.ioOpsDelta),
          static_cast<unsigned long long>(read64(io + IO::readTransferCount) >> 10),
          static_cast<unsigned long long>(read64(io + IO::writeTransferCount) >> 10),
          static_cast<unsigned long long>(read64(io + IO::otherTransferCount) >> 10),
          static_cast<long long>(d.ioBytesDelta / 1024));
}

} // namespace

int writeProcInfo(const Block& pProcOld, Block& pProcNew, const Block& todOld, const Block& todNew,
                  std::uint8_t cpuCount, std::uint32_t osMajor) {
    // The slot is printed as the 32-bit pointer it would be in a record.
    if (pProcOld.base == nullptr) {
        print(u"writeProcInfo, probe 10: pProcOld 0x%p\n", 0u);
        return 0;
    }
    if (pProcNew.base == nullptr) {
        print(u"writeProcInfo, probe 20: pProcNew 0x%p\n", 0u);
        return 0;
    }
    ProcDelta delta;
    char16_t timeBuf[outBufLength];
    char16_t userBuf[outBufLength];
    char16_t kernelBuf[outBufLength];

    print(u"%s\n", processSeparator.text);
    print(u"### PROCESS SNAPSHOT %s\n", formatTime(currentTimeField(todNew), timeBuf));
    print(u"%s\n", processSeparator.text);
    print(u"%-15s %5s %5s %5s %23s %11s %11s %4s %5s %5s %8s %10s %7s %10s %10s %7s %10s %10s %7s "
          u"%10s %10s %7s %10s %10s %7s %10s %10s %7s",
          u"CMD", u"PID", u"PPID", u"THRDS", u"CREATED", u"USRTIME", u"KRNLTIME", u"%CPU", u"PRI",
          u"HNDLS", u"PGFAULTS", u"VMEM", u"\u00B1VMEM", u"VMEMMAX", u"WRKSET", u"\u00B1WRKSET",
          u"WRKSETMAX", u"PPL", u"\u00B1PPL", u"PPLMAX", u"NPPL", u"\u00B1NPPL", u"NPPLPMAX",
          u"SWAP", u"\u00B1SWAP", u"SWAPMAX", u"PVTPGS", u"\u00B1PVTPGS");
    if (osMajor == 5) {
        print(u" %8s %8s %8s %5s %10s %10s %10s %7s\n", u"I/O RD", u"I/O WRT", u"I/O OTH",
              u"\u00B1I/O#", u"I/O RDB", u"I/O WRTB", u"I/O OTHB", u"\u00B1I/O B");
    } else {
        print(u"\n");
    }

    unsigned char* entry;
    const unsigned char* at;
    for (int more = firstProcess(pProcNew, &at); more && wholeEntry(pProcNew, at, osMajor);
         more = nextProcess(pProcNew, at, &at)) {
        // The walk hands out positions inside pProcNew, which this report may write.
        entry = pProcNew.base + (at - pProcNew.base);
        std::uint32_t processId = read32(entry + P::processId);
        if (processId == 0) {
            setIdleName(entry);
        }
        if (processId == 4) {
            clearCreateTime(entry);
        }
        procDelta(&delta, pProcOld, entry, todOld, todNew, cpuCount, osMajor);
        printLine(pProcNew, entry, osMajor, delta, timeBuf, userBuf, kernelBuf);
        if (osMajor == 5) {
            printIoTail(entry + P::ioCounters, delta);
        } else {
            print(u"\n");
        }
    }
    print(u"\n");
    return 1;
}

} // namespace ntsnap
