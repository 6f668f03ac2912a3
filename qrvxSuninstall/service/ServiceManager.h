// The service this program manages: its process-wide settings, and its stop and removal through the
// local Service Control Manager.
#pragma once

#include "platform/Win32.h"

struct ServiceSettingsRecord {
    char serviceName[MAX_PATH];
    char displayName[MAX_PATH];
    char description[MAX_PATH];
    char modulePath[MAX_PATH];
    char moduleDirectory[MAX_PATH];
    DWORD desiredAccess;
    DWORD serviceType;
    DWORD startType;
    DWORD errorControl;
};

class CServiceManager {
  public:
    CServiceManager();
    virtual ~CServiceManager();

    // Fills ServiceSettings with the defaults derived from the running program.
    static void InitSettings();

    // Each returns a Win32 error code, 0 for success. InterrogateService reads the state that the Service
    // Control Manager holds for the service; it never waits on the service's own process.
    static DWORD InterrogateService(SERVICE_STATUS& status);
    static DWORD StopService();
    static DWORD RemoveService();

    static ServiceSettingsRecord ServiceSettings;
    static DWORD SettingsInitialised;
    // The state RemoveService found the service in before it acted, for the run's record: a SERVICE_* state,
    // or 0 when there was no such service or it could not be looked at.
    static DWORD FoundState;
    // Why OpenSCManagerA last failed, for the run's record, as the result says 6 whatever the system said:
    // 0 when it has not failed since RemoveService began.
    static DWORD ManagerError;
};

// Whether a service in `state` is on its way to stopped, or there: a stop request that fails then is no
// refusal, and the wait for it runs as after one that succeeded.
bool IsStoppingOrStopped(DWORD state);

// The stop wait: every look at the service after the first, and the sleeps between them, fit in this much
// of the clock, whether the service is still starting or already stopping. Only the stop request itself,
// which the Service Control Manager may hold up to its control time-out, comes on top. The first look after
// the stop request follows it at once, then one a second.
constexpr ULONGLONG kStopWaitMs = 29000;
constexpr DWORD kStopPollIntervalMs = 1000;
