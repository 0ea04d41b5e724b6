#include "run/query.h"

#include "report/print.h"
#include "run/probe.h"

namespace ntsnap {

platform::NtQuerySystemInformationFn ntQuerySystemInformation = nullptr;

void releaseBlock(Block* pBuffer) {
    if (pBuffer->base != nullptr) {
        platform::LocalFree(pBuffer->base);
        pBuffer->base = nullptr;
        pBuffer->size = 0;
    }
}

int systemInfo(std::uint32_t infoClass, Block* pBuffer, std::uint32_t initialSize) {
    if (ntQuerySystemInformation == nullptr) {
        print(u"systemInfo, probe 10: %s not loaded\n", u"NtQuerySystemInformation");
        return 0;
    }
    std::uint32_t size = initialSize;
    for (;;) {
        pBuffer->base =
            static_cast<unsigned char*>(platform::LocalAlloc(platform::LMEM_ZEROINIT, size));
        pBuffer->size = pBuffer->base != nullptr ? size : 0;
        if (pBuffer->base == nullptr) {
            platform::DWORD code = platform::GetLastError();
            print(u"systemInfo, probe 20: LocalAlloc: (%lu) %s\n", code, errorText(code));
            return 0;
        }
        platform::DWORD returned = 0;
        platform::NTSTATUS status =
            ntQuerySystemInformation(infoClass, pBuffer->base, size, &returned);
        if (status == platform::STATUS_SUCCESS) {
            return 1;
        }
        if (status != platform::STATUS_INFO_LENGTH_MISMATCH) {
            print(u"systemInfo, probe 30: NTSTATUS 0x%XL\n", status);
            releaseBlock(pBuffer);
            return 0;
        }
        releaseBlock(pBuffer);
        size *= 2;
        if (size > queryCeiling) {
            print(u"systemInfo, probe 40: buffer too large (%lu), NTSTATUS 0x%XL\n", size,
                  platform::STATUS_INFO_LENGTH_MISMATCH);
            return 0;
        }
    }
}

} // namespace ntsnap
