// The texts of the report columns: a time stamp as local date and time, a CPU time as seconds,
// thread state and wait reason codes as names.
//
// They never print and never fail outward: a bad argument or a failing time service gives a short
// text in parentheses in place of the value, so the row is printed all the same. Each returns
// either outBuf, written with a NUL-terminated text of at most 24 characters, or a constant text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ntsnap {

// The size of the callers' text buffers, in characters.
constexpr std::size_t outBufLength = 60;

// The local date and time of the 64-bit stamp at pStamp, "YYYY-MM-DD hh:mm:ss.mmm", written into
// outBuf. A stamp of 0 gives the constant "(null)"; a null outBuf gives "(10: error: outBuf null)".
// When the stamp cannot be converted, the zone cannot be read or the local time cannot be worked
// out, outBuf holds "(20: error N)", "(30: error N)" or "(40: error N)" with the last error code.
const char16_t* formatTime(const unsigned char* pStamp, char16_t* outBuf);

// The 64-bit time at pTime (100 ns units) as whole seconds and milliseconds, "S.mmm", written into
// outBuf; the milliseconds wrap at 2^32, so the text has at most 11 characters. A time of 0 gives
// the constant "0.000"; a null outBuf gives "(10: error: outBuf null)".
const char16_t* formatDuration(const unsigned char* pTime, char16_t* outBuf);

// The name of a thread state or wait reason code, copied into outBuf ("Default" past the end of
// the table). A null outBuf gives the constant "(10: outBuf null)".
const char16_t* threadStateName(std::uint32_t code, char16_t* outBuf);
const char16_t* waitReasonName(std::uint32_t code, char16_t* outBuf);

} // namespace ntsnap
