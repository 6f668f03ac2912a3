// qrvxScheck: the whole outcome of a run of qrvxSuninstall, for the launcher that deployment tools run:
//   qrvxScheck.exe forget   before the run: forgets the outcome the last run kept, so that it is never
//                           taken for this run's; exits 0 when none is kept any more, 1 otherwise
//   qrvxScheck.exe          after it: prints one line that says the outcome, and exits with it (Verdict.h),
//                           from what the Service Control Manager says of the service and what the run kept
//   qrvxScheck.exe stale    the same, where forget failed: whatever is kept is not taken for this run's
// sc.exe cannot stand in for the service's half: its exit status for a missing service differs between
// Windows and other implementations of it, and it is the same for a failed query.
#include <cstdio>
#include <cstring>

#include "check/InstallCheck.h"
#include "check/KeptReport.h"
#include "check/Verdict.h"

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "forget") == 0) {
        return ForgetKeptOutcome() ? 0 : 1;
    }
    const bool stale = std::strcmp(mode, "stale") == 0;
    if (!stale && mode[0] != '\0') {
        std::fprintf(stderr, "usage: qrvxScheck [forget | stale]\n");
        return 1603;  // never taken for success
    }
    const Verdict verdict = Decide(CheckInstalled(), stale ? KeptReport::kUnknown : ReadKeptReport());
    std::printf("%s\n", verdict.line);
    return verdict.status;
}
