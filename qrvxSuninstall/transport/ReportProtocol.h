// The three exchanges with the management server, each a POST answered by a single word.
#pragma once

#include "transport/HttpRequest.h"

// The run's one client, set by the report flow before the first exchange and kept to the end.
extern CHttpRequest* g_pHttpRequest;

// Is the server there: "CONNECTED".
bool ConnectCheck();
// Is this adapter address (17 characters) registered: "REGISTERED".
bool RegisterCheck(const char* address);
// Records the uninstall for the reported adapter address of g_pReportSettings: "TRUE".
bool MessagePost();
