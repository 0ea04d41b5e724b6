// The process class of the native query: every process of the machine with every thread, built
// from /proc straight into the caller's block in the major-version-5 layout.
#pragma once

#include "platform/platform.h"

namespace linuxhost {

// Fills `block` with the idle process (id 0, one thread per processor) and then every process
// that /proc lists, each entry followed by its thread array and its name. Returns
// STATUS_SUCCESS, or STATUS_INFO_LENGTH_MISMATCH with the block cleared of what was written when
// the table does not fit. *returnedLength (when not null) gets the bytes used, or the least size
// the table needs as far as known. A process or thread that vanishes mid-read is left out; a file
// that may not be read leaves its fields 0.
platform::NTSTATUS queryProcessTable(unsigned char* block, platform::DWORD size,
                                     platform::DWORD* returnedLength);

} // namespace linuxhost
