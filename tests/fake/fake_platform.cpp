// May use: the C++ library and the below-2-GiB allocator. Never the real system services.
#include "tests/fake/fake_platform.h"

#include "platform/calendar.h"
#include "platform/linux/low_memory.h"
#include "report/wide_format.h"
#include "snapshot/records.h"

#include <cstdarg>
#include <cstring>

namespace fake {

State& state() {
    static State s;
    return s;
}

int releaseLive() {
    int n = 0;
    for (auto& [block, size] : state().live) {
        lowmem::release(const_cast<void*>(block));
        ++n;
    }
    state().live.clear();
    return n;
}

void reset() {
    releaseLive();
    state() = State{};
}

} // namespace fake

namespace platform {
namespace {

LibraryTag* const ntdllHandle = reinterpret_cast<LibraryTag*>(std::uintptr_t{0x7C900000});

int failed(DWORD code) {
    fake::state().lastError = code;
    return 0;
}

bool sameNameIgnoringCase(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        char16_t x = *a >= u'a' && *a <= u'z' ? *a - 32 : *a;
        char16_t y = *b >= u'a' && *b <= u'z' ? *b - 32 : *b;
        if (x != y) {
            return false;
        }
        if (x == 0) {
            return true;
        }
    }
}

NTSTATUS PLATFORM_STDCALL fakeQuery(DWORD infoClass, void* buffer, DWORD bufferSize,
                                    DWORD* returnedLength) {
    auto& s = fake::state();
    int call = s.queryCalls[infoClass]++;
    s.querySizes.push_back(bufferSize);
    auto found = s.queries.find(infoClass);
    if (found == s.queries.end()) {
        return STATUS_INVALID_INFO_CLASS;
    }
    fake::QueryScript& script = found->second;
    NTSTATUS status = STATUS_SUCCESS;
    if (static_cast<std::size_t>(call) < script.statuses.size()) {
        status = script.statuses[static_cast<std::size_t>(call)];
    } else if (bufferSize < script.minimumSize) {
        status = STATUS_INFO_LENGTH_MISMATCH;
    }
    if (status != STATUS_SUCCESS || script.fixtures.empty()) {
        return status;
    }
    // The n-th success gets the n-th fixture.
    int successes = s.querySuccesses[infoClass]++;
    std::size_t index = static_cast<std::size_t>(successes) < script.fixtures.size()
                            ? static_cast<std::size_t>(successes)
                            : script.fixtures.size() - 1;
    const fake::Fixture& fixture = script.fixtures[index];
    auto* block = static_cast<unsigned char*>(buffer);
    std::size_t n = fixture.bytes.size() < bufferSize ? fixture.bytes.size() : bufferSize;
    if (n != 0) {
        std::memcpy(block, fixture.bytes.data(), n);
    }
    for (std::uint32_t at : fixture.relocations) {
        if (at + 4 <= n) {
            std::uint32_t offset = ntsnap::read32(block + at);
            ntsnap::storePointer32(block + at, block + offset);
        }
    }
    *returnedLength = static_cast<DWORD>(n);
    return STATUS_SUCCESS;
}

} // namespace

BOOL GetVersionExW(OSVersionInfoW* info) {
    auto& s = fake::state();
    if (s.versionFails) {
        return failed(s.versionError);
    }
    if (info->dwOSVersionInfoSize != sizeof(OSVersionInfoW)) {
        return failed(ERROR_INSUFFICIENT_BUFFER);
    }
    info->dwMajorVersion = s.majorVersion;
    info->dwMinorVersion = 0;
    info->dwBuildNumber = 2195;
    info->dwPlatformId = s.platformId;
    return 1;
}

