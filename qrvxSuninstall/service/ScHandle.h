// A Service Control Manager handle that closes itself.
#pragma once

#include "platform/Win32.h"

class ScHandle {
  public:
    ScHandle() = default;
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ~ScHandle() { Reset(); }

    SC_HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

    // Takes ownership of `handle`, closing the one held before. Closing must not overwrite the error of
    // the call that failed before it.
    void Reset(SC_HANDLE handle = nullptr) {
        if (m_handle != nullptr) {
            DWORD lastError = platform::GetLastError();
            platform::CloseServiceHandle(m_handle);
            platform::SetLastError(lastError);
        }
        m_handle = handle;
    }

  private:
    SC_HANDLE m_handle = nullptr;
};

// The service handle and the manager handle that an operation holds together; the service handle is
// always closed first.
struct HandlePair {
    ScHandle service;
    ScHandle manager;

    HandlePair() = default;
    HandlePair(const HandlePair&) = delete;
    HandlePair& operator=(const HandlePair&) = delete;
    ~HandlePair() { CloseHandlePair(); }

    void CloseHandlePair() {
        service.Reset();
        manager.Reset();
    }
};
