// The three exchanges with the management server, each a POST answered by a single word.
#pragma once

#include <string>

#include "transport/HttpRequest.h"

// The run's one client, set by the report flow before the first exchange and kept to the end.
extern CHttpRequest* g_pHttpRequest;

enum class ExchangeKind { kConnect, kRegister, kMessage };

// Told of each exchange once it is over: for the adapter `adapterAddress` of a check or the message ("" for
// the connect check), what came of it, the reply as compared, and whether that was the word asked for.
using ExchangeListener = void (*)(ExchangeKind kind, const char* adapterAddress, const ExchangeResult& result,
                                  const std::string& reply, bool yes);
// The one listener, or none; whoever keeps the run's account sets it before the first exchange.
void SetExchangeListener(ExchangeListener listener);

// Is the server there: "CONNECTED".
bool ConnectCheck();
// Is this adapter address (17 characters) registered: "REGISTERED".
bool RegisterCheck(const char* address);
// Records the uninstall for the reported adapter address of g_pReportSettings: "TRUE".
bool MessagePost();
