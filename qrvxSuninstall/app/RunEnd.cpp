#include "app/RunEnd.h"

#include <cstdio>

#include "platform/Win32.h"
#include "transport/HttpRequest.h"

void EndRun(UINT exitStatus) {
    if (!ExchangeStillRunning()) {
        return;
    }
    // Returning from main would make the runtime call ExitProcess, which ends the other threads wherever
    // they are and then runs every DLL's detach code: WinINet's may wait for a lock that the thread it ended
    // held. TerminateProcess runs no detach code, and flushes nothing either.
    std::fflush(stdout);
    platform::TerminateProcess(platform::GetCurrentProcess(), exitStatus);
}
