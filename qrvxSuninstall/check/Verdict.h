// The launcher's exit status for the whole outcome of a run, and the line that says it in words.
#pragma once

#include "check/KeptReport.h"

struct Verdict {
    int status;
    const char* line;
};

// From what the Service Control Manager says of the service (CheckInstalled: 0 gone, 3010 going at the next
// restart, 1603 installed or not known) and what the run kept of the report:
//   0     the service is gone, and the server was told or knows none of this machine's adapters;
//   3010  the same, but the service goes at the next restart;
//   1618  the service is gone or going, but the server was not told this time: a rerun tells it;
//   1610  the service is gone or going, but qrvxconfig.ini names no server: a rerun cannot help;
//   1603  the service is still installed, or the record cannot tell what the server was told.
Verdict Decide(int installStatus, KeptReport report);
