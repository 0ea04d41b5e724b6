#include "run/probe.h"

#include "report/print.h"
#include "report/process_report.h"
#include "report/thread_report.h"
#include "run/query.h"

#include <cstring>

namespace ntsnap {

int parseOptions(int argc, const char* const* argv, Switches* pSwitches) {
    pSwitches->showProcs = 0;
    pSwitches->showThreads = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "/p") == 0 || std::strcmp(arg, "/P") == 0) {
            pSwitches->showProcs = 1;
        } else if (std::strcmp(arg, "/t") == 0 || std::strcmp(arg, "/T") == 0) {
            pSwitches->showThreads = 1;
        }
    }
    if (pSwitches->showProcs == 0 && pSwitches->showThreads == 0) {
        pSwitches->showProcs = 1;
        pSwitches->showThreads = 1;
    }
    return 1;
}

int systemVer(std::uint32_t* pMajor) {
    *pMajor = 0;
    platform::OSVersionInfoW info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!platform::GetVersionExW(&info)) {
        platform::DWORD code = platform::GetLastError();
        print(u"systemVer, probe 10: (%lu) %s\n", code, errorText(code));
        return 0;
    }
    if (info.dwPlatformId != platform::VER_PLATFORM_WIN32_NT) {
        print(u"systemVer, probe 20: sorry, your operating system is not supported\n");
        return 0;
    }
    *pMajor = info.dwMajorVersion;
    return 1;
}

int loadNTLib(platform::HMODULE* pLibrary) {
    *pLibrary = platform::LoadLibraryW(u"NTDLL.DLL");
    if (*pLibrary == nullptr) {
        platform::DWORD code = platform::GetLastError();
        print(u"loadNTLib, probe 10: %s: (%lu) %s\n", u"NTDLL.DLL", code, errorText(code));
        return 0;
    }
    return 1;
}

int loadNTFuncs(platform::HMODULE library) {
    ntQuerySystemInformation = reinterpret_cast<platform::NtQuerySystemInformationFn>(
        platform::GetProcAddress(library, "NtQuerySystemInformation"));
    if (ntQuerySystemInformation == nullptr) {
        platform::DWORD code = platform::GetLastError();
        print(u"loadNTFuncs, probe 10: %s: (%lu) %s\n", u"NtQuerySystemInformation", code,
              errorText(code));
        return 0;
    }
    return 1;
}

const char16_t* errorText(std::uint32_t code) {
    // The platform allocates the text; a copy is kept here so that nothing stays allocated.
    static char16_t copy[512];
    char16_t* text = nullptr;
    platform::DWORD length = platform::FormatMessageW(
        platform::FORMAT_MESSAGE_ALLOCATE_BUFFER | platform::FORMAT_MESSAGE_FROM_SYSTEM |
            platform::FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0x400, reinterpret_cast<char16_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        return nullptr;
    }
    std::size_t n = 0;
    while (n + 1 < sizeof copy / sizeof copy[0] && n < length && text[n] != 0) {
        copy[n] = text[n];
        ++n;
    }
    copy[n] = 0;
    platform::LocalFree(text);
    return copy;
}

namespace {

// The blocks of one run, in the order they are released.
struct Readings {
    Block basicInfo;
    Block perfOld;
    Block perfNew;
    Block procOld;
    Block procNew;
    Block todOld;
    Block todNew;
};

int firstReading(Readings* r) {
    return systemInfo(InfoClass::basic, &r->basicInfo, BasicInfoRecord::size) &&
           systemInfo(InfoClass::performance, &r->perfOld, PerformanceRecord::size) &&
           systemInfo(InfoClass::process, &r->procOld, ProcessRecord::firstRequest) &&
           systemInfo(InfoClass::timeOfDay, &r->todOld, TimeOfDayRecord::size);
}

int secondReading(Readings* r) {
    return systemInfo(InfoClass::performance, &r->perfNew, PerformanceRecord::size) &&
           systemInfo(InfoClass::process, &r->procNew, ProcessRecord::firstRequest) &&
           systemInfo(InfoClass::timeOfDay, &r->todNew, TimeOfDayRecord::size);
}

} // namespace

int ntsnapMain(int argc, const char* const* argv) {
    Switches switches;
    std::uint32_t osMajor = 0;
    platform::HMODULE library = nullptr;
    Readings r{};

    int ok = parseOptions(argc, argv, &switches) && systemVer(&osMajor) && loadNTLib(&library) &&
             loadNTFuncs(library) && firstReading(&r);
    if (ok) {
        platform::Sleep(1000);
        ok = secondReading(&r);
    }
    if (ok) {
        std::uint8_t cpuCount = read8(r.basicInfo.base + BasicInfoRecord::processorCount);
        if (switches.showProcs) {
            ok = writeProcInfo(r.procOld, r.procNew, r.todOld, r.todNew, cpuCount, osMajor);
        }
        if (ok && switches.showThreads) {
            ok = writeThreadInfo(r.procOld, r.procNew, r.todOld, r.todNew, cpuCount, osMajor);
        }
    }

    if (library != nullptr) {
        platform::FreeLibrary(library);
    }
    ntQuerySystemInformation = nullptr;
    releaseBlock(&r.basicInfo);
    releaseBlock(&r.perfOld);
    releaseBlock(&r.perfNew);
    releaseBlock(&r.procOld);
    releaseBlock(&r.procNew);
    releaseBlock(&r.todOld);
    releaseBlock(&r.todNew);
    return ok ? 0 : -1;
}

} // namespace ntsnap
