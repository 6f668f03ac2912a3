// One run of qrvxScheck, for the launcher that deployment tools run:
//   qrvxScheck forget   before the program: forgets the outcome the last run kept, so that it is never taken
//                       for this run's; 0 when none is kept any more, 1 otherwise
//   qrvxScheck          after it: prints one line that says the run's whole outcome, and exits with it
//                       (Verdict.h), from what the Service Control Manager says and what the run kept
//   qrvxScheck stale    the same, where forget failed: nothing kept is taken for this run's
//   qrvxScheck preflight  by an admin, before deploying: a dry run of the program (Preflight.h)
#pragma once

int RunCheck(int argc, char** argv);
