// One run of the program, start to end.
#pragma once

// Takes the service off the machine, tells the management server, prints the two lines, and tells what came
// of it all; returns 0, the exit status, whatever happened.
int RunUninstall();
