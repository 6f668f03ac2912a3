// The outcome the last run of qrvxSuninstall kept on the machine, as the launcher's check reads it.
#pragma once

#include "outcome/KeptOutcome.h"

// After kUnknown, in the order of the run's ReportOutcome (KeptOutcome.h), whose words the record holds.
enum class KeptReport {
    kUnknown,  // no record, one that cannot be read, or one that may be another run's
    kTold,
    kNotRegistered,
    kNotTold,
    kNoServer,
};

// The kept word of `outcome`.
constexpr KeptReport KeptReportOf(ReportOutcome outcome) {
    return static_cast<KeptReport>(static_cast<int>(outcome) + 1);
}

// What the kept record says the server was told.
KeptReport ReadKeptReport();

// Removes the kept outcome, so that what the next run keeps cannot be mistaken for it; true when none is
// kept any more.
bool ForgetKeptOutcome();
