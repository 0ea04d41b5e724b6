// The platform services of the 32-bit Windows build: each one is a thin call of the real service.
//
// May use: <windows.h> and the C runtime's stdio and low-level I/O. This is the only file of the
// program that sees <windows.h>. It holds no knowledge of the native records, and it does not
// import the native query: the core looks that up at run time through GetProcAddress.
//
// platform.h comes first: <windows.h> defines many of its constant names as macros, which would
// otherwise rewrite the declarations there. After <windows.h> those names are not used here.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// The contract's records and texts are handed to the system as they stand, so they must be the
// system's own in size and layout.
static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert(sizeof(::DWORD) == sizeof(platform::DWORD));
static_assert(sizeof(::BOOL) == sizeof(platform::BOOL));
static_assert(sizeof(::LONG) == sizeof(std::int32_t));

static_assert(sizeof(OSVERSIONINFOW) == sizeof(platform::OSVersionInfoW));
static_assert(offsetof(OSVERSIONINFOW, dwMajorVersion) ==
              offsetof(platform::OSVersionInfoW, dwMajorVersion));
static_assert(offsetof(OSVERSIONINFOW, dwPlatformId) ==
              offsetof(platform::OSVersionInfoW, dwPlatformId));
static_assert(offsetof(OSVERSIONINFOW, szCSDVersion) ==
              offsetof(platform::OSVersionInfoW, szCSDVersion));

static_assert(sizeof(FILETIME) == sizeof(platform::FileTime));
static_assert(offsetof(FILETIME, dwHighDateTime) == offsetof(platform::FileTime, dwHighDateTime));

static_assert(sizeof(SYSTEMTIME) == sizeof(platform::SystemTime));
static_assert(offsetof(SYSTEMTIME, wDayOfWeek) == offsetof(platform::SystemTime, wDayOfWeek));
static_assert(offsetof(SYSTEMTIME, wMilliseconds) == offsetof(platform::SystemTime, wMilliseconds));

static_assert(sizeof(TIME_ZONE_INFORMATION) == sizeof(platform::TimeZoneInformation));
static_assert(offsetof(TIME_ZONE_INFORMATION, StandardName) ==
              offsetof(platform::TimeZoneInformation, StandardName));
static_assert(offsetof(TIME_ZONE_INFORMATION, StandardDate) ==
              offsetof(platform::TimeZoneInformation, StandardDate));
static_assert(offsetof(TIME_ZONE_INFORMATION, StandardBias) ==
              offsetof(platform::TimeZoneInformation, StandardBias));
static_assert(offsetof(TIME_ZONE_INFORMATION, DaylightName) ==
              offsetof(platform::TimeZoneInformation, DaylightName));
static_assert(offsetof(TIME_ZONE_INFORMATION, DaylightDate) ==
              offsetof(platform::TimeZoneInformation, DaylightDate));
static_assert(offsetof(TIME_ZONE_INFORMATION, DaylightBias) ==
              offsetof(platform::TimeZoneInformation, DaylightBias));

namespace platform {
namespace {

const wchar_t* wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

// Standard output carries bytes as print made them (its line ends are already CR LF), so the C
// runtime must not translate them again. A console gets every call's bytes at once; a file or a
// pipe gets them in 4096-byte pieces, the rest when the C runtime flushes its streams at exit.
bool prepareStandardOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
    ::DWORD mode = 0;
    bool console = ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    if (!console) {
        std::setvbuf(stdout, nullptr, _IOFBF, 4096);
    }
    return console;
}

} // namespace

BOOL GetVersionExW(OSVersionInfoW* info) {
    return ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(info));
}

HMODULE LoadLibraryW(const char16_t* name) {
    return reinterpret_cast<HMODULE>(::LoadLibraryW(wide(name)));
}

FARPROC GetProcAddress(HMODULE library, const char* name) {
    return reinterpret_cast<FARPROC>(::GetProcAddress(reinterpret_cast<::HMODULE>(library), name));
}

BOOL FreeLibrary(HMODULE library) {
    return ::FreeLibrary(reinterpret_cast<::HMODULE>(library));
}

HLOCAL LocalAlloc(DWORD flags, DWORD bytes) {
    return ::LocalAlloc(flags, bytes);
}

HLOCAL LocalFree(HLOCAL block) {
    return ::LocalFree(block);
}

void Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}

DWORD GetLastError() {
    return ::GetLastError();
}

DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     char16_t* buffer, DWORD size, void* arguments) {
    return ::FormatMessageW(flags, source, messageId, languageId, reinterpret_cast<LPWSTR>(buffer),
                            size, static_cast<va_list*>(arguments));
}

BOOL FileTimeToSystemTime(const FileTime* stamp, SystemTime* utc) {
    return ::FileTimeToSystemTime(reinterpret_cast<const FILETIME*>(stamp),
                                  reinterpret_cast<SYSTEMTIME*>(utc));
}

DWORD GetTimeZoneInformation(TimeZoneInformation* zone) {
    return ::GetTimeZoneInformation(reinterpret_cast<TIME_ZONE_INFORMATION*>(zone));
}

BOOL SystemTimeToTzSpecificLocalTime(const TimeZoneInformation* zone, const SystemTime* utc,
                                     SystemTime* local) {
    return ::SystemTimeToTzSpecificLocalTime(reinterpret_cast<const TIME_ZONE_INFORMATION*>(zone),
                                             reinterpret_cast<const SYSTEMTIME*>(utc),
                                             reinterpret_cast<SYSTEMTIME*>(local));
}

int wsprintfW(char16_t* buffer, const char16_t* format, ...) {
    std::va_list args;
    va_start(args, format);
    int written = ::wvsprintfW(reinterpret_cast<LPWSTR>(buffer), wide(format), args);
    va_end(args);
    return written;
}

void writeStandardOutput(const char* bytes, std::size_t count) {
    static const bool console = prepareStandardOutput();
    std::fwrite(bytes, 1, count, stdout);
    if (console) {
        std::fflush(stdout);
    }
}

} // namespace platform
