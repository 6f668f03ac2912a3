#include "fakes/FakeWinInet.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace fake {

WinInet winInet;
void* const kSession = reinterpret_cast<HINTERNET>(0x5E55);
void* const kConnection = reinterpret_cast<HINTERNET>(0xC044);

namespace {

const uintptr_t kFirstRequest = 0x10000;

std::string Text(const char* text) {
    return text != nullptr ? text : "(null)";
}

RequestRecord* Find(HINTERNET request) {
    uintptr_t index = reinterpret_cast<uintptr_t>(request) - kFirstRequest;
    return index < winInet.requests.size() ? &winInet.requests[index] : nullptr;
}

const ReplyStep* Current(const RequestRecord& record) {
    return record.step < record.reply.steps.size() ? &record.reply.steps[record.step] : nullptr;
}

void Consume(RequestRecord& record) {
    record.offset = 0;
    if (++record.repeat >= record.reply.steps[record.step].times) {
        ++record.step;
        record.repeat = 0;
    }
}

}  // namespace

HttpReply Body(const std::string& bytes, DWORD status) {
    HttpReply reply;
    reply.status = status;
    reply.steps.push_back({ReplyStep::Data, bytes, 1});
    return reply;
}

void ResetWinInet() {
    winInet = WinInet();
}

void Serve(const HttpReply& reply) {
    winInet.server = [reply](const RequestRecord&) { return reply; };
}

}  // namespace fake

