// How the run ends, once the closing line is out.
#pragma once

#include "platform/Win32.h"

// Returns, for main to return `exitStatus`, unless an exchange's thread is still blocked in WinINet: then
// the console is flushed and the process ends here with that status.
void EndRun(UINT exitStatus);
