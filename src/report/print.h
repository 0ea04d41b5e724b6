// Formatted wide-text output on standard output.
#pragma once

namespace ntsnap {

// Formats as report/wide_format.h describes and writes each character as one byte: U+0000 to
// U+00FF as the byte of that value ("±" is 0xB1), anything above as '?'. Each "\n" goes out as
// CR LF. Output that cannot be written is dropped; callers never look at the result.
void print(const char16_t* format, ...);

} // namespace ntsnap
