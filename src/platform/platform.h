// The operating system services that ntsnap calls, and nothing else.
//
// The core reaches the system only through this header. Each target supplies one implementation,
// chosen by the build at link time:
//   src/platform/win32.cpp    thin calls of the real Windows services (32-bit build)
//   src/platform/linux/       the same services emulated from /proc and the C library
//   tests/fake/               a scripted stand-in that every unit test links
// Linking two of them gives duplicate symbols and linking none gives undefined ones, so the linker
// keeps the one-implementation rule.
//
// The services keep their Windows names and argument order so that the calling code reads like the
// system it was written for. Every service that can fail says what it returns then and which code
// the next GetLastError() yields; codes are the Windows error numbers named below.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define PLATFORM_STDCALL __stdcall
#else
#define PLATFORM_STDCALL
#endif

namespace platform {

using DWORD = std::uint32_t;
using BOOL = int;
using NTSTATUS = std::uint32_t; // kept unsigned: every value but 0 and 0xC0000004 is an error
using HLOCAL = void*;
struct LibraryTag;
using HMODULE = LibraryTag*;
using FARPROC = void (*)();

// The native query, as reached through GetProcAddress(..., "NtQuerySystemInformation").
using NtQuerySystemInformationFn = NTSTATUS(PLATFORM_STDCALL*)(DWORD infoClass, void* buffer,
                                                               DWORD bufferSize,
                                                               DWORD* returnedLength);

// Error codes the implementations leave behind.
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

// Status values of the native query.
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_INVALID_INFO_CLASS = 0xC0000003u;
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = 0xC0000004u;

constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
constexpr DWORD LMEM_ZEROINIT = 0x40; // LMEM_FIXED is 0
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFFu;

struct OSVersionInfoW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char16_t szCSDVersion[128];
};
static_assert(sizeof(OSVersionInfoW) == 276);

struct FileTime {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SystemTime {
    std::uint16_t wYear;
    std::uint16_t wMonth;
    std::uint16_t wDayOfWeek;
    std::uint16_t wDay;
    std::uint16_t wHour;
    std::uint16_t wMinute;
    std::uint16_t wSecond;
    std::uint16_t wMilliseconds;
};

// Bias fields are minutes, UTC = local time + bias. A zero wMonth in StandardDate means the zone
// has no daylight rule. A zero wYear in a date means a yearly rule: wDay is the week of the month
// (5 = last) and wDayOfWeek the weekday on which the change happens at wHour:wMinute local time.
struct TimeZoneInformation {
    std::int32_t Bias;
    char16_t StandardName[32];
    SystemTime StandardDate;
    std::int32_t StandardBias;
    char16_t DaylightName[32];
    SystemTime DaylightDate;
    std::int32_t DaylightBias;
};
static_assert(sizeof(TimeZoneInformation) == 172);

// Fills the version record. Fails (returns 0) when dwOSVersionInfoSize is not 276, leaving
// ERROR_INSUFFICIENT_BUFFER, or with the code of whatever kept the system from answering.
BOOL GetVersionExW(OSVersionInfoW* info);

// Loads a library by name. Returns null on failure, leaving ERROR_MOD_NOT_FOUND for an unknown
// name.
HMODULE LoadLibraryW(const char16_t* name);

// Looks up an entry point. Returns null on failure, leaving ERROR_PROC_NOT_FOUND for an unknown
// name.
FARPROC GetProcAddress(HMODULE library, const char* name);

// Releases a library; returns 0 and leaves ERROR_INVALID_PARAMETER for a handle it never gave out.
BOOL FreeLibrary(HMODULE library);

// A fixed block of `bytes` bytes, zero-filled when flags has LMEM_ZEROINIT. Returns null on
// failure, leaving ERROR_NOT_ENOUGH_MEMORY. The block's address and its whole extent lie below
// 2 GiB, so 32-bit pointer fields can point into it.
HLOCAL LocalAlloc(DWORD flags, DWORD bytes);

// Releases a block from LocalAlloc (or a text that FormatMessageW allocated). Returns null on
// success; returns the block and leaves ERROR_INVALID_PARAMETER when it does not know the block.
HLOCAL LocalFree(HLOCAL block);

void Sleep(DWORD milliseconds);

// The code left by the last failing service call on this thread.
DWORD GetLastError();

// The system's message text for messageId. With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is taken
// as a char16_t** that receives a text allocated for the caller (release it with LocalFree).
// Returns the text's length in characters, or 0 on failure (ERROR_MR_MID_NOT_FOUND for an unknown
// code). Texts end in "\r\n", as the system's own do.
DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     char16_t* buffer, DWORD size, void* arguments);

// UTC calendar fields of a time stamp (100 ns units since 1601-01-01). Returns 0 on failure
// (ERROR_INVALID_PARAMETER for a stamp at or past 2^63).
BOOL FileTimeToSystemTime(const FileTime* stamp, SystemTime* utc);

// The machine's current time zone. Returns TIME_ZONE_ID_INVALID on failure, else 0 (no daylight
// rule), 1 (standard time in force) or 2 (daylight time in force).
DWORD GetTimeZoneInformation(TimeZoneInformation* zone);

// Local calendar fields of a UTC time under `zone` (the machine's zone when null), with the
// daylight rule in force on that date. Returns 0 on failure (ERROR_INVALID_PARAMETER).
BOOL SystemTimeToTzSpecificLocalTime(const TimeZoneInformation* zone, const SystemTime* utc,
                                     SystemTime* local);

// Formats into `buffer` (at most 1024 characters with the NUL, as the system's own does) and
// returns the number of characters written without the NUL. Conversions: see report/wide_format.h.
int wsprintfW(char16_t* buffer, const char16_t* format, ...);

// The C library's side of standard output: `count` bytes, written as they stand (line ends are
// already CR LF). On a console they go out before the call returns; on a file or a pipe they are
// gathered in a 4096-byte buffer written when full and at exit. A failed write is dropped.
void writeStandardOutput(const char* bytes, std::size_t count);

} // namespace platform
