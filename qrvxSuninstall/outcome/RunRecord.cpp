#include "outcome/RunRecord.h"

#include <algorithm>
#include <cstring>

#include "common/FixedText.h"

RunRecord g_runRecord;

void ResetRunRecord() {
    g_runRecord = RunRecord();
    g_runRecord.adapterCount = -1;
    g_runRecord.adapterCountAfter = -1;
}

void RecordServicePhase(DWORD foundState, DWORD removeResult, DWORD managerError) {
    g_runRecord.foundState = foundState;
    g_runRecord.removeResult = removeResult;
    g_runRecord.managerError = managerError;
}

void RecordConfiguration(const ReportSettings& settings, bool fileFound, DWORD readError) {
    CopyText(g_runRecord.configurationPath, settings.configurationPath);
    g_runRecord.configurationFound = fileFound;
    g_runRecord.configurationError = readError;
    CopyText(g_runRecord.hostAddress, settings.hostAddress);
    g_runRecord.hostAddressTooLong = settings.hostAddressTooLong;
}

void RecordClient(const CHttpRequest& client) {
    g_runRecord.refusal = client.m_refusal;
    g_runRecord.secure = client.m_bSecure;
    g_runRecord.port = client.m_nPort;
    g_runRecord.sessionError = client.m_dwSessionError;
}

void RecordAdapterCount(int count, DWORD listError) {
    g_runRecord.adapterCount = count;
    g_runRecord.adapterListError = listError;
}

void RecordAdapterRecount(int count) {
    if (count != g_runRecord.adapterCount) {
        g_runRecord.adaptersChanged = true;
    }
}

void RecordAdapterUnread() {
    g_runRecord.adaptersChanged = true;
}

void RecordAdaptersAfterSweep(const char (*texts)[kAdapterAddressUnits], int count, DWORD listError) {
    RunRecord& record = g_runRecord;
    record.adapterCountAfter = count;
    if (count != record.adapterCount || listError != ERROR_SUCCESS || count > kComparedAdapters ||
        record.checksAsked > kComparedAdapters) {
        record.adaptersChanged = true;
        return;
    }
    // The server cannot know a machine by an all-zero address, and none is asked about.
    for (int i = 0; i < count; ++i) {
        bool asked = std::strcmp(texts[i], "00-00-00-00-00-00") == 0;
        for (int j = 0; j < record.checksAsked && !asked; ++j) {
            asked = std::strcmp(texts[i], record.askedAdapters[j]) == 0;
        }
        if (!asked) {
            record.adaptersChanged = true;
        }
    }
}

RecordedExchange ListedExchange(ExchangeKind kind, const char* adapterAddress, const ExchangeResult& result,
                                const std::string& reply, bool yes) {
    RecordedExchange listed = {};
    listed.kind = kind;
    CopyText(listed.adapterAddress, adapterAddress);
    listed.result = result;
    listed.replyBytes = reply.size();
    const std::size_t kept = std::min(reply.size(), kReplyExcerptBytes);
    std::memcpy(listed.reply, reply.data(), kept);
    listed.reply[kept] = '\0';
    listed.yes = yes;
    return listed;
}

void RecordExchange(ExchangeKind kind, const char* adapterAddress, const ExchangeResult& result,
                    const std::string& reply, bool yes) {
    RunRecord& record = g_runRecord;
    if (record.exchangeCount < kListedExchanges) {
        record.exchanges[record.exchangeCount] = ListedExchange(kind, adapterAddress, result, reply, yes);
    }
    ++record.exchangeCount;
    switch (kind) {
        case ExchangeKind::kConnect:
            record.connectYes = yes;
            break;
        case ExchangeKind::kRegister:
            if (record.checksAsked < kComparedAdapters) {
                CopyText(record.askedAdapters[record.checksAsked], adapterAddress);
            }
            ++record.checksAsked;
            if (IsServersAnswer(result)) {
                ++record.checksAnswered;
            }
            break;
        case ExchangeKind::kMessage:
            record.messageAsked = true;
            record.messageYes = yes;
            CopyText(record.reportedAdapterAddress, adapterAddress);
            break;
    }
}

// A 503 from a server in a boot storm, a 407 from a proxy or a 301 to another address came with a body too,
// but the server has not said what it knows of the adapter.
bool IsServersAnswer(const ExchangeResult& result) {
    return result.outcome == ExchangeOutcome::kAnswered && result.status >= 200 && result.status < 300;
}

bool ServiceMarkedForDeletion(const RunRecord& record) {
    return record.removeResult == ERROR_SERVICE_MARKED_FOR_DELETE;
}

bool ServiceLeftInstalled(const RunRecord& record) {
    return record.removeResult != ERROR_SUCCESS && !ServiceMarkedForDeletion(record);
}

bool ConfigurationUnreadableForNow(const RunRecord& record) {
    switch (record.configurationError) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_BAD_NETPATH:
        case ERROR_NETNAME_DELETED:
        case ERROR_UNEXP_NET_ERR:
        case ERROR_BAD_NET_NAME:
        case ERROR_SEM_TIMEOUT:
        case ERROR_NO_NETWORK:
        case ERROR_NETWORK_UNREACHABLE:
        case ERROR_HOST_UNREACHABLE:
            return true;
        default:
            return false;
    }
}

// The default, an empty value, one refused, and 0.0.0.0 (what a missing key gives) name no server.
bool NamesNoServer(const RunRecord& record) {
    return !record.configurationFound || record.hostAddressTooLong || record.hostAddress[0] == '\0' ||
           record.refusal != AddressRefusal::kNone || std::strcmp(record.hostAddress, "0.0.0.0") == 0;
}

ReportOutcome GetReportOutcome(const RunRecord& record) {
    if (record.messageYes) {
        return ReportOutcome::kTold;
    }
    if (ConfigurationUnreadableForNow(record)) {
        return ReportOutcome::kNotTold;  // whatever the default it gave led to
    }
    if (NamesNoServer(record)) {
        return ReportOutcome::kNoServer;
    }
    // Every check answered by the server itself, none yes, so no message, and every adapter asked about:
    // a later run would hear the same. A check that was not answered, or answered with a status that is
    // not a success, an adapter list with nothing in it, or one that changed while it was swept, tells
    // nothing of the kind.
    if (record.connectYes && record.checksAsked > 0 && record.checksAnswered == record.checksAsked &&
        !record.messageAsked && !record.adaptersChanged && record.adapterCountAfter >= 0) {
        return ReportOutcome::kNotRegistered;
    }
    return ReportOutcome::kNotTold;
}

DWORD GetEventId(const RunRecord& record) {
    if (ServiceLeftInstalled(record)) {
        return kEventStillInstalled;
    }
    switch (GetReportOutcome(record)) {
        case ReportOutcome::kTold:
            return kEventTold;
        case ReportOutcome::kNotRegistered:
            return kEventNotRegistered;
        case ReportOutcome::kNotTold:
            return kEventNotTold;
        case ReportOutcome::kNoServer:
            break;
    }
    return kEventNoServer;
}
