#include "app/Run.h"

#include <cstdio>

#include "adapter/ServiceUtility.h"
#include "app/ReportFlow.h"
#include "app/RunEnd.h"
#include "common/FixedText.h"
#include "config/ServiceIdentity.h"
#include "outcome/RunOutcome.h"
#include "outcome/RunRecord.h"
#include "service/ServiceManager.h"

int RunUninstall() {
    // First of the run: the security packages that WinINet loads by name for TLS, and whatever else is
    // loaded from here on, then come from the system directory alone, never from the folder the program was
    // started in. One load comes before it: the stack guard's constructor in libssp runs before main and
    // loads the crypto provider, by the full path that the provider is registered with (Microsoft asks every
    // provider for one), not by a search. Where Windows lacks the call, the run goes on as before.
    platform::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    CServiceManager serviceManager;
    CServiceUtility serviceUtility;
    ResetRunRecord();

    CopyText(CServiceManager::ServiceSettings.serviceName, ServiceIdentity::kName);
    CopyText(CServiceManager::ServiceSettings.displayName, ServiceIdentity::kDisplayName);
    CopyText(CServiceManager::ServiceSettings.description, ServiceIdentity::kDescription);

    std::printf("Service Uninstalled...\n");
    const DWORD removed = CServiceManager::RemoveService();
    RecordServicePhase(CServiceManager::FoundState, removed, CServiceManager::ManagerError);
    ReportUninstall();
    std::printf("Service Uninstall Finished !\n");
    TellRunOutcome(g_runRecord);
    EndRun(0);
    return 0;
}
