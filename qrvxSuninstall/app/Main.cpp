// qrvxSuninstall: takes the Quorvex service off this machine, then tells the management server.
#include <cstdio>

#include "adapter/ServiceUtility.h"
#include "app/ReportFlow.h"
#include "app/RunEnd.h"
#include "app/ServiceIdentity.h"
#include "common/FixedText.h"
#include "service/ServiceManager.h"

int main(int /*argc*/, char** /*argv*/) {
    CServiceManager serviceManager;
    CServiceUtility serviceUtility;

    CopyText(CServiceManager::ServiceSettings.serviceName, ServiceIdentity::kName);
    CopyText(CServiceManager::ServiceSettings.displayName, ServiceIdentity::kDisplayName);
    CopyText(CServiceManager::ServiceSettings.description, ServiceIdentity::kDescription);

    std::printf("Service Uninstalled...\n");
    CServiceManager::RemoveService();
    ReportUninstall();
    std::printf("Service Uninstall Finished !\n");
    EndRun();
    return 0;
}
