#include "adapter/ServiceUtility.h"

#include <cstdio>
#include <cstring>

namespace {

// An 8-byte aligned area, as the records hold pointers.
union AdapterBuffer {
    IP_ADAPTER_INFO first;
    // cppcheck-suppress unusedStructMember ; read through `first`, it gives the area its size
    unsigned char bytes[kAdapterBufferBytes];
};

// Reads the adapter list afresh; null when it cannot be read, so that no invalid chain is walked.
const IP_ADAPTER_INFO* ReadAdapterList(AdapterBuffer& buffer) {
    ULONG size = kAdapterBufferBytes;
    if (platform::GetAdaptersInfo(&buffer.first, &size) != ERROR_SUCCESS) {
        return nullptr;  // failed, no adapter (ERROR_NO_DATA), or too many to fit (ERROR_BUFFER_OVERFLOW)
    }
    return &buffer.first;
}

}  // namespace

CServiceUtility::~CServiceUtility() = default;

int CServiceUtility::GetAdapterCount() {
    AdapterBuffer buffer;
    const IP_ADAPTER_INFO* adapter = ReadAdapterList(buffer);
    int count = 0;
    for (; adapter != nullptr; adapter = adapter->Next) {
        ++count;
    }
    return count;
}

void CServiceUtility::GetAdapterAddress(WCHAR* wideOut, int index) {
    AdapterBuffer buffer;
    const IP_ADAPTER_INFO* adapter = ReadAdapterList(buffer);
    for (int i = 0; adapter != nullptr; adapter = adapter->Next, ++i) {
        const unsigned char* a = adapter->Address;
        char text[kAdapterAddressUnits];
        std::snprintf(text, sizeof(text), "%02X-%02X-%02X-%02X-%02X-%02X", a[0], a[1], a[2], a[3], a[4],
                      a[5]);
        platform::MultiByteToWideChar(CP_ACP, 0, text, kAdapterAddressUnits, wideOut, kAdapterAddressUnits);
        // The server cannot know a machine by an all-zero address: take a later adapter instead.
        if (i == index && std::strcmp(text, "00-00-00-00-00-00") != 0) {
            return;
        }
    }
}
