#include "tests/linux/real_machine.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace realmachine {

namespace {
int readyWrite = -1;
int commandRead = -1;
} // namespace

Child::Child(std::function<void()> body) {
    int readyPipe[2];
    int commandPipe[2];
    if (pipe(readyPipe) != 0 || pipe(commandPipe) != 0) {
        std::abort();
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(0);
        }
        close(readyPipe[0]);
        close(commandPipe[1]);
        readyWrite = readyPipe[1];
        commandRead = commandPipe[0];
        body();
        _exit(0);
    }
    close(readyPipe[1]);
    close(commandPipe[0]);
    commandWrite_ = commandPipe[1];
    char byte;
    while (read(readyPipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(readyPipe[0]);
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    close(commandWrite_);
}

void Child::command() const {
    char byte = 1;
    if (write(commandWrite_, &byte, 1) != 1) {
        std::abort();
    }
}

void Child::ready() {
    char byte = 1;
    if (write(readyWrite, &byte, 1) != 1) {
        _exit(2);
    }
}

void Child::awaitCommand() {
    char byte;
    while (read(commandRead, &byte, 1) < 0 && errno == EINTR) {
    }
}

platform::NtQuerySystemInformationFn nativeQuery() {
    return reinterpret_cast<platform::NtQuerySystemInformationFn>(
        platform::GetProcAddress(platform::LoadLibraryW(u"NTDLL.DLL"), "NtQuerySystemInformation"));
}

Reading::Reading(std::uint32_t size) {
    block_.base = static_cast<unsigned char*>(platform::LocalAlloc(platform::LMEM_ZEROINIT, size));
    block_.size = size;
    status_ = nativeQuery()(ntsnap::InfoClass::process, block_.base, size, &returned_);
}

Reading::~Reading() {
    platform::LocalFree(block_.base);
}

const unsigned char* Reading::process(std::uint32_t pid) const {
    const unsigned char* entry = nullptr;
    if (status_ != platform::STATUS_SUCCESS || !ntsnap::findProcess(block_, pid, &entry)) {
        return nullptr;
    }
    return entry;
}

const unsigned char* Reading::thread(std::uint32_t pid, std::uint32_t tid) const {
    const unsigned char* entry = process(pid);
    const unsigned char* threads = nullptr;
    std::uint32_t count = 0;
    if (entry == nullptr || !ntsnap::threadArray(block_, entry, 5, &threads, &count)) {
        return nullptr;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned char* t = threads + i * ntsnap::ThreadRecord::size;
        if (ntsnap::read32(t + ntsnap::ThreadRecord::threadId) == tid) {
            return t;
        }
    }
    return nullptr;
}

std::set<std::uint32_t> Reading::threadIds(std::uint32_t pid) const {
    std::set<std::uint32_t> ids;
    const unsigned char* entry = process(pid);
    const unsigned char* threads = nullptr;
    std::uint32_t count = 0;
    if (entry != nullptr && ntsnap::threadArray(block_, entry, 5, &threads, &count)) {
        for (std::uint32_t i = 0; i < count; ++i) {
            ids.insert(ntsnap::read32(threads + i * ntsnap::ThreadRecord::size +
                                      ntsnap::ThreadRecord::threadId));
        }
    }
    return ids;
}

std::u16string Reading::name(std::uint32_t pid) const {
    const unsigned char* entry = process(pid);
    const char16_t* text = entry != nullptr ? ntsnap::imageName(block_, entry) : nullptr;
    return text != nullptr ? std::u16string(text) : std::u16string(u"(null)");
}

std::set<std::uint32_t> tasksOf(pid_t pid) {
    std::set<std::uint32_t> ids;
    std::string path = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return ids;
    }
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') {
            ids.insert(static_cast<std::uint32_t>(std::strtoul(e->d_name, nullptr, 10)));
        }
    }
    closedir(dir);
    return ids;
}

std::string checkLayout(const ntsnap::Block& block) {
    namespace PR = ntsnap::ProcessRecord;
    const unsigned char* entry = nullptr;
    std::set<std::uint32_t> seen;
    const unsigned char* last = nullptr;
    int index = 0;
    for (int more = ntsnap::firstProcess(block, &entry); more;
         more = ntsnap::nextProcess(block, entry, &entry), ++index) {
        const auto at = static_cast<std::uint32_t>(entry - block.base);
        last = entry;
        const std::uint32_t pid = ntsnap::read32(entry + PR::processId);
        const std::string where =
            "entry " + std::to_string(index) + " (pid " + std::to_string(pid) + ")";
        if (at % 8 != 0) {
            return where + " is not 8-byte aligned";
        }
        if ((index == 0) != (pid == 0)) {
            return where + ": the idle process must come first and only there";
        }
        if (!seen.insert(pid).second) {
            return where + " appears twice";
        }
        const std::uint32_t declared = ntsnap::read32(entry + PR::threadCount);
        const unsigned char* threads = nullptr;
        std::uint32_t count = 0;
        ntsnap::threadArray(block, entry, 5, &threads, &count);
        if (count != declared) {
            return where + ": thread array reaches past the block";
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            const unsigned char* t = threads + i * ntsnap::ThreadRecord::size;
            if (ntsnap::read32(t + ntsnap::ThreadRecord::ownerProcessId) != pid) {
                return where + ": a thread names another owner";
            }
        }
        const void* stored = ntsnap::loadPointer32(entry + PR::imageNameBuffer);
        const char16_t* name = ntsnap::imageName(block, entry);
        if (pid != 0) {
            const unsigned char* expected = entry + PR::threadsVersion5 + count * 64;
            if (stored != expected || name == nullptr) {
                return where + ": name is not right after the thread array";
            }
        } else if (stored != nullptr) {
            return where + ": the idle process has a name";
        }
        const std::uint32_t next = ntsnap::read32(entry + PR::nextEntryOffset);
        if (next != 0 && next % 8 != 0) {
            return where + ": next entry offset not a multiple of 8";
        }
        if (next == 0 && at + PR::threadsVersion5 + count * 64u > block.size) {
            return where + ": last entry reaches past the block";
        }
    }
    if (index == 0) {
        return "no entry";
    }
    if (ntsnap::read32(last + PR::nextEntryOffset) != 0) {
        return "the chain runs past the block";
    }
    return "";
}

} // namespace realmachine
