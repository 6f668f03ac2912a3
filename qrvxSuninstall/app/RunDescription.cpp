// The run's record in plain words, as admins read it in Event Viewer and in the kept record.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/RunRecord.h"
#include "app/ServiceIdentity.h"

namespace {

// ReportEvent takes up to 31,839 characters a string; the listed exchanges stay far below that.
constexpr std::size_t kMaxDescriptionBytes = 30000;

std::string Number(unsigned long value) {
    return std::to_string(value);
}

// A text from outside (a path, the configured address, a reply) with its control bytes and, for a reply,
// its bytes past ASCII shown as \xNN, so that the description stays one readable line each.
std::string Printable(const char* text, std::size_t length, bool asciiOnly) {
    std::string shown;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || (asciiOnly && (c >= 0x80 || c == '"' || c == '\\'))) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string Printable(const char* text) {
    return Printable(text, std::strlen(text), false);
}

// "error N" with the system's text for N, where it has one: WinINet's codes from its own module.
std::string Error(DWORD code) {
    char text[256] = {};
    const bool internet = code >= 12000 && code < 13000;
    HMODULE module = internet ? platform::WinInetModule() : nullptr;
    const DWORD flags = (module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : 0) | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    DWORD length = platform::FormatMessageA(flags, module, code, 0, text, sizeof(text), nullptr);
    length = length < sizeof(text) ? length : 0;
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r' || text[length - 1] == '\n')) {
        --length;
    }
    std::string said = (internet ? "WinINet error " : "error ") + Number(code);
    if (length > 0) {
        said += " (" + Printable(text, length, false) + ")";
    }
    return said;
}

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "stopped";
        case SERVICE_START_PENDING:
            return "starting";
        case SERVICE_STOP_PENDING:
            return "stopping";
        case SERVICE_RUNNING:
            return "running";
        case SERVICE_CONTINUE_PENDING:
            return "resuming";
        case SERVICE_PAUSE_PENDING:
            return "pausing";
        case SERVICE_PAUSED:
            return "paused";
        default:
            return "in an unknown state";
    }
}

std::string ServicePhase(const RunRecord& record) {
    std::string said = std::string("The service ") + ServiceIdentity::kName;
    if (record.foundState == 0) {
        if (record.removeResult == ERROR_SUCCESS) {
            return said + " was not installed.";
        }
        if (record.removeResult == ERROR_INVALID_HANDLE) {
            return said +
                   " could not be looked at: the Service Control Manager could not be opened (error 6).";
        }
        return said + " could not be looked at: " + Error(record.removeResult) + ".";
    }
    said += std::string(" was ") + StateName(record.foundState) + "; it was ";
    if (record.removeResult != ERROR_SUCCESS) {
        return said + "left installed: " + Error(record.removeResult) + ".";
    }
    return said + (record.foundState == SERVICE_STOPPED ? "deleted." : "stopped and deleted.");
}

const char* Refusal(AddressRefusal refusal) {
    switch (refusal) {
        case AddressRefusal::kNoHost:
            return "it names no host";
        case AddressRefusal::kHostTooLong:
            return "its host name is longer than 255 bytes";
        case AddressRefusal::kBasePathTooLong:
            return "its base path is too long";
        case AddressRefusal::kBadPort:
            return "what follows the colon is not a port, a number from 1 to 65535";
        case AddressRefusal::kUnknownScheme:
            return "it begins with a scheme other than http:// or https:// (in lower case)";
        case AddressRefusal::kNone:
            break;
    }
    return "";
}

// Why the configuration names no server.
std::string NoServer(const RunRecord& record) {
    if (!record.configurationFound) {
        return "qrvxconfig.ini was not found, and without it the address is the default 0.0.0.0, which names "
               "none";
    }
    if (record.hostAddressTooLong) {
        return "HostAddress is longer than 511 bytes, and is refused whole";
    }
    if (record.hostAddress[0] == '\0') {
        return "HostAddress is empty";
    }
    if (record.refusal != AddressRefusal::kNone) {
        return "HostAddress \"" + Printable(record.hostAddress) +
               "\" is refused whole: " + Refusal(record.refusal);
    }
    return "HostAddress is missing, or 0.0.0.0, which names none";
}

std::string Server(const RunRecord& record) {
    if (NamesNoServer(record)) {
        return "No server: " + NoServer(record) + ".";
    }
    std::string said = "Server: \"" + Printable(record.hostAddress) + "\", port " + Number(record.port) +
                       (record.secure ? ", over TLS." : ", over plain HTTP.");
    if (record.sessionError != ERROR_SUCCESS) {
        said += " WinINet could not be made ready for it: " + Error(record.sessionError) + ".";
    }
    return said;
}

const char* Path(ExchangeKind kind) {
    switch (kind) {
        case ExchangeKind::kConnect:
            return "Quorvex/connect_check.php";
        case ExchangeKind::kRegister:
            return "Quorvex/register_check.php";
        case ExchangeKind::kMessage:
            break;
    }
    return "Quorvex/message_post.php";
}

