// The second half of the run: tell the management server that the service program is gone.
#pragma once

#include "platform/Win32.h"

// Finds the server, the first adapter it knows as registered, and posts the uninstall for it. Every
// failure ends the flow quietly.
void ReportUninstall();

// True when the server reports an adapter as registered; `wideOut` (18 units) then holds its address.
bool FindRegisteredAdapter(WCHAR* wideOut);
