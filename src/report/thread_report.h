// The thread snapshots: for every process of the second reading, in block order, a banner with the
// process's name and CPU totals, a header of column labels and one line per thread.
#pragma once

#include "snapshot/records.h"

#include <cstdint>

namespace ntsnap {

// Prints one thread table per process from the two process blocks and the two time-of-day blocks,
// naming the idle process "Idle" in pProcNew in place. Returns 1, also without printing anything
// when the first process has no threads. Returns 0 after its probe line when either process block
// is an empty slot, and without a line, before anything is printed, when osMajor is neither 4 nor 5
// (there is no thread layout to read).
int writeThreadInfo(const Block& pProcOld, Block& pProcNew, const Block& todOld,
                    const Block& todNew, std::uint8_t cpuCount, std::uint32_t osMajor);

} // namespace ntsnap
