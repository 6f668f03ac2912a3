// The second half of the run: tell the management server that the service program is gone.
#pragma once

#include "platform/Win32.h"
#include "transport/ReportProtocol.h"

// Finds the server, the first adapter it knows as registered, and posts the uninstall for it. Every
// failure ends the flow quietly, and the whole of it ends within kReportDeadlineMs, whatever the server does.
void ReportUninstall();

// The report's first steps, which the dry run of the check takes too: reads the configuration and makes the
// run's one client, bounded by the tick count `deadline`, and records both; each exchange from then on is
// told to `listener`, which records it (RecordExchange) and may do more.
void PrepareReport(ULONGLONG deadline, ExchangeListener listener);

// The exchanges before the message: the connect check, then the adapters in turn. True when the server
// reports one as registered; its address is then the reported adapter address of g_pReportSettings.
bool FindReportedAdapter();

// True when the server reports an adapter as registered; `wideOut` (18 units) then holds its address.
bool FindRegisteredAdapter(WCHAR* wideOut);

// Startup scripts share a time limit of their own, so the report may not take long: no exchange begins
// after this many milliseconds from the report's start, and one under way then ends there.
constexpr ULONGLONG kReportDeadlineMs = 120000;
