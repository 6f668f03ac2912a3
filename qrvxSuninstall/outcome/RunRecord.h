// What one run did and what came of it, filled in as the run goes and told once, at its end (RunOutcome.h):
// the service phase, the configuration, and each exchange with the server.
#pragma once

#include <cstddef>
#include <string>

#include "adapter/ServiceUtility.h"
#include "config/ReportConfig.h"
#include "outcome/KeptOutcome.h"
#include "transport/HttpRequest.h"
#include "transport/ReportProtocol.h"

// The IDs of the run's event, one per kind of outcome, within the 1 to 1000 that its message file holds,
// each in the words that the guides give it:
//   100  Information  The service is gone, or goes at the next restart, and the management server was told.
//   101  Warning      The service is gone, or goes at the next restart; the management server knows none of
//                     this machine's network adapters.
//   102  Warning      The service is gone, or goes at the next restart, but the management server was not
//                     told this time.
//   103  Warning      The service is gone, or goes at the next restart, but qrvxconfig.ini names no
//                     management server.
//   104  Error        The service is still installed, or could not be looked at, whatever the report did.
constexpr DWORD kEventTold = 100;
constexpr DWORD kEventNotRegistered = 101;
constexpr DWORD kEventNotTold = 102;
constexpr DWORD kEventNoServer = 103;
constexpr DWORD kEventStillInstalled = 104;

// The reply as compared, cut to a short printable text: enough to tell one word, or an error page, apart.
constexpr std::size_t kReplyExcerptBytes = 40;

struct RecordedExchange {
    ExchangeKind kind;
    char adapterAddress[kAdapterAddressUnits];  // of a registration check or the message
    ExchangeResult result;
    std::size_t replyBytes;
    char reply[kReplyExcerptBytes + 1];  // its first bytes, as they came
    bool yes;                            // the reply was the word this exchange asks for
};

// The exchanges listed by name; any more are counted, so that the text stays within what an event holds.
constexpr std::size_t kListedExchanges = 32;
// The adapters whose addresses are kept to be compared with the list after the sweep. A machine with more
// is never taken to be known by none of them.
constexpr int kComparedAdapters = 64;

struct RunRecord {
    DWORD foundState;    // the service's state when RemoveService looked, 0 for none found or no look
    DWORD removeResult;  // what RemoveService returned
    DWORD managerError;  // why the Service Control Manager would not open, when RemoveService says 6

    char configurationPath[MAX_PATH];
    bool configurationFound;
    DWORD configurationError;  // why a file that is there could not be read, 0 when it could or is not
    char hostAddress[kMaxHostAddressBytes + 1];  // as read
    bool hostAddressTooLong;
    AddressRefusal refusal;  // of the client, for an address it would not use
    bool secure;
    INTERNET_PORT port;
    DWORD sessionError;  // why there was no session or connection, if there was none

    int adapterCount;        // when the server had answered the connect check, -1 until then
    DWORD adapterListError;  // why the list could not be read then, if it could not
    // The sweep of the adapters did not see one list from start to end: a count that changed, an address
    // that could not be read, or an adapter in the list after it that was never asked about.
    bool adaptersChanged;
    int adapterCountAfter;  // as read after a sweep that found none registered, -1 until then
    char askedAdapters[kComparedAdapters][kAdapterAddressUnits];  // the first checksAsked of them
    RecordedExchange exchanges[kListedExchanges];
    std::size_t exchangeCount;  // listed or not
    bool connectYes;
    int checksAsked, checksAnswered;
    bool messageAsked, messageYes;
    char reportedAdapterAddress[kAdapterAddressUnits];
};

// The run's one record, kept for the whole process.
extern RunRecord g_runRecord;

void ResetRunRecord();
void RecordServicePhase(DWORD foundState, DWORD removeResult, DWORD managerError);
void RecordConfiguration(const ReportSettings& settings, bool fileFound, DWORD readError);
void RecordClient(const CHttpRequest& client);
// The adapters' count before the sweep, with why the list could not be read if it could not; each count
// asked again during it; an address that could not be read; and the list as read once more after a sweep
// that found none registered, its first `count` addresses in `texts` (up to kComparedAdapters).
void RecordAdapterCount(int count, DWORD listError);
void RecordAdapterRecount(int count);
void RecordAdapterUnread();
void RecordAdaptersAfterSweep(const char (*texts)[kAdapterAddressUnits], int count, DWORD listError);
// The exchange as the record lists it.
RecordedExchange ListedExchange(ExchangeKind kind, const char* adapterAddress, const ExchangeResult& result,
                                const std::string& reply, bool yes);
// The protocol's listener (SetExchangeListener).
void RecordExchange(ExchangeKind kind, const char* adapterAddress, const ExchangeResult& result,
                    const std::string& reply, bool yes);

// Whether a reply came from the server with a success status (2xx): one that says what the server knows.
bool IsServersAnswer(const ExchangeResult& result);
// Whether a call of RemoveService found the service marked for deletion already (1072): by an earlier run
// whose deletion waits for a handle that another program holds (the Services console, a monitoring
// agent), or by anyone. The Service Control Manager deletes it once that handle is closed, at the latest at
// the next restart, and nothing more can be done to it: it counts as removed.
bool ServiceMarkedForDeletion(const RunRecord& record);
// Whether the service is still installed and stays so: RemoveService failed for any other reason.
bool ServiceLeftInstalled(const RunRecord& record);
bool NamesNoServer(const RunRecord& record);
// Whether the configuration file is there but could not be read for a reason that passes: a lock, a
// sharing violation or a network error. A later run reads it.
bool ConfigurationUnreadableForNow(const RunRecord& record);
ReportOutcome GetReportOutcome(const RunRecord& record);
DWORD GetEventId(const RunRecord& record);

// The record in plain words, its outcome first: the text of the run's event and of the kept record.
std::string DescribeRun(const RunRecord& record);
// Parts of that text, each one line, for the check's dry run: the configuration file and the server it
// names; the exchange; and why the server would not be told, for the outcomes kNotTold and kNoServer.
std::string DescribeConfiguration(const RunRecord& record);
std::string DescribeExchange(const RecordedExchange& exchange);
std::string DescribeWhyNotTold(const RunRecord& record);
// "error N" with the system's text for N, as the event gives it; and a service state in a word.
std::string DescribeError(DWORD code);
const char* StateName(DWORD state);
// The address as `client` took it apart: what each exchange is posted to.
std::string DescribeClientAddress(const CHttpRequest& client);
