// qrvxSuninstall: takes the Quorvex service off this machine, then tells the management server.
#include <cstdio>

#include "adapter/ServiceUtility.h"
#include "app/ReportFlow.h"
#include "common/FixedText.h"
#include "service/ServiceManager.h"

namespace ServiceIdentity {
const char kName[] = "QUORVEX$TARNIKE";
const char kDisplayName[] = "Quorvex Service";
// "Quorvex 관련 서비스입니다." in code page 949, kept as bytes so the source's own encoding plays no part.
const char kDescription[] = "Quorvex \xB0\xFC\xB7\xC3 \xBC\xAD\xBA\xF1\xBD\xBA\xC0\xD4\xB4\xCF\xB4\xD9.";
}  // namespace ServiceIdentity

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
    return 0;
}
