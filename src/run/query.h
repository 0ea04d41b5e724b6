// Reading one information class of the native query into a block of its own.
#pragma once

#include "platform/platform.h"
#include "snapshot/records.h"

#include <cstdint>

namespace ntsnap {

// The native query, filled by loadNTFuncs; null until the lookup succeeds.
extern platform::NtQuerySystemInformationFn ntQuerySystemInformation;

// The largest block a query tries.
constexpr std::uint32_t queryCeiling = 0x200000;

// Reads class `infoClass` into a fresh zero-filled block, starting at `initialSize` bytes (1 to
// queryCeiling) and doubling while the query answers that the block is too small. Returns 1 with
// the block in *pBuffer. On failure prints its probe line and returns 0; *pBuffer is then empty,
// except when the query was never looked up, which leaves *pBuffer untouched. At most one block of
// the call exists at any time.
int systemInfo(std::uint32_t infoClass, Block* pBuffer, std::uint32_t initialSize);

// Releases the block in a slot, if it holds one, and empties the slot, so that releasing a slot
// again does nothing.
void releaseBlock(Block* pBuffer);

} // namespace ntsnap
