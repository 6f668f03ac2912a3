#include "check/Verdict.h"

#include <algorithm>
#include <iterator>

namespace {

// Windows Installer's codes, which deployment tools read: ERROR_SUCCESS, ERROR_SUCCESS_REBOOT_REQUIRED,
// ERROR_INSTALL_ALREADY_RUNNING (their "retry"), ERROR_BAD_CONFIGURATION, ERROR_INSTALL_FAILURE.
constexpr int kDone = 0;
constexpr int kDoneAtRestart = 3010;
constexpr int kRetry = 1618;
constexpr int kBadPackage = 1610;
constexpr int kFailed = 1603;

// What each exit status means, in the words that the launcher's comments and every guide give it: the line
// the check prints begins with them, and then says which case of it this is.
struct Meaning {
    int status;
    const char* words;
};
constexpr Meaning kMeanings[] = {
    {kDone,
     "Done: the service is gone, and the management server was told, or knows none of this machine's network "
     "adapters."},
    {kDoneAtRestart,
     "Done: the service goes at the next restart, and the management server was told, or knows none of this "
     "machine's network adapters."},
    {kRetry, "Not done: the management server was not told this time. Run this again to tell it."},
    {kBadPackage,
     "Not done: qrvxconfig.ini names no management server. Mend the package, then run this again."},
    {kFailed,
     "Not done: the service QUORVEX$TARNIKE is still installed, or what came of the run is not known."},
};

Verdict Say(int status, const char* detail) {
    const Meaning* meaning = std::find_if(std::begin(kMeanings), std::end(kMeanings),
                                          [status](const Meaning& m) { return m.status == status; });
    return {status, meaning != std::end(kMeanings) ? meaning->words : "", detail};
}

}  // namespace

Verdict Decide(int installStatus, KeptReport report) {
    if (installStatus != kDone && installStatus != kDoneAtRestart) {
        return Say(kFailed, "It is still installed: the Application log (source qrvxSuninstall) says why.");
    }
    const bool atRestart = installStatus == kDoneAtRestart;
    const char* service = atRestart ? "The service goes at the next restart." : "The service is gone.";
    switch (report) {
        case KeptReport::kTold:
            return Say(installStatus, "It was told.");
        case KeptReport::kNotRegistered:
            return Say(installStatus, "It knows none of them.");
        case KeptReport::kNotTold:
            return Say(kRetry, service);
        case KeptReport::kNoServer:
            return Say(kBadPackage, service);
        case KeptReport::kUnknown:
            break;
    }
    return Say(kFailed, atRestart
                            ? "The service goes at the next restart, but this run left no record of what "
                              "the management server was told."
                            : "The service is gone, but this run left no record of what the management "
                              "server was told.");
}