HMODULE LoadLibraryW(const char16_t* name) {
    auto& s = fake::state();
    if (s.libraryFails || !sameNameIgnoringCase(name, u"NTDLL.DLL")) {
        failed(s.libraryFails ? s.libraryError : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ++s.libraryLoads;
    return ntdllHandle;
}

FARPROC GetProcAddress(HMODULE library, const char* name) {
    auto& s = fake::state();
    if (s.entryPointFails || library != ntdllHandle ||
        std::strcmp(name, "NtQuerySystemInformation") != 0) {
        failed(s.entryPointFails ? s.entryPointError : ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(&fakeQuery);
}

BOOL FreeLibrary(HMODULE library) {
    auto& s = fake::state();
    if (library != ntdllHandle) {
        return failed(ERROR_INVALID_PARAMETER);
    }
    ++s.libraryReleases;
    s.log.push_back({fake::Event::freeLibrary, library, 0});
    return 1;
}

HLOCAL LocalAlloc(DWORD flags, DWORD bytes) {
    auto& s = fake::state();
    ++s.allocCalls;
    if (s.allocCalls == s.allocFailsAt || (flags & ~LMEM_ZEROINIT) != 0) {
        failed(s.allocError);
        return nullptr;
    }
    void* block = lowmem::allocate(bytes);
    if (block == nullptr) {
        failed(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    s.live[block] = bytes;
    s.log.push_back({fake::Event::alloc, block, bytes});
    return block;
}

HLOCAL LocalFree(HLOCAL block) {
    auto& s = fake::state();
    auto found = s.live.find(block);
    if (found == s.live.end()) {
        ++s.doubleReleases;
        s.log.push_back({fake::Event::doubleRelease, block, 0});
        failed(ERROR_INVALID_PARAMETER);
        return block;
    }
    s.log.push_back(
        {found->second == 0xFFFFFFFFu ? fake::Event::messageRelease : fake::Event::release, block,
         found->second});
    s.live.erase(found);
    lowmem::release(block);
    return nullptr;
}

void Sleep(DWORD) {
    ++fake::state().sleeps;
}

DWORD GetLastError() {
    return fake::state().lastError;
}

DWORD FormatMessageW(DWORD flags, const void*, DWORD messageId, DWORD, char16_t* buffer, DWORD,
                     void*) {
    auto& s = fake::state();
    auto found = s.messages.find(messageId);
    if (found == s.messages.end() || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0) {
        return failed(ERROR_MR_MID_NOT_FOUND);
    }
    const std::u16string& text = found->second;
    auto* copy = static_cast<char16_t*>(lowmem::allocate((text.size() + 1) * sizeof(char16_t)));
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    // Message texts are tracked apart from blocks: the size marker tells them apart in the log.
    s.live[copy] = 0xFFFFFFFFu;
    s.log.push_back({fake::Event::message, copy, 0});
    *reinterpret_cast<char16_t**>(buffer) = copy;
    return static_cast<DWORD>(text.size());
}

BOOL FileTimeToSystemTime(const FileTime* stamp, SystemTime* utc) {
    auto& s = fake::state();
    std::uint64_t value = std::uint64_t{stamp->dwHighDateTime} << 32 | stamp->dwLowDateTime;
    if (s.fileTimeFails) {
        return failed(s.fileTimeError);
    }
    if (!calendar::stampToSystemTime(value, utc)) {
        return failed(ERROR_INVALID_PARAMETER);
    }
    return 1;
}

DWORD GetTimeZoneInformation(TimeZoneInformation* zone) {
    auto& s = fake::state();
    if (s.zoneFails) {
        failed(s.zoneError);
        return TIME_ZONE_ID_INVALID;
    }
    *zone = s.zone;
    return 0;
}

BOOL SystemTimeToTzSpecificLocalTime(const TimeZoneInformation* zone, const SystemTime* utc,
                                     SystemTime* local) {
    auto& s = fake::state();
    if (s.localTimeFails) {
        return failed(s.localTimeError);
    }
    const TimeZoneInformation& z = zone != nullptr ? *zone : s.zone;
    std::uint64_t stamp;
    if (!calendar::systemTimeToStamp(utc, &stamp)) {
        return failed(ERROR_INVALID_PARAMETER);
    }
    std::int64_t shift = -static_cast<std::int64_t>(z.Bias) * 60 * 10000000;
    if (!calendar::stampToSystemTime(stamp + static_cast<std::uint64_t>(shift), local)) {
        return failed(ERROR_INVALID_PARAMETER);
    }
    return 1;
}

int wsprintfW(char16_t* buffer, const char16_t* format, ...) {
    std::va_list args;
    va_start(args, format);
    int n = ntsnap::formatWideToBuffer(buffer, 1024, format, args);
    va_end(args);
    return n;
}

void writeStandardOutput(const char* bytes, std::size_t count) {
    auto& s = fake::state();
    ++s.consoleWrites;
    s.out.append(bytes, count);
}

} // namespace platform
