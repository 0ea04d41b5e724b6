// The process snapshot: a banner with the time of the second reading, a header of column labels
// and one line per process of the second reading, in block order.
#pragma once

#include "snapshot/records.h"

#include <cstdint>

namespace ntsnap {

// Prints the process table from the two process blocks and the two time-of-day blocks. On osMajor
// 5 each line ends in the I/O counters and their deltas. Writes into pProcNew in place: the idle
// process is named "Idle" and process 4 loses its creation time. Returns 1, or prints its probe
// line and returns 0 when either process block is an empty slot.
int writeProcInfo(const Block& pProcOld, Block& pProcNew, const Block& todOld, const Block& todNew,
                  std::uint8_t cpuCount, std::uint32_t osMajor);

} // namespace ntsnap
