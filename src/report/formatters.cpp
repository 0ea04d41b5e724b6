#include "report/formatters.h"

#include "platform/platform.h"
#include "snapshot/records.h"

namespace ntsnap {
namespace {

const char16_t* const threadStates[] = {u"Init",       u"Ready",   u"Running",    u"Standby",
                                        u"Terminated", u"Waiting", u"Transition", u"Unknown"};

const char16_t* const waitReasons[] = {
    u"Executive",   u"FreePage",    u"PageIn",      u"PoolAlloc", u"DelayExec",   u"Suspended",
    u"UsrRqst",     u"WrExecutive", u"WrFreePage",  u"WrPageIn",  u"WrPoolAlloc", u"WrDelayExec",
    u"WrSuspended", u"WrUsrRqst",   u"WrEventPair", u"WrQueue",   u"WrLpcRcv",    u"WrLpcReply",
    u"WrVirtMem",   u"WrPageOut",   u"WrRendezvs",  u"Spare2",    u"Spare3",      u"Spare4",
    u"Spare5",      u"Spare6",      u"WrKernel",    u"MaxWaitRsn"};

template <std::size_t N>
const char16_t* nameOf(const char16_t* const (&table)[N], std::uint32_t code, char16_t* outBuf) {
    if (outBuf == nullptr) {
        return u"(10: outBuf null)";
    }
    // Unsigned, so a code that is negative taken as signed is past the end too.
    const char16_t* name = code < N ? table[code] : u"Default";
    std::size_t n = 0;
    for (; name[n] != 0 && n + 1 < outBufLength; ++n) {
        outBuf[n] = name[n];
    }
    outBuf[n] = 0;
    return outBuf;
}

unsigned widen(std::uint16_t field) {
    return field;
}

} // namespace

const char16_t* formatTime(const unsigned char* pStamp, char16_t* outBuf) {
    if (outBuf == nullptr) {
        return u"(10: error: outBuf null)";
    }
    platform::FileTime stamp{read32(pStamp), read32(pStamp + 4)};
    if (stamp.dwLowDateTime == 0 && stamp.dwHighDateTime == 0) {
        return u"(null)";
    }
    platform::SystemTime utc;
    if (!platform::FileTimeToSystemTime(&stamp, &utc)) {
        platform::wsprintfW(outBuf, u"(20: error %u)", platform::GetLastError());
        return outBuf;
    }
    // Read anew at every call: the zone or its daylight rule may change while the program runs.
    platform::TimeZoneInformation zone;
    if (platform::GetTimeZoneInformation(&zone) == platform::TIME_ZONE_ID_INVALID) {
        platform::wsprintfW(outBuf, u"(30: error %u)", platform::GetLastError());
        return outBuf;
    }
    platform::SystemTime local;
    if (!platform::SystemTimeToTzSpecificLocalTime(&zone, &utc, &local)) {
        platform::wsprintfW(outBuf, u"(40: error %u)", platform::GetLastError());
        return outBuf;
    }
    platform::wsprintfW(outBuf, u"%04u-%02u-%02u %02u:%02u:%02u.%03u", widen(local.wYear),
                        widen(local.wMonth), widen(local.wDay), widen(local.wHour),
                        widen(local.wMinute), widen(local.wSecond), widen(local.wMilliseconds));
    return outBuf;
}

const char16_t* formatDuration(const unsigned char* pTime, char16_t* outBuf) {
    if (outBuf == nullptr) {
        return u"(10: error: outBuf null)";
    }
    std::uint64_t value = read64(pTime);
    if (value == 0) {
        return u"0.000";
    }
    // Whole milliseconds from the full 64-bit value, then only their low 32 bits.
    auto ms = static_cast<std::uint32_t>(value / 10000);
    platform::wsprintfW(outBuf, u"%lu.%03lu", ms / 1000, ms % 1000);
    return outBuf;
}

const char16_t* threadStateName(std::uint32_t code, char16_t* outBuf) {
    return nameOf(threadStates, code, outBuf);
}

const char16_t* waitReasonName(std::uint32_t code, char16_t* outBuf) {
    return nameOf(waitReasons, code, outBuf);
}

} // namespace ntsnap
