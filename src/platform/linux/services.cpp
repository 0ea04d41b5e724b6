// May use: the C library (nanosleep), the below-2-GiB allocator, the formatting engine. Holds the
// small services of the contract: version, library and entry point, blocks, sleep, last error,
// text formatting into a buffer.
#include "platform/linux/last_error.h"
#include "platform/linux/low_memory.h"
#include "platform/linux/native_query.h"
#include "platform/platform.h"
#include "report/wide_format.h"

#include <time.h>

#include <cerrno>
#include <cstdarg>

namespace linuxhost {

namespace {
thread_local platform::DWORD lastError = 0;
} // namespace

void setLastError(platform::DWORD code) {
    lastError = code;
}

} // namespace linuxhost

namespace platform {

using linuxhost::failWith;

namespace {

// The one library this layer has. Its handle is the address of this object.
struct NativeLibrary {
    int unused;
};
NativeLibrary nativeLibrary;

HMODULE nativeHandle() {
    return reinterpret_cast<HMODULE>(&nativeLibrary);
}

char16_t upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

// Library names compare without regard to letter case, and a name without an extension means
// the ".DLL" one, as on the native platform.
bool isNativeLibrary(const char16_t* name) {
    static const char16_t wanted[] = u"NTDLL.DLL";
    std::size_t i = 0;
    for (; name[i] != 0; ++i) {
        if (i >= 9 || upper(name[i]) != wanted[i]) {
            return false;
        }
    }
    return i == 9 || i == 5;
}

} // namespace

BOOL GetVersionExW(OSVersionInfoW* info) {
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVersionInfoW)) {
        return failWith(ERROR_INSUFFICIENT_BUFFER);
    }
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 0;
    info->dwBuildNumber = 0;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    for (char16_t& c : info->szCSDVersion) {
        c = 0;
    }
    return 1;
}

HMODULE LoadLibraryW(const char16_t* name) {
    if (name == nullptr || !isNativeLibrary(name)) {
        failWith(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return nativeHandle();
}

FARPROC GetProcAddress(HMODULE library, const char* name) {
    if (library != nativeHandle()) {
        failWith(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    static const char wanted[] = "NtQuerySystemInformation";
    // Entry point names are compared exactly, letter case included.
    std::size_t i = 0;
    while (name != nullptr && name[i] != 0 && name[i] == wanted[i]) {
        ++i;
    }
    if (name == nullptr || name[i] != 0 || wanted[i] != 0) {
        failWith(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(&linuxhost::ntQuerySystemInformation);
}

BOOL FreeLibrary(HMODULE library) {
    if (library != nativeHandle()) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    return 1;
}

HLOCAL LocalAlloc(DWORD, DWORD bytes) {
    // Every block is zero-filled, so LMEM_ZEROINIT needs nothing further.
    void* block = lowmem::allocate(bytes);
    if (block == nullptr) {
        failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

HLOCAL LocalFree(HLOCAL block) {
    if (block == nullptr) {
        return nullptr;
    }
    if (!lowmem::release(block)) {
        failWith(ERROR_INVALID_PARAMETER);
        return block;
    }
    return nullptr;
}

void Sleep(DWORD milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal that interrupts the wait does not shorten it.
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

DWORD GetLastError() {
    return linuxhost::lastError;
}

int wsprintfW(char16_t* buffer, const char16_t* format, ...) {
    std::va_list args;
    va_start(args, format);
    int n = ntsnap::formatWideToBuffer(buffer, 1024, format, args);
    va_end(args);
    return n;
}

} // namespace platform
