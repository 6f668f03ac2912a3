#include "check/Verdict.h"

namespace {

// Windows Installer's codes, which deployment tools read: ERROR_SUCCESS, ERROR_SUCCESS_REBOOT_REQUIRED,
// ERROR_INSTALL_ALREADY_RUNNING (their "retry"), ERROR_BAD_CONFIGURATION, ERROR_INSTALL_FAILURE.
constexpr int kDone = 0;
constexpr int kDoneAtRestart = 3010;
constexpr int kRetry = 1618;
constexpr int kBadPackage = 1610;
constexpr int kFailed = 1603;

}  // namespace

Verdict Decide(int installStatus, KeptReport report) {
    if (installStatus != kDone && installStatus != kDoneAtRestart) {
        return {kFailed,
                "Not done: the Quorvex service QUORVEX$TARNIKE is still installed. The Application log "
                "(source qrvxSuninstall) says why."};
    }
    const bool atRestart = installStatus == kDoneAtRestart;
    switch (report) {
        case KeptReport::kTold:
            return {installStatus, atRestart
                                       ? "Done: the service goes at the next restart, and the management "
                                         "server was told."
                                       : "Done: the service is gone, and the management server was told."};
        case KeptReport::kNotRegistered:
            return {installStatus, atRestart
                                       ? "Done: the service goes at the next restart; the management server "
                                         "knows none of this machine's network adapters."
                                       : "Done: the service is gone; the management server knows none of "
                                         "this machine's network adapters."};
        case KeptReport::kNotTold:
            return {kRetry,
                    "Not done: the service is gone, but the management server was not told this time. "
                    "Run this again to tell it."};
        case KeptReport::kNoServer:
            return {kBadPackage,
                    "Not done: the service is gone, but qrvxconfig.ini names no management server. "
                    "Mend the package, then run this again."};
        case KeptReport::kUnknown:
            break;
    }
    return {kFailed,
            "Not done: the service is gone, but whether the management server was told is not known: "
            "this run left no record of it."};
}
