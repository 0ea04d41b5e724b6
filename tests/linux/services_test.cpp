// The small services of the Linux layer: version, library and entry point, blocks, messages, last
// error, formatting into a buffer, and standard output.
#include "platform/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace platform;

TEST(Services, VersionIsNtFamilyMajorFiveOnlyForTheRightRecordSize) {
    OSVersionInfoW info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_NE(GetVersionExW(&info), 0);
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.dwMajorVersion, 5u);
    for (DWORD size : {0u, 148u, 275u, 277u, 284u}) {
        OSVersionInfoW wrong{};
        wrong.dwOSVersionInfoSize = size;
        EXPECT_EQ(GetVersionExW(&wrong), 0) << size;
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(wrong.dwMajorVersion, 0u);
    }
}

TEST(Services, LibraryNamesAndEntryPoints) {
    for (const char16_t* name : {u"NTDLL.DLL", u"ntdll.dll", u"NtDll.Dll", u"ntdll"}) {
        HMODULE library = LoadLibraryW(name);
        ASSERT_NE(library, nullptr);
        FARPROC entry = GetProcAddress(library, "NtQuerySystemInformation");
        ASSERT_NE(entry, nullptr);
        auto query = reinterpret_cast<NtQuerySystemInformationFn>(entry);
        unsigned char basic[44];
        DWORD returned = 0;
        EXPECT_EQ(query(0, basic, sizeof basic, &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, 44u);
        EXPECT_NE(FreeLibrary(library), 0);
    }
    for (const char16_t* name : {u"KERNEL32.DLL", u"NTDLL.DLLX", u"NTDL.DLL", u"", u"ntdll."}) {
        EXPECT_EQ(LoadLibraryW(name), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    }
    HMODULE library = LoadLibraryW(u"NTDLL.DLL");
    for (const char* name : {"ntquerysysteminformation", "NtQuerySystemInformationX", "NtQuery", "",
                             "NtQueryInformationProcess"}) {
        EXPECT_EQ(GetProcAddress(library, name), nullptr) << name;
        EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    }
    int notALibrary = 0;
    EXPECT_EQ(FreeLibrary(reinterpret_cast<HMODULE>(&notALibrary)), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Services, BlocksAreZeroFilledBelowTwoGigabytesAndReleasedOnce) {
    for (DWORD size : {1u, 44u, 4096u, 0x200000u}) {
        auto* block = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, size));
        ASSERT_NE(block, nullptr);
        EXPECT_LE(reinterpret_cast<std::uintptr_t>(block) + size, std::uintptr_t{1} << 31);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
        for (DWORD i = 0; i < size; i += 997) {
            ASSERT_EQ(block[i], 0);
        }
        EXPECT_EQ(block[size - 1], 0);
        EXPECT_EQ(LocalFree(block), nullptr);
        EXPECT_EQ(LocalFree(block), block); // a second release is refused
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    EXPECT_EQ(LocalAlloc(LMEM_ZEROINIT, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

std::u16string message(DWORD code, DWORD* length) {
    char16_t* text = nullptr;
    *length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0x400, reinterpret_cast<char16_t*>(&text), 0, nullptr);
    std::u16string copy = text != nullptr ? std::u16string(text) : std::u16string();
    if (text != nullptr) {
        EXPECT_EQ(LocalFree(text), nullptr);
    }
    return copy;
}

TEST(Services, MessagesForEveryCodeTheLayerLeaves) {
    const DWORD codes[] = {0,
                           ERROR_NOT_ENOUGH_MEMORY,
                           ERROR_INVALID_PARAMETER,
                           ERROR_INSUFFICIENT_BUFFER,
                           ERROR_MOD_NOT_FOUND,
                           ERROR_PROC_NOT_FOUND,
                           ERROR_MR_MID_NOT_FOUND,
                           2,
                           5,
                           6};
    for (DWORD code : codes) {
        DWORD length = 0;
        std::u16string text = message(code, &length);
        ASSERT_GT(text.size(), 2u) << code;
        EXPECT_EQ(length, text.size());
        EXPECT_EQ(text.substr(text.size() - 2), u"\r\n") << code;
    }
    DWORD length = 0;
    EXPECT_EQ(message(ERROR_MOD_NOT_FOUND, &length),
              u"The specified module could not be found.\r\n");
    EXPECT_EQ(message(12345, &length), u"");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    // Into a caller's buffer: too small is refused.
    char16_t small[8];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MOD_NOT_FOUND, 0, small, 8,
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(Services, LastErrorBelongsToEachThread) {
    LoadLibraryW(u"MISSING.DLL");
    ASSERT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    DWORD seenThere = 0xFFFFFFFFu;
    DWORD afterFailureThere = 0;
    std::thread other([&] {
        seenThere = GetLastError();
        GetProcAddress(LoadLibraryW(u"NTDLL.DLL"), "Missing");
        afterFailureThere = GetLastError();
    });
    other.join();
    EXPECT_EQ(seenThere, 0u);
    EXPECT_EQ(afterFailureThere, ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Services, WsprintfFormatsIntoTheBuffer) {
    char16_t buffer[1024];
    EXPECT_EQ(wsprintfW(buffer, u"%5lu|%-4s|%08X", 42u, u"ab", 0xBEEFu), 19);
    EXPECT_EQ(std::u16string(buffer), u"   42|ab  |0000BEEF");
}

TEST(Services, FileTimeToSystemTimeGivesUtcFieldsOrRefuses) {
    // 2024-02-29 13:45:30.123 UTC, a Thursday.
    const std::uint64_t stamp = (13353687930ull * 1000 + 123) * 10000;
    FileTime ft{static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
    SystemTime st{};
    ASSERT_NE(FileTimeToSystemTime(&ft, &st), 0);
    EXPECT_EQ(st.wYear, 2024);
    EXPECT_EQ(st.wMonth, 2);
    EXPECT_EQ(st.wDay, 29);
    EXPECT_EQ(st.wDayOfWeek, 4);
    EXPECT_EQ(st.wHour, 13);
    EXPECT_EQ(st.wMinute, 45);
    EXPECT_EQ(st.wSecond, 30);
    EXPECT_EQ(st.wMilliseconds, 123);
    FileTime tooLate{0, 0x80000000u};
    EXPECT_EQ(FileTimeToSystemTime(&tooLate, &st), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Runs `body` in a child whose standard output is the write end of a pipe; returns the child's
// wait status and, through `readEnd`, the pipe's read end.
int inChildWithPipe(void (*body)(int readEnd), int* readEnd) {
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    // What the test program itself has buffered must not reach the child's pipe.
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        close(ends[1]);
        body(ends[0]);
        std::exit(0);
    }
    close(ends[1]);
    *readEnd = ends[0];
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// The buffering of standard output is only what it is in a program that has not written to it
// yet, which the test program has. So this test runs the test program again, and this check,
// made before main, takes over that fresh process: it writes through the service while it
// watches the pipe, and tells by its exit status what it saw.
const int bufferingProbe = [] {
    const char* readFd = std::getenv("NTSNAP_OUTPUT_PROBE");
    if (readFd == nullptr) {
        return 0;
    }
    const int ends = std::atoi(readFd);
    fcntl(ends, F_SETFL, O_NONBLOCK);
    char probe[8192];
    writeStandardOutput("abc", 3);
    // Nothing has reached the pipe yet.
    if (read(ends, probe, sizeof probe) != -1) {
        std::_Exit(20);
    }
    // Pieces of at most 1024 bytes, as print hands them over.
    char chunk[1000];
    std::memset(chunk, 'x', sizeof chunk);
    for (int i = 0; i < 5; ++i) {
        writeStandardOutput(chunk, sizeof chunk);
    }
    // One full buffer went out; the rest waits for the end of the program.
    if (read(ends, probe, sizeof probe) != 4096) {
        std::_Exit(21);
    }
    std::exit(0);
}();

TEST(Services, OutputOnAPipeIsGatheredInBlocksOf4096Bytes) {
    int readEnd = -1;
    int status = inChildWithPipe(
        [](int ends) {
            const std::string fd = std::to_string(ends);
            setenv("NTSNAP_OUTPUT_PROBE", fd.c_str(), 1);
            execl("/proc/self/exe", "ntsnap_linux_tests", static_cast<char*>(nullptr));
            std::_Exit(30);
        },
        &readEnd);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    char rest[8192];
    EXPECT_EQ(read(readEnd, rest, sizeof rest), 3 + 5000 - 4096);
    close(readEnd);
}

TEST(Services, OutputThatCannotBeWrittenIsDroppedAndTheProgramGoesOn) {
    int readEnd = -1;
    int status = inChildWithPipe(
        [](int ends) {
            close(ends); // nobody reads any more
            static char chunk[10000];
            writeStandardOutput(chunk, sizeof chunk);
            writeStandardOutput("after", 5);
            std::exit(9);
        },
        &readEnd);
    close(readEnd);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 9);
}

} // namespace
