// Where each run's outcome is told once the run is over: one event in the Application log, and the kept
// outcome (KeptOutcome.h) for the launcher's check and detection rules.
#pragma once

#include "outcome/RunRecord.h"

// Writes both from `record`. Either may fail, for want of rights or of the event log service: the run goes
// on all the same, and its end is as it would be without them.
void TellRunOutcome(const RunRecord& record);
