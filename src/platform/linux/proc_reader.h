// Reading /proc: one read() of a whole file into a caller's buffer, directory listings into a
// caller's buffer, and the parsers for the few formats the native query needs.
//
// Nothing here allocates: the query reads tens of thousands of small files per reading, and a heap
// allocation or a stream per file would cost more than the read itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace procfs {

// Reads `name` (relative to the directory `dir`) into `buffer` with one read() and NUL-terminates
// it. Returns the length, or -1 when the file cannot be opened or read (it vanished, or reading it
// is not permitted). A file longer than capacity - 1 is cut there.
long readFileAt(int dir, const char* name, char* buffer, std::size_t capacity);

// As readFileAt, but reads until end of file or a full buffer (for the few system-wide files
// whose text may exceed one read).
long readWholeFileAt(int dir, const char* name, char* buffer, std::size_t capacity);

// Calls visit(context, id) for each entry of the open directory `dir` whose name is a decimal
// number (a process or thread identifier). Returns 0 when the directory cannot be read.
using IdVisitor = void (*)(void* context, std::uint32_t id);
int forEachNumericEntry(int dir, IdVisitor visit, void* context);

// The fields of a stat line (of a process or of one of its threads) that the query uses.
struct StatLine {
    const char* comm; // points into the parsed text; not NUL-terminated
    std::size_t commLength;
    char state;
    std::uint32_t parentId;
    std::uint64_t minorFaults;
    std::uint64_t majorFaults;
    std::uint64_t userTicks;
    std::uint64_t systemTicks;
    std::int64_t nice;
    std::uint64_t threadCount;
    std::uint64_t startTicks;
    std::uint64_t realtimePriority;
    std::uint64_t policy;
};

// Parses a stat line. The command name is the text between the first '(' and the last ')', so a
// name that holds blanks or parentheses itself comes through whole. Returns 0 for a line that
// does not have the fields up to the starting time (fields after it may be missing and read 0).
int parseStat(const char* text, std::size_t length, StatLine* line);

// The number after "key" (e.g. "VmRSS:") at the start of a line of a "key value" file, or 0 when
// there is no such line.
std::uint64_t keyValue(const char* text, std::size_t length, const char* key);

// The unsigned number of the `index`-th (from 0) blank-separated field of a one-line text, or 0.
std::uint64_t fieldValue(const char* text, std::size_t length, unsigned index);

// Parses an unsigned decimal number at *cursor (after blanks), moving the cursor past it.
std::uint64_t parseUnsigned(const char** cursor, const char* end);

} // namespace procfs
