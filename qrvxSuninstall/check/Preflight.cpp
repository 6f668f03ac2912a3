#include "check/Preflight.h"

#include <cstdio>
#include <string>

#include "app/ReportFlow.h"
#include "app/RunEnd.h"
#include "check/InstallCheck.h"
#include "check/KeptReport.h"
#include "check/Verdict.h"
#include "config/ReportConfig.h"
#include "config/ServiceIdentity.h"
#include "outcome/RunRecord.h"
#include "transport/ReportProtocol.h"

namespace {

// Kept in the record as the run keeps it, for the verdict, and printed as it ends: a server that takes its
// time is seen doing so.
void PrintExchange(ExchangeKind kind, const char* adapterAddress, const ExchangeResult& result,
                   const std::string& reply, bool yes) {
    RecordExchange(kind, adapterAddress, result, reply, yes);
    const std::string line = DescribeExchange(ListedExchange(kind, adapterAddress, result, reply, yes));
    std::printf("%s, in %.1f s.\n", line.c_str(), static_cast<double>(result.elapsedMs) / 1000.0);
    std::fflush(stdout);
}

// What the run would do to the service as it is now, and what the check would then say of it (InstallCheck.h:
// 0 gone, 3010 going at the next restart, 1603 still installed). One held open elsewhere when it is deleted
// goes at the next restart too, which cannot be known before.
int ForeseeService(const ServiceLook& look) {
    std::printf("Service %s: ", ServiceIdentity::kName);
    switch (look.found) {
        case ServiceLook::kAbsent:
            std::printf("not installed; the run would have nothing to remove.\n");
            return 0;
        case ServiceLook::kInstalled:
            std::printf("%s; the run would %s.\n", StateName(look.state),
                        look.state == SERVICE_STOPPED ? "delete it" : "stop it, then delete it");
            return 0;
        case ServiceLook::kMarkedForDeletion:
            std::printf(
                "marked for deletion already; it goes once no program holds it open, at the latest at "
                "the next restart.\n");
            return 3010;
        case ServiceLook::kNotOpened:
            break;
    }
    std::printf(
        "could not be opened as the run opens it: %s. Run this as SYSTEM, as deployment tools run "
        "the package.\n",
        DescribeError(look.error).c_str());
    return 1603;
}

// The last line: the status, then why, in words for a run that has not happened yet.
void PrintForeseen(int status, ReportOutcome outcome, bool atRestart) {
    const char* service =
        atRestart ? "remove the service, which goes at the next restart," : "remove the service";
    std::printf("%d: ", status);
    if (status == 1603) {
        std::printf(
            "a run now would leave the service installed: it could not be opened as the run opens it.\n");
        return;
    }
    switch (outcome) {
        case ReportOutcome::kTold:
            std::printf("a run now would %s and tell the management server, for network adapter %s.\n",
                        service, g_pReportSettings->reportedAdapterAddress);
            return;
        case ReportOutcome::kNotRegistered:
            std::printf(
                "a run now would %s; the management server knows none of this machine's network "
                "adapters, so there would be nothing to tell it.\n",
                service);
            return;
        case ReportOutcome::kNotTold:
            std::printf(
                "a run now would %s but not tell the management server: %s. Mend that, or try again "
                "later.\n",
                service, DescribeWhyNotTold(g_runRecord).c_str());
            return;
        case ReportOutcome::kNoServer:
            break;
    }
    std::printf("qrvxconfig.ini names no management server: %s. Mend the package.\n",
                DescribeWhyNotTold(g_runRecord).c_str());
}

}  // namespace

int RunPreflight() {
    // As the run loads them: WinINet, IP Helper and what they load from the system directory alone.
    platform::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    ResetRunRecord();
    std::printf("Dry run: nothing is removed, and the management server is told nothing.\n");
    const int installStatus = ForeseeService(LookAtService());

    PrepareReport(platform::GetTickCount64() + kReportDeadlineMs, PrintExchange);
    std::printf("%s\n", DescribeConfiguration(g_runRecord).c_str());
    if (!NamesNoServer(g_runRecord)) {
        std::printf("%s\n", DescribeClientAddress(*g_pHttpRequest).c_str());
    }
    const bool registered = FindReportedAdapter();
    if (registered) {
        std::printf("Quorvex/message_post.php, adapter %s: not sent, in a dry run.\n",
                    g_pReportSettings->reportedAdapterAddress);
    }

    const ReportOutcome outcome = registered ? ReportOutcome::kTold : GetReportOutcome(g_runRecord);
    const Verdict verdict = Decide(installStatus, KeptReportOf(outcome));
    PrintForeseen(verdict.status, outcome, installStatus == 3010);
    EndRun(static_cast<UINT>(verdict.status));
    return verdict.status;
}
