// The launcher's exit status for the whole outcome of a run, and the line that says it in words.
#pragma once

#include "check/KeptReport.h"

// The line the check prints is `meaning`, the same for every case of one status, then `detail`.
struct Verdict {
    int status;
    const char* meaning;
    const char* detail;
};

// From what the Service Control Manager says of the service (CheckInstalled: 0 gone, 3010 going at the next
// restart, 1603 installed or not known) and what the run kept of the report: 0 or 3010 when the server was
// told or knows none of the adapters, 1618 when it was not told this time, 1610 when qrvxconfig.ini names no
// server, 1603 when the service is still installed or no record tells; each in words in Verdict.cpp.
Verdict Decide(int installStatus, KeptReport report);
