#include "app/Run.h"

#include <cstdio>

#include "adapter/ServiceUtility.h"
#include "app/ReportFlow.h"
#include "app/RunEnd.h"
#include "outcome/RunOutcome.h"
#include "outcome/RunRecord.h"
#include "app/ServiceIdentity.h"
#include "common/FixedText.h"
#include "service/ServiceManager.h"

int RunUninstall() {
    // First, before anything loads a DLL: the security packages that WinINet loads by name for TLS, and
    // whatever else is loaded later, then come from the system directory alone, never from the folder the
    // program was started in. Where Windows lacks the call, the run goes on as before.
    platform::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    CServiceManager serviceManager;
    CServiceUtility serviceUtility;
    ResetRunRecord();

    CopyText(CServiceManager::ServiceSettings.serviceName, ServiceIdentity::kName);
    CopyText(CServiceManager::ServiceSettings.displayName, ServiceIdentity::kDisplayName);
    CopyText(CServiceManager::ServiceSettings.description, ServiceIdentity::kDescription);

    std::printf("Service Uninstalled...\n");
    const DWORD removed = CServiceManager::RemoveService();
    RecordServicePhase(CServiceManager::FoundState, removed);
    ReportUninstall();
    std::printf("Service Uninstall Finished !\n");
    TellRunOutcome(g_runRecord);
    EndRun();
    return 0;
}
