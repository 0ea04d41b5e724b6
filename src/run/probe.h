// The command line, the platform probe and the run sequence.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace ntsnap {

// Which reports a run writes; both when no option matched.
struct Switches {
    std::uint32_t showProcs;
    std::uint32_t showThreads;
};

// "/p" or "/P" asks for the process report, "/t" or "/T" for the thread reports; anything else is
// ignored. Always returns 1.
int parseOptions(int argc, const char* const* argv, Switches* pSwitches);

// Returns 1 and stores the major version when the platform is of the NT family; else prints its
// probe line, stores 0 and returns 0.
int systemVer(std::uint32_t* pMajor);

// Loads the native library. Returns 1 with the handle, or prints its probe line, stores null and
// returns 0.
int loadNTLib(platform::HMODULE* pLibrary);

// Looks up the native query into ntQuerySystemInformation. Returns 1, or prints its probe line and
// returns 0 with the slot empty.
int loadNTFuncs(platform::HMODULE library);

// The system's message text for an error code, as the platform gives it (usually ending in CR LF),
// or null when it has none. The text lives in a buffer of this function until the next call.
const char16_t* errorText(std::uint32_t code);

// The whole run: options, probe, two readings one second apart, the reports, release of
// everything. Returns 0 when every step succeeded, else -1.
int ntsnapMain(int argc, const char* const* argv);

} // namespace ntsnap
