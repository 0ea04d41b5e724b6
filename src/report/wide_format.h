// The one formatting engine behind print (standard output) and wsprintfW (a caller's buffer).
//
// Conversions, as the C library's wide printing has them:
//   %d %i %u %x %X %o %c %s %p %%, flags - + blank 0 #, a width and a precision (digits or *).
//   Size prefixes: l and h add nothing (the value is 32-bit; h cuts it to 16 bits), I64 and ll
//   take a 64-bit value. Arguments: int or unsigned for 32-bit conversions, long long or
//   unsigned long long for 64-bit ones, const char16_t* for %s (null prints "(null)"), and a
//   32-bit pointer value (std::uint32_t, not a host pointer) for %p, which prints 8 upper-case
//   hexadecimal digits without prefix.
//   %s prints the whole text even when it is longer than the width; a precision cuts it.
//   Anything else after a % is written as it stands, and a letter after a conversion is plain
//   text ("0x%XL").
#pragma once

#include <cstdarg>
#include <cstddef>

namespace ntsnap {

// Receives the formatted text piece by piece; `text` is not NUL-terminated.
using WideSink = void (*)(void* context, const char16_t* text, std::size_t count);

void formatWide(WideSink sink, void* context, const char16_t* format, std::va_list args);

// Formats into `buffer`, which holds `capacity` characters including the NUL (capacity > 0); text
// beyond that is dropped. Returns the number of characters stored before the NUL.
int formatWideToBuffer(char16_t* buffer, std::size_t capacity, const char16_t* format,
                       std::va_list args);

} // namespace ntsnap
