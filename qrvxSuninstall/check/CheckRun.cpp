#include "check/CheckRun.h"

#include <cstdio>
#include <cstring>

#include "check/InstallCheck.h"
#include "check/KeptReport.h"
#include "check/Preflight.h"
#include "check/Verdict.h"

int RunCheck(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "forget") == 0) {
        return ForgetKeptOutcome() ? 0 : 1;
    }
    if (std::strcmp(mode, "preflight") == 0) {
        return RunPreflight();
    }
    const bool stale = std::strcmp(mode, "stale") == 0;
    if (!stale && mode[0] != '\0') {
        std::fprintf(stderr, "usage: qrvxScheck [forget | stale | preflight]\n");
        return 1603;  // ERROR_INSTALL_FAILURE: a mistaken call is never taken for success
    }
    const Verdict verdict = Decide(CheckInstalled(), stale ? KeptReport::kUnknown : ReadKeptReport());
    std::printf("%s %s\n", verdict.meaning, verdict.detail);
    return verdict.status;
}