namespace platform {

using fake::winInet;

HINTERNET InternetOpenA(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass,
                        DWORD flags) {
    winInet.opens.push_back(
        {fake::Text(agent), fake::Text(proxy), fake::Text(proxyBypass), accessType, flags});
    if (winInet.openFails) {
        platform::SetLastError(winInet.failError);
        return nullptr;
    }
    return fake::kSession;
}

BOOL InternetSetOptionA(HINTERNET internet, DWORD option, void* buffer, DWORD bufferLength) {
    fake::RequestRecord* record = fake::Find(internet);
    if (record == nullptr || bufferLength != sizeof(DWORD) || record->sent) {
        return FALSE;  // only a request's own time-outs, set before it is sent, are expected
    }
    record->timeouts.emplace_back(option, *static_cast<DWORD*>(buffer));
    return TRUE;
}

HINTERNET InternetConnectA(HINTERNET session, const char* serverName, INTERNET_PORT serverPort,
                           const char* userName, const char* password, DWORD service, DWORD flags,
                           DWORD_PTR context) {
    winInet.connects.push_back({session, fake::Text(serverName), fake::Text(userName), fake::Text(password),
                                serverPort, service, flags, context});
    if (winInet.connectFails || session != fake::kSession) {
        platform::SetLastError(winInet.failError);
        return nullptr;
    }
    return fake::kConnection;
}

HINTERNET HttpOpenRequestA(HINTERNET connection, const char* verb, const char* objectName,
                           const char* version, const char* referrer, const char** acceptTypes, DWORD flags,
                           DWORD_PTR context) {
    fake::RequestRecord record;
    record.connection = connection;
    record.verb = fake::Text(verb);
    record.path = fake::Text(objectName);
    record.version = fake::Text(version);
    record.referrer = fake::Text(referrer);
    record.nullAcceptTypes = acceptTypes == nullptr;
    record.flags = flags;
    record.context = context;
    winInet.requests.push_back(record);
    // Recorded even when refused: a request attempted without a connection is what a test looks for.
    if (winInet.openRequestFails || connection != fake::kConnection) {
        platform::SetLastError(winInet.failError);
        return nullptr;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): fake handles are only compared, never dereferenced
    return reinterpret_cast<HINTERNET>(fake::kFirstRequest + winInet.requests.size() - 1);
}

BOOL HttpSendRequestA(HINTERNET request, const char* headers, DWORD headersLength, void* optional,
                      DWORD optionalLength) {
    fake::RequestRecord* record = fake::Find(request);
    if (record == nullptr) {
        return FALSE;
    }
    record->headers.assign(headers, headersLength);
    record->headersLength = headersLength;
    record->body.assign(static_cast<const char*>(optional), optionalLength);
    record->bodyLength = optionalLength;
    if (winInet.server) {
        record->reply = winInet.server(*record);
    }
    record->sent = !record->reply.sendFails;
    if (!record->sent) {
        platform::SetLastError(record->reply.sendError);
    }
    return record->sent;
}

BOOL InternetQueryDataAvailable(HINTERNET file, DWORD* numberOfBytesAvailable, DWORD flags,
                                DWORD_PTR context) {
    fake::RequestRecord* record = fake::Find(file);
    if (record == nullptr || !record->sent) {
        return FALSE;
    }
    ++record->queries;
    if (flags != 0 || context != 0) {
        ++record->oddQueries;
    }
    const fake::ReplyStep* step = fake::Current(*record);
    *numberOfBytesAvailable = 0;
    if (step != nullptr && step->kind == fake::ReplyStep::QueryFails) {
        fake::Consume(*record);
        platform::SetLastError(ERROR_INTERNET_TIMEOUT);  // as after the receive time-out
        return FALSE;
    }
    if (step != nullptr) {
        *numberOfBytesAvailable = step->kind == fake::ReplyStep::Data
                                      ? static_cast<DWORD>(step->bytes.size() - record->offset)
                                      : 16;
    }
    return TRUE;
}

BOOL InternetReadFile(HINTERNET file, void* buffer, DWORD numberOfBytesToRead, DWORD* numberOfBytesRead) {
    fake::RequestRecord* record = fake::Find(file);
    if (record == nullptr || !record->sent) {
        return FALSE;
    }
    record->readSizes.push_back(numberOfBytesToRead);
    const fake::ReplyStep* step = fake::Current(*record);
    *numberOfBytesRead = 0;
    if (step == nullptr) {
        return TRUE;
    }
    if (step->kind != fake::ReplyStep::Data) {
        fake::Consume(*record);
        platform::SetLastError(ERROR_INTERNET_CONNECTION_RESET);
        return FALSE;
    }
    std::size_t count = std::min<std::size_t>(numberOfBytesToRead, step->bytes.size() - record->offset);
    std::memcpy(buffer, step->bytes.data() + record->offset, count);
    record->offset += count;
    if (record->offset == step->bytes.size()) {
        fake::Consume(*record);
    }
    *numberOfBytesRead = static_cast<DWORD>(count) + winInet.readOverstates;
    return TRUE;
}

// As WinINet answers: a reply's headers once it has been sent, ERROR_HTTP_HEADER_NOT_FOUND for one it does
// not have, and for a text that does not fit, ERROR_INSUFFICIENT_BUFFER with the size it needs.
BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* bufferLength, DWORD* index) {
    fake::RequestRecord* record = fake::Find(request);
    if (record == nullptr || !record->sent) {
        platform::SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return FALSE;
    }
    record->headQueries.push_back(infoLevel);
    if (index != nullptr) {
        record->oddHeadQuery = true;
    }
    if (infoLevel == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER)) {
        if (*bufferLength != sizeof(DWORD)) {
            record->oddHeadQuery = true;
        }
        if (record->reply.status == 0) {
            platform::SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
            return FALSE;
        }
        *static_cast<DWORD*>(buffer) = record->reply.status;
        *bufferLength = sizeof(DWORD);
        return TRUE;
    }
    if (infoLevel != HTTP_QUERY_LOCATION || record->reply.location.empty()) {
        platform::SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
        return FALSE;
    }
    const std::string& location = record->reply.location;
    if (*bufferLength < location.size() + 1) {
        *bufferLength = static_cast<DWORD>(location.size() + 1);
        platform::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, location.c_str(), location.size() + 1);
    *bufferLength = static_cast<DWORD>(location.size());
    return TRUE;
}

}  // namespace platform
