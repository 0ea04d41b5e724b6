// The per-thread last-error code that every failing service of this layer leaves.
#pragma once

#include "platform/platform.h"

namespace linuxhost {

void setLastError(platform::DWORD code);

// Sets the code and returns 0, for the services whose failure value is 0 or null.
inline int failWith(platform::DWORD code) {
    setLastError(code);
    return 0;
}

} // namespace linuxhost
