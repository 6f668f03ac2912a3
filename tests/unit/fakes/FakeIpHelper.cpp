#include "fakes/FakeIpHelper.h"

#include <cstring>

namespace fake {

IpHelper ipHelper;

void ResetIpHelper() {
    ipHelper = IpHelper();
}

}  // namespace fake

namespace platform {

namespace {

ULONG Answer(IP_ADAPTER_INFO* adapterInfo, ULONG* sizePointer) {
    fake::IpHelper& ip = fake::ipHelper;
    const ULONG given = *sizePointer;
    const ULONG needed = static_cast<ULONG>(ip.adapters.size() * sizeof(IP_ADAPTER_INFO)) + ip.extraNeeded;
    ip.sizesPassed.push_back(given);

    ULONG result = ip.adapters.empty() ? ERROR_NO_DATA
                   : needed > given    ? ERROR_BUFFER_OVERFLOW
                                       : ERROR_SUCCESS;
    if (!ip.results.empty()) {
        if (ip.results.front() != ERROR_SUCCESS) {
            result = ip.results.front();
        }
        ip.results.pop_front();
    }
    if (result != ERROR_SUCCESS) {
        if (result == ERROR_BUFFER_OVERFLOW) {
            *sizePointer = needed;
        }
        // Wild links, so that code walking a buffer that was never filled crashes instead of reading the
        // chain an earlier call left in the same stack slot.
        std::memset(adapterInfo, 0xA5, given);
        return result;
    }
    for (std::size_t i = 0; i < ip.adapters.size(); ++i) {
        IP_ADAPTER_INFO& record = adapterInfo[i];
        std::memset(&record, 0, sizeof(record));
        record.Next = i + 1 < ip.adapters.size() ? &adapterInfo[i + 1] : nullptr;
        record.Index = static_cast<DWORD>(i + 1);
        record.AddressLength = 6;
        std::memcpy(record.Address, ip.adapters[i].data(), 6);
    }
    return ERROR_SUCCESS;
}

}  // namespace

ULONG GetAdaptersInfo(IP_ADAPTER_INFO* adapterInfo, ULONG* sizePointer) {
    ULONG result = Answer(adapterInfo, sizePointer);
    fake::IpHelper& ip = fake::ipHelper;
    if (!ip.growth.empty()) {
        for (int i = 0; i > ip.growth.front() && !ip.adapters.empty(); --i) {
            ip.adapters.pop_back();
        }
        for (int i = 0; i < ip.growth.front(); ++i) {
            ip.adapters.push_back(
                {0x02, 0x00, 0x00, 0x00, 0x01, static_cast<unsigned char>(ip.adapters.size())});
        }
        ip.growth.pop_front();
    }
    return result;
}

}  // namespace platform