std::string Result(const RecordedExchange& exchange) {
    switch (exchange.result.outcome) {
        case ExchangeOutcome::kAnswered: {
            std::string said = std::string("answered \"") +
                               Printable(exchange.reply, std::strlen(exchange.reply), true) + "\"";
            if (exchange.replyBytes > std::strlen(exchange.reply)) {
                said +=
                    " (the first of " + Number(static_cast<unsigned long>(exchange.replyBytes)) + " bytes)";
            }
            return said;
        }
        case ExchangeOutcome::kNotSent:
            return "not sent: no connection to the server";
        case ExchangeOutcome::kReportOver:
            return "not sent: the report's 120 s were over";
        case ExchangeOutcome::kFailed:
            return "failed: " + Error(exchange.result.error);
        case ExchangeOutcome::kTooLong:
            return "answered with more than 64 KiB, which is no reply";
        case ExchangeOutcome::kPastExchangeDeadline:
            return "no answer within 80 s";
        case ExchangeOutcome::kPastReportDeadline:
            break;
    }
    return "cut off at the end of the report's 120 s";
}

std::string Exchanges(const RunRecord& record) {
    if (record.exchangeCount == 0) {
        return "No exchange with the server.";
    }
    std::string said = "Exchanges with the server:";
    const std::size_t listed = std::min(record.exchangeCount, kListedExchanges);
    for (std::size_t i = 0; i < listed; ++i) {
        const RecordedExchange& exchange = record.exchanges[i];
        said += std::string("\r\n  ") + Path(exchange.kind);
        if (exchange.kind != ExchangeKind::kConnect) {
            said += std::string(", adapter ") + exchange.adapterAddress;
        }
        said += ": " + Result(exchange) + ".";
    }
    if (record.exchangeCount > listed) {
        said += "\r\n  and " + Number(static_cast<unsigned long>(record.exchangeCount - listed)) +
                " more, not listed.";
    }
    return said;
}

// Why the server was not told: the first exchange that did not go as it should.
std::string FirstFailure(const RunRecord& record) {
    if (record.sessionError != ERROR_SUCCESS) {
        return "WinINet could not be made ready: " + Error(record.sessionError);
    }
    const std::size_t listed = std::min(record.exchangeCount, kListedExchanges);
    for (std::size_t i = 0; i < listed; ++i) {
        const RecordedExchange& exchange = record.exchanges[i];
        const bool failed = exchange.kind == ExchangeKind::kRegister
                                ? exchange.result.outcome != ExchangeOutcome::kAnswered
                                : !exchange.yes;
        if (!failed) {
            continue;
        }
        switch (exchange.kind) {
            case ExchangeKind::kConnect:
                return "the connect check " + Result(exchange);
            case ExchangeKind::kRegister:
                return std::string("the check of adapter ") + exchange.adapterAddress + " " +
                       Result(exchange);
            case ExchangeKind::kMessage:
                break;
        }
        return "the message " + Result(exchange);
    }
    if (record.adapterCount == 0) {
        return "this machine has no network adapter for the server to know it by";
    }
    return "the exchanges ended early";
}

// The outcome in two sentences, first of all, where a list of events shows it: the service, then the
// server, each with the reason when it is not what it should be.
std::string Headline(const RunRecord& record) {
    std::string said;
    if (!ServiceLeftInstalled(record)) {
        said = "The Quorvex service is gone from this machine.";
    } else if (record.foundState == 0) {
        said = "The Quorvex service may still be installed: it could not be looked at, " +
               (record.removeResult == ERROR_INVALID_HANDLE ? std::string("the Service Control Manager could "
                                                                          "not be opened (error 6)")
                                                            : Error(record.removeResult)) +
               ".";
    } else {
        said = std::string("The Quorvex service is still installed: it was ") + StateName(record.foundState) +
               " and was left installed, " + Error(record.removeResult) + ".";
    }
    switch (GetReportOutcome(record)) {
        case ReportOutcome::kTold:
            return said + " The management server was told, for network adapter " +
                   record.reportedAdapterAddress + ".";
        case ReportOutcome::kNotRegistered:
            return said +
                   " The management server knows none of this machine's network adapters: there was "
                   "nothing to tell it.";
        case ReportOutcome::kNotTold:
            return said + " The management server was not told this time: " + FirstFailure(record) +
                   ". Running qrvxSuninstall again tells it.";
        case ReportOutcome::kNoServer:
            break;
    }
    return said + " The management server was not told: " + NoServer(record) +
           ". Put a qrvxconfig.ini that names the server beside the program, then run it again.";
}

}  // namespace

std::string DescribeRun(const RunRecord& record) {
    std::string text = Headline(record);
    text += "\r\n\r\n" + ServicePhase(record);
    text += "\r\nConfiguration file: " + Printable(record.configurationPath) +
            (record.configurationFound ? ", found." : ", not found.");
    text += "\r\n" + Server(record);
    text += "\r\n" + Exchanges(record);
    if (record.adapterCount == 0) {
        text += "\r\nThis machine has no network adapter for the server to know it by.";
    } else if (record.adapterCount > 0) {
        text += "\r\nNetwork adapters: " + Number(static_cast<unsigned long>(record.adapterCount)) + ".";
    }
    if (text.size() > kMaxDescriptionBytes) {
        text.resize(kMaxDescriptionBytes);
        text += "...";
    }
    return text;
}
