#include "outcome/RunRecord.h"

#include <algorithm>
#include <cstring>

#include "common/FixedText.h"

RunRecord g_runRecord;

void ResetRunRecord() {
    g_runRecord = RunRecord();
    g_runRecord.adapterCount = -1;
}

void RecordServicePhase(DWORD foundState, DWORD removeResult) {
    g_runRecord.foundState = foundState;
    g_runRecord.removeResult = removeResult;
}

void RecordConfiguration(const ReportSettings& settings, bool fileFound) {
    CopyText(g_runRecord.configurationPath, settings.configurationPath);
    g_runRecord.configurationFound = fileFound;
    CopyText(g_runRecord.hostAddress, settings.hostAddress);
    g_runRecord.hostAddressTooLong = settings.hostAddressTooLong;
}

void RecordClient(const CHttpRequest& client) {
    g_runRecord.refusal = client.m_refusal;
    g_runRecord.secure = client.m_bSecure;
    g_runRecord.port = client.m_nPort;
    g_runRecord.sessionError = client.m_dwSessionError;
}

void RecordAdapterCount(int count) {
    g_runRecord.adapterCount = count;
}

void RecordExchange(ExchangeKind kind, const char* adapterAddress, const ExchangeResult& result,
                    const std::string& reply, bool yes) {
    RunRecord& record = g_runRecord;
    if (record.exchangeCount < kListedExchanges) {
        RecordedExchange& listed = record.exchanges[record.exchangeCount];
        listed.kind = kind;
        CopyText(listed.adapterAddress, adapterAddress);
        listed.result = result;
        listed.replyBytes = reply.size();
        const std::size_t kept = std::min(reply.size(), kReplyExcerptBytes);
        std::memcpy(listed.reply, reply.data(), kept);
        listed.reply[kept] = '\0';
        listed.yes = yes;
    }
    ++record.exchangeCount;
    switch (kind) {
        case ExchangeKind::kConnect:
            record.connectYes = yes;
            break;
        case ExchangeKind::kRegister:
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

// The default, an empty value, one refused, and 0.0.0.0 (what a missing key gives) name no server.
bool NamesNoServer(const RunRecord& record) {
    return !record.configurationFound || record.hostAddressTooLong || record.hostAddress[0] == '\0' ||
           record.refusal != AddressRefusal::kNone || std::strcmp(record.hostAddress, "0.0.0.0") == 0;
}

ReportOutcome GetReportOutcome(const RunRecord& record) {
    if (record.messageYes) {
        return ReportOutcome::kTold;
    }
    if (NamesNoServer(record)) {
        return ReportOutcome::kNoServer;
    }
    // Every check answered by the server itself, none yes, so no message: a later run would hear the same.
    // A check that was not answered, or answered with a status that is not a success, or an adapter list
    // with nothing in it, tells nothing of the kind.
    if (record.connectYes && record.checksAsked > 0 && record.checksAnswered == record.checksAsked &&
        !record.messageAsked) {
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
