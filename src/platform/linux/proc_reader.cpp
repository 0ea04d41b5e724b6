// May use: open, openat, read, close, getdents64. Knows the text formats of /proc files, nothing
// of the native records.
#include "platform/linux/proc_reader.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace procfs {

long readFileAt(int dir, const char* name, char* buffer, std::size_t capacity) {
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    ssize_t n;
    do {
        n = read(fd, buffer, capacity - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0) {
        return -1;
    }
    buffer[n] = 0;
    return static_cast<long>(n);
}

long readWholeFileAt(int dir, const char* name, char* buffer, std::size_t capacity) {
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::size_t total = 0;
    while (total + 1 < capacity) {
        ssize_t n = read(fd, buffer + total, capacity - 1 - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            return -1;
        }
        if (n == 0) {
            break;
        }
        total += static_cast<std::size_t>(n);
    }
    close(fd);
    buffer[total] = 0;
    return static_cast<long>(total);
}

namespace {

// The head of a getdents64 record; the name follows it.
struct DirentHead {
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short recordLength;
    unsigned char type;
};

} // namespace

int forEachNumericEntry(int dir, IdVisitor visit, void* context) {
    alignas(8) char buffer[8192];
    for (;;) {
        long n = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return 0;
        }
        if (n == 0) {
            return 1;
        }
        for (long at = 0; at < n;) {
            DirentHead head;
            std::memcpy(&head, buffer + at, sizeof head);
            const char* name = buffer + at + offsetof(DirentHead, type) + 1;
            std::uint64_t id = 0;
            bool numeric = *name != 0;
            for (const char* p = name; *p != 0; ++p) {
                if (*p < '0' || *p > '9' || id > 0xFFFFFFFFu / 10) {
                    numeric = false;
                    break;
                }
                id = id * 10 + static_cast<unsigned>(*p - '0');
            }
            if (numeric && id <= 0xFFFFFFFFu) {
                visit(context, static_cast<std::uint32_t>(id));
            }
            at += head.recordLength;
        }
    }
}

std::uint64_t parseUnsigned(const char** cursor, const char* end) {
    const char* p = *cursor;
    while (p < end && (*p == ' ' || *p == '\t')) {
        ++p;
    }
    std::uint64_t value = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    *cursor = p;
    return value;
}

namespace {

std::int64_t parseSigned(const char** cursor, const char* end) {
    const char* p = *cursor;
    while (p < end && *p == ' ') {
        ++p;
    }
    bool negative = p < end && *p == '-';
    if (negative) {
        ++p;
    }
    *cursor = p;
    auto magnitude = static_cast<std::int64_t>(parseUnsigned(cursor, end));
    return negative ? -magnitude : magnitude;
}

// Moves past `count` blank-separated fields.
void skipFields(const char** cursor, const char* end, unsigned count) {
    const char* p = *cursor;
    for (unsigned i = 0; i < count; ++i) {
        while (p < end && *p == ' ') {
            ++p;
        }
        while (p < end && *p != ' ') {
            ++p;
        }
    }
    *cursor = p;
}

} // namespace

int parseStat(const char* text, std::size_t length, StatLine* line) {
    std::memset(line, 0, sizeof *line);
    const char* end = text + length;
    const char* open = static_cast<const char*>(std::memchr(text, '(', length));
    const char* close = nullptr;
    for (const char* p = end; p > text; --p) {
        if (p[-1] == ')') {
            close = p - 1;
            break;
        }
    }
    if (open == nullptr || close == nullptr || close < open || end - close < 4) {
        return 0;
    }
    line->comm = open + 1;
    line->commLength = static_cast<std::size_t>(close - open - 1);
    // Fields are numbered from 1 as proc(5) numbers them; the cursor sits before field 3.
    const char* p = close + 2;
    line->state = *p++;
    line->parentId = static_cast<std::uint32_t>(parseUnsigned(&p, end)); // 4
    skipFields(&p, end, 5);                                              // 5..9
    line->minorFaults = parseUnsigned(&p, end);                          // 10
    skipFields(&p, end, 1);
    line->majorFaults = parseUnsigned(&p, end); // 12
    skipFields(&p, end, 1);
    line->userTicks = parseUnsigned(&p, end);   // 14
    line->systemTicks = parseUnsigned(&p, end); // 15
    skipFields(&p, end, 3);                     // 16..18
    line->nice = parseSigned(&p, end);          // 19
    line->threadCount = parseUnsigned(&p, end); // 20
    skipFields(&p, end, 1);
    while (p < end && *p == ' ') {
        ++p;
    }
    if (p >= end || *p < '0' || *p > '9') {
        return 0;
    }
    line->startTicks = parseUnsigned(&p, end);       // 22
    skipFields(&p, end, 17);                         // 23..39
    line->realtimePriority = parseUnsigned(&p, end); // 40
    line->policy = parseUnsigned(&p, end);           // 41
    return 1;
}

std::uint64_t keyValue(const char* text, std::size_t length, const char* key) {
    const std::size_t keyLength = std::strlen(key);
    const char* end = text + length;
    const char* p = text;
    while (p < end) {
        if (static_cast<std::size_t>(end - p) > keyLength && std::memcmp(p, key, keyLength) == 0) {
            p += keyLength;
            return parseUnsigned(&p, end);
        }
        const char* next = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (next == nullptr) {
            break;
        }
        p = next + 1;
    }
    return 0;
}

std::uint64_t fieldValue(const char* text, std::size_t length, unsigned index) {
    const char* end = text + length;
    const char* p = text;
    skipFields(&p, end, index);
    return parseUnsigned(&p, end);
}

} // namespace procfs
