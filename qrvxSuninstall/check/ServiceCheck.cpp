// qrvxScheck: the whole outcome of a run of qrvxSuninstall, for the launcher that deployment tools run
// (CheckRun.h). sc.exe cannot stand in for the service's half of it: its exit status for a missing service
// differs between Windows and other implementations of it, and it is the same for a failed query.
#include "check/CheckRun.h"

int main(int argc, char** argv) {
    return RunCheck(argc, argv);
}
