// A scripted stand-in for the operating system services, linked into every unit test.
//
// A test calls fake::reset(), sets what the services should answer in fake::state(), runs the code
// under test and then reads what the services saw: calls, allocations, releases and the bytes
// written to standard output.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake {

// A block image for the native query. Each offset in `relocations` names a 32-bit field that holds
// an offset from the start of the block; the fake turns it into the address inside the block that
// the query fills, as the real service's name pointers are.
struct Fixture {
    std::vector<unsigned char> bytes;
    std::vector<std::uint32_t> relocations;
};

// How the native query answers for one information class.
struct QueryScript {
    // Answers of the first calls, in order; once they are used up, `minimumSize` decides.
    std::vector<platform::NTSTATUS> statuses;
    // Blocks of fewer bytes get STATUS_INFO_LENGTH_MISMATCH; 0 accepts every size.
    std::uint32_t minimumSize = 0;
    // Written into the block on the n-th successful call (the last one again after that); the
    // bytes that do not fit are dropped.
    std::vector<Fixture> fixtures;
};

enum class Event { alloc, release, doubleRelease, freeLibrary, message, messageRelease };

struct LogEntry {
    Event event;
    const void* block;
    std::uint32_t size;
};

struct State {
    // GetVersionExW
    bool versionFails = false;
    platform::DWORD versionError = platform::ERROR_INSUFFICIENT_BUFFER;
    platform::DWORD platformId = platform::VER_PLATFORM_WIN32_NT;
    platform::DWORD majorVersion = 5;
    // LoadLibraryW / GetProcAddress
    bool libraryFails = false;
    platform::DWORD libraryError = platform::ERROR_MOD_NOT_FOUND;
    bool entryPointFails = false;
    platform::DWORD entryPointError = platform::ERROR_PROC_NOT_FOUND;
    // LocalAlloc: the n-th call (from 1) fails; 0 never.
    int allocFailsAt = 0;
    platform::DWORD allocError = platform::ERROR_NOT_ENOUGH_MEMORY;
    // NtQuerySystemInformation, per class; a class without a script gets STATUS_INVALID_INFO_CLASS.
    std::map<std::uint32_t, QueryScript> queries;
    // FormatMessageW: the texts it knows; any other code fails with ERROR_MR_MID_NOT_FOUND.
    std::map<platform::DWORD, std::u16string> messages;
    // Time services: a failing call leaves its code. The zone is UTC + zone.Bias unless set.
    bool fileTimeFails = false;
    platform::DWORD fileTimeError = platform::ERROR_INVALID_PARAMETER;
    bool zoneFails = false;
    platform::DWORD zoneError = 1;
    bool localTimeFails = false;
    platform::DWORD localTimeError = platform::ERROR_INVALID_PARAMETER;
    platform::TimeZoneInformation zone{};

    // What the services saw.
    std::string out;       // bytes written to standard output
    int consoleWrites = 0; // calls of writeStandardOutput
    int allocCalls = 0;
    std::map<std::uint32_t, int> queryCalls;     // per class
    std::map<std::uint32_t, int> querySuccesses; // per class
    std::vector<std::uint32_t> querySizes;       // every size passed, in order
    std::vector<LogEntry> log;                   // blocks and library, in order
    std::map<const void*, std::uint32_t> live;   // blocks not yet released
    int doubleReleases = 0;
    int libraryLoads = 0;
    int libraryReleases = 0;
    int sleeps = 0;
    platform::DWORD lastError = 0;
};

State& state();

// Forgets every script and observation, releasing blocks that are still live.
void reset();

// Releases and forgets blocks still live (so that a test's leak shows in `live`, not in the
// leak checker). Returns how many there were.
int releaseLive();

} // namespace fake
