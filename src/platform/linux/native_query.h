// The layer's own NtQuerySystemInformation, handed out by GetProcAddress.
#pragma once

#include "platform/platform.h"

namespace linuxhost {

// Serves classes 0 (basic), 2 (performance), 3 (time of day) and 5 (processes); any other class
// gets STATUS_INVALID_INFO_CLASS. A block smaller than its class needs gets
// STATUS_INFO_LENGTH_MISMATCH and is left as it was (class 5: see process_table.h).
platform::NTSTATUS PLATFORM_STDCALL ntQuerySystemInformation(platform::DWORD infoClass,
                                                             void* buffer, platform::DWORD size,
                                                             platform::DWORD* returnedLength);

} // namespace linuxhost
