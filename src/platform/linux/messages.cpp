// May use: the below-2-GiB allocator. Holds the system message table of this layer: a text for
// every code that the layer leaves and for the common ones, as the native system words them.
#include "platform/linux/last_error.h"
#include "platform/linux/low_memory.h"
#include "platform/platform.h"

#include <cstring>

namespace platform {
namespace {

struct Message {
    DWORD code;
    const char16_t* text;
};

// The texts end in CR LF, as the native ones do; callers print them as they stand.
constexpr Message messages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, u"Not enough storage is available to process this command.\r\n"},
    {14, u"Not enough storage is available to complete this operation.\r\n"},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, u"The data area passed to a system call is too small.\r\n"},
    {ERROR_MOD_NOT_FOUND, u"The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, u"The specified procedure could not be found.\r\n"},
    {ERROR_MR_MID_NOT_FOUND, u"The system cannot find message text for message number 0x%1 in "
                             u"the message file for %2.\r\n"},
};

const char16_t* findMessage(DWORD code) {
    for (const Message& m : messages) {
        if (m.code == code) {
            return m.text;
        }
    }
    return nullptr;
}

std::size_t length(const char16_t* text) {
    std::size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

} // namespace

DWORD FormatMessageW(DWORD flags, const void*, DWORD messageId, DWORD, char16_t* buffer, DWORD size,
                     void*) {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        return static_cast<DWORD>(linuxhost::failWith(ERROR_INVALID_PARAMETER));
    }
    const char16_t* text = findMessage(messageId);
    if (text == nullptr) {
        return static_cast<DWORD>(linuxhost::failWith(ERROR_MR_MID_NOT_FOUND));
    }
    const std::size_t n = length(text);
    const std::size_t bytes = (n + 1) * sizeof(char16_t);
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        // The caller releases the text with LocalFree, so it comes from the same allocator.
        auto* copy = static_cast<char16_t*>(lowmem::allocate(bytes));
        if (copy == nullptr) {
            return static_cast<DWORD>(linuxhost::failWith(ERROR_NOT_ENOUGH_MEMORY));
        }
        std::memcpy(copy, text, bytes);
        *reinterpret_cast<char16_t**>(buffer) = copy;
        return static_cast<DWORD>(n);
    }
    if (size < n + 1) {
        return static_cast<DWORD>(linuxhost::failWith(ERROR_INSUFFICIENT_BUFFER));
    }
    std::memcpy(buffer, text, bytes);
    return static_cast<DWORD>(n);
}

} // namespace platform
