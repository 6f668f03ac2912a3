#include "adapter/ServiceUtility.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// An 8-byte aligned area, as the records hold pointers.
union AdapterBuffer {
    IP_ADAPTER_INFO first;
    // cppcheck-suppress unusedStructMember ; read through `first`, it gives the area its size
    unsigned char bytes[kAdapterBufferBytes];
};

// The adapter list as read at one moment. A list that fits is read into the fixed area on the stack; a
// longer one is read again into a buffer of the size the platform asks for.
class AdapterList {
  public:
    AdapterList() : m_first(Read()) {}
    AdapterList(const AdapterList&) = delete;
    AdapterList& operator=(const AdapterList&) = delete;

    // Null when the list cannot be read, so that no invalid chain is walked.
    const IP_ADAPTER_INFO* First() const { return m_first; }

  private:
    const IP_ADAPTER_INFO* Read() {
        ULONG size = kAdapterBufferBytes;
        ULONG result = platform::GetAdaptersInfo(&m_fixed.first, &size);
        // Adapters may come between the call that gave the size and the one that uses it: ask again, a
        // few times.
        for (int attempt = 0; result == ERROR_BUFFER_OVERFLOW && attempt < kAdapterListRereads; ++attempt) {
            const std::size_t records = (size + sizeof(IP_ADAPTER_INFO) - 1) / sizeof(IP_ADAPTER_INFO);
            m_large.reset(new (std::nothrow) IP_ADAPTER_INFO[records]);
            if (m_large == nullptr) {
                CServiceUtility::ListError = ERROR_NOT_ENOUGH_MEMORY;
                return nullptr;
            }
            size = static_cast<ULONG>(records * sizeof(IP_ADAPTER_INFO));
            result = platform::GetAdaptersInfo(m_large.get(), &size);
            if (result == ERROR_SUCCESS) {
                CServiceUtility::ListError = ERROR_SUCCESS;
                return m_large.get();
            }
        }
        // Failed, no adapter (ERROR_NO_DATA), or still growing after the last attempt.
        CServiceUtility::ListError = result;
        return result == ERROR_SUCCESS ? &m_fixed.first : nullptr;
    }

    AdapterBuffer m_fixed;
    std::unique_ptr<IP_ADAPTER_INFO[]> m_large;
    const IP_ADAPTER_INFO* m_first;
};

void FormatAddress(const IP_ADAPTER_INFO& adapter, char (&text)[kAdapterAddressUnits]) {
    const unsigned char* a = adapter.Address;
    std::snprintf(text, sizeof(text), "%02X-%02X-%02X-%02X-%02X-%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
}

}  // namespace

DWORD CServiceUtility::ListError = ERROR_SUCCESS;

CServiceUtility::~CServiceUtility() = default;

int CServiceUtility::GetAdapterCount() {
    AdapterList list;
    int count = 0;
    for (const IP_ADAPTER_INFO* adapter = list.First(); adapter != nullptr; adapter = adapter->Next) {
        ++count;
    }
    return count;
}

void CServiceUtility::GetAdapterAddress(WCHAR* wideOut, int index) {
    AdapterList list;
    int i = 0;
    for (const IP_ADAPTER_INFO* adapter = list.First(); adapter != nullptr; adapter = adapter->Next, ++i) {
        char text[kAdapterAddressUnits];
        FormatAddress(*adapter, text);
        platform::MultiByteToWideChar(CP_ACP, 0, text, kAdapterAddressUnits, wideOut, kAdapterAddressUnits);
        // The server cannot know a machine by an all-zero address: take a later adapter instead.
        if (i == index && std::strcmp(text, "00-00-00-00-00-00") != 0) {
            return;
        }
    }
}

int CServiceUtility::GetAdapterAddresses(char (*texts)[kAdapterAddressUnits], int capacity) {
    AdapterList list;
    int count = 0;
    for (const IP_ADAPTER_INFO* adapter = list.First(); adapter != nullptr;
         adapter = adapter->Next, ++count) {
        if (count < capacity) {
            FormatAddress(*adapter, texts[count]);
        }
    }
    return count;
}
