// One reading of the process class of this machine through the Linux native query: straight into
// a block of the largest size the run tries, and as the run asks for it (doubling from the first
// request). Figures and how to read them: README.md here.
#include "platform/platform.h"
#include "run/query.h"
#include "snapshot/records.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

platform::NtQuerySystemInformationFn lookUpQuery() {
    platform::HMODULE library = platform::LoadLibraryW(u"NTDLL.DLL");
    return reinterpret_cast<platform::NtQuerySystemInformationFn>(
        platform::GetProcAddress(library, "NtQuerySystemInformation"));
}

// Processes and threads of a filled block.
void countTable(const ntsnap::Block& block, std::uint32_t* processes, std::uint32_t* threads) {
    *processes = 0;
    *threads = 0;
    const unsigned char* entry = nullptr;
    for (int more = ntsnap::firstProcess(block, &entry); more;
         more = ntsnap::nextProcess(block, entry, &entry)) {
        const unsigned char* first = nullptr;
        std::uint32_t count = 0;
        ntsnap::threadArray(block, entry, 5, &first, &count);
        ++*processes;
        *threads += count;
    }
}

void report(benchmark::State& state, const ntsnap::Block& block) {
    std::uint32_t processes = 0;
    std::uint32_t threads = 0;
    countTable(block, &processes, &threads);
    state.counters["processes"] = processes;
    state.counters["threads"] = threads;
    state.counters["per_thread"] =
        benchmark::Counter(static_cast<double>(threads) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ProcessClassLargestBlock(benchmark::State& state) {
    platform::NtQuerySystemInformationFn query = lookUpQuery();
    ntsnap::Block block{static_cast<unsigned char*>(
                            platform::LocalAlloc(platform::LMEM_ZEROINIT, ntsnap::queryCeiling)),
                        ntsnap::queryCeiling};
    for (auto _ : state) {
        platform::DWORD returned = 0;
        platform::NTSTATUS status =
            query(ntsnap::InfoClass::process, block.base, block.size, &returned);
        if (status != platform::STATUS_SUCCESS) {
            state.SkipWithError("the process class did not fit the largest block");
            break;
        }
        benchmark::DoNotOptimize(block.base);
    }
    report(state, block);
    platform::LocalFree(block.base);
}
BENCHMARK(BM_ProcessClassLargestBlock)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ProcessClassAsTheRunAsks(benchmark::State& state) {
    ntsnap::ntQuerySystemInformation = lookUpQuery();
    ntsnap::Block last{nullptr, 0};
    for (auto _ : state) {
        ntsnap::Block block{nullptr, 0};
        if (!ntsnap::systemInfo(ntsnap::InfoClass::process, &block,
                                ntsnap::ProcessRecord::firstRequest)) {
            state.SkipWithError("systemInfo failed");
            break;
        }
        state.PauseTiming();
        platform::LocalFree(last.base);
        last = block;
        state.ResumeTiming();
    }
    if (last.base != nullptr) {
        report(state, last);
        platform::LocalFree(last.base);
    }
    ntsnap::ntQuerySystemInformation = nullptr;
}
BENCHMARK(BM_ProcessClassAsTheRunAsks)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
