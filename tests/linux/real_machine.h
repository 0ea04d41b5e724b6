// Helpers for the tests of the Linux layer against the real machine: children started by fork
// that the test ends itself, and readings of the process class in blocks of our own.
#pragma once

#include "platform/platform.h"
#include "snapshot/records.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace realmachine {

// A forked child running `body`; it is killed and reaped when the object goes. The child reports
// readiness by calling ready() once (the parent waits for it in start()).
class Child {
  public:
    explicit Child(std::function<void()> body);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Sends one byte the child can wait for with awaitCommand().
    void command() const;

    // In the child: tell the parent that the child is set up.
    static void ready();
    // In the child: wait for a byte from command().
    static void awaitCommand();

  private:
    pid_t pid_ = -1;
    int commandWrite_ = -1;
};

// One reading of the process class into a block below 2 GiB of `size` bytes.
class Reading {
  public:
    explicit Reading(std::uint32_t size = 0x200000);
    ~Reading();
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

    platform::NTSTATUS status() const { return status_; }
    platform::DWORD returnedLength() const { return returned_; }
    const ntsnap::Block& block() const { return block_; }
    // The entry of `pid`, or null.
    const unsigned char* process(std::uint32_t pid) const;
    // The thread entry of `tid` in the entry of `pid`, or null.
    const unsigned char* thread(std::uint32_t pid, std::uint32_t tid) const;
    std::set<std::uint32_t> threadIds(std::uint32_t pid) const;
    std::u16string name(std::uint32_t pid) const;

  private:
    ntsnap::Block block_{nullptr, 0};
    platform::NTSTATUS status_ = 0;
    platform::DWORD returned_ = 0;
};

// The native query as GetProcAddress hands it out.
platform::NtQuerySystemInformationFn nativeQuery();

// Thread identifiers listed in /proc/PID/task.
std::set<std::uint32_t> tasksOf(pid_t pid);

// Walks a block as the reports do and checks the layout this layer promises: every entry whole
// and 8-byte aligned, its name NUL-terminated right after its threads, thread owners matching.
// Returns an empty string when all holds, else what went wrong.
std::string checkLayout(const ntsnap::Block& block);

} // namespace realmachine
