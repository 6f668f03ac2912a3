// Whether the Quorvex service is still installed, as the launcher tells deployment tools by its exit status.
#pragma once

#include "platform/Win32.h"

// What the Service Control Manager says of the service.
enum class InstallState {
    kGone,       // no such service (ERROR_SERVICE_DOES_NOT_EXIST)
    kGoing,      // marked for deletion and no longer running: it goes once the last handle to it is closed
    kInstalled,  // anything else, a query that fails included: a failure is never taken for success
};

InstallState QueryInstallState();

// The exit statuses, as deployment tools read them.
constexpr int kGoneStatus = 0;
constexpr int kGoingStatus = 3010;      // ERROR_SUCCESS_REBOOT_REQUIRED: success, gone at the next restart
constexpr int kInstalledStatus = 1603;  // ERROR_INSTALL_FAILURE

// Gives a service that is going a few seconds to go, then the exit status for what the manager says.
int CheckInstalled();

// A deleted service lingers until the last handle to it is closed, the exiting service process's own
// among them, which is a moment; one held open elsewhere (the Services console, a monitoring agent) stays
// until that handle is closed or the machine restarts.
constexpr int kSettlePolls = 50;
constexpr DWORD kSettlePollIntervalMs = 100;
