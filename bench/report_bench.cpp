// Both report writers over a process table at the query's 2 MiB ceiling: 2,000 processes of
// major version 5 with 12 threads each (24,000 threads), read twice one second apart.
//
// The reports go to a file, as with `ntsnap > file`: standard output is reopened on a scratch
// file that is emptied between iterations, so the platform writes it in 4096-byte blocks. The
// benchmark's own results go to standard error.
#include "platform/platform.h"
#include "report/formatters.h"
#include "report/process_report.h"
#include "report/thread_report.h"
#include "run/query.h"
#include "snapshot/records.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

using namespace ntsnap;

constexpr std::uint32_t processes = 2000;
constexpr std::uint32_t threadsPerProcess = 12;
constexpr std::uint64_t second = 10000000;
constexpr std::uint64_t t0 = 132000000000000000ull;

// One reading; `step` moves every counter as a second of activity would.
Block processTable(std::uint32_t step) {
    Block block{
        static_cast<unsigned char*>(platform::LocalAlloc(platform::LMEM_ZEROINIT, queryCeiling)),
        queryCeiling};
    if (block.base == nullptr) {
        std::abort();
    }
    namespace P = ProcessRecord;
    namespace T = ThreadRecord;
    std::uint32_t at = 0;
    std::uint32_t previous = 0;
    for (std::uint32_t n = 0; n < processes; ++n) {
        unsigned char* e = block.base + at;
        if (n != 0) {
            write32(block.base + previous + P::nextEntryOffset, at - previous);
        }
        std::uint32_t id = n == 0 ? 0 : 4 * n;
        write32(e + P::threadCount, threadsPerProcess);
        write64(e + P::createTime, n == 0 ? 0 : t0 - 3600 * second + n);
        write64(e + P::userTime, (n + step) * second / 7);
        write64(e + P::kernelTime, (n + step) * second / 11);
        write32(e + P::basePriority, 8);
        write32(e + P::processId, id);
        write32(e + P::parentProcessId, n == 0 ? 0 : 4);
        write32(e + P::handleCount, 100 + n);
        write32(e + P::peakVirtualSize, (64u << 20) + n * 4096);
        write32(e + P::virtualSize, (60u << 20) + step * 4096);
        write32(e + P::pageFaultCount, n * 10 + step);
        write32(e + P::workingSetSize, (10u << 20) - step * 8192);
        write32(e + P::privatePageCount, (8u << 20) + step * 1000);
        for (std::uint32_t k = 0; k < 6; ++k) {
            write64(e + P::ioCounters + 8 * k, std::uint64_t{n} * 1000 + step * 77);
        }
        unsigned char* threads = e + P::threadsVersion5;
        for (std::uint32_t i = 0; i < threadsPerProcess; ++i) {
            unsigned char* t = threads + T::size * i;
            write64(t + T::kernelTime, (i + step) * second / 13);
            write64(t + T::userTime, (i + step) * second / 17);
            write64(t + T::createTime, t0 - 60 * second + i);
            write32(t + T::startAddress, 0x00401000u + i);
            write32(t + T::ownerProcessId, id);
            write32(t + T::threadId, id == 0 ? 0 : id * 100 + i);
            write32(t + T::priority, 8);
            write32(t + T::basePriority, 8);
            write32(t + T::contextSwitches, i * 1000 + step * 3);
            write32(t + T::threadState, i % 8);
            write32(t + T::waitReason, i % 28);
        }
        auto* name = reinterpret_cast<char16_t*>(threads + T::size * threadsPerProcess);
        const char16_t prefix[] = u"process-";
        for (int k = 0; k < 8; ++k) {
            name[k] = prefix[k];
        }
        std::uint32_t digits = n;
        for (int k = 11; k >= 8; --k) {
            name[k] = static_cast<char16_t>(u'0' + digits % 10);
            digits /= 10;
        }
        name[12] = 0;
        storePointer32(e + P::imageNameBuffer, name);
        previous = at;
        at = (at + P::threadsVersion5 + T::size * threadsPerProcess + 13 * 2 + 7) / 8 * 8;
    }
    if (at > queryCeiling) {
        std::abort();
    }
    return block;
}

Block timeOfDay(std::uint64_t stamp) {
    Block block{static_cast<unsigned char*>(
                    platform::LocalAlloc(platform::LMEM_ZEROINIT, TimeOfDayRecord::size)),
                TimeOfDayRecord::size};
    write64(block.base + TimeOfDayRecord::currentTime, stamp);
    return block;
}

struct Readings {
    Block procOld = processTable(0);
    Block procNew = processTable(1);
    Block todOld = timeOfDay(t0);
    Block todNew = timeOfDay(t0 + second);
    ~Readings() {
        for (Block* b : {&procOld, &procNew, &todOld, &todNew}) {
            platform::LocalFree(b->base);
        }
    }
};

void emptyReportFile(benchmark::State& state) {
    state.PauseTiming();
    std::fflush(stdout);
    if (ftruncate(fileno(stdout), 0) != 0) {
        state.SkipWithError("cannot empty the report file");
    }
    std::rewind(stdout);
    state.ResumeTiming();
}

template <int Reports> void BM_Reports(benchmark::State& state) {
    Readings r;
    for (auto _ : state) {
        if (Reports & 1) {
            writeProcInfo(r.procOld, r.procNew, r.todOld, r.todNew, 2, 5);
        }
        if (Reports & 2) {
            writeThreadInfo(r.procOld, r.procNew, r.todOld, r.todNew, 2, 5);
        }
        emptyReportFile(state);
    }
}

// One time stamp as local time: the reports format one per process and one per thread, and each
// reads the machine's zone anew.
void BM_FormatTime(benchmark::State& state) {
    unsigned char stamp[8];
    write64(stamp, t0);
    char16_t outBuf[outBufLength];
    for (auto _ : state) {
        benchmark::DoNotOptimize(formatTime(stamp, outBuf));
    }
}

BENCHMARK(BM_FormatTime)->Name("FormatTime")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Reports, 1)->Name("ProcessReport")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Reports, 2)->Name("ThreadReports")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Reports, 3)->Name("BothReports")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Standard output becomes a scratch file that vanishes at exit.
    std::FILE* file = std::tmpfile();
    if (file == nullptr || std::fflush(stdout) != 0 || dup2(fileno(file), STDOUT_FILENO) < 0) {
        std::perror("report file");
        return 1;
    }
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
