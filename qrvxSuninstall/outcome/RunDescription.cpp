// The run's record in plain words, as admins read it in Event Viewer and in the kept record.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/ServiceIdentity.h"
#include "outcome/RunRecord.h"

namespace {

// The text as it is written, one piece after another into the one string.
class Text {
  public:
    explicit Text(std::string& out) : m_out(out) {}

    Text& operator<<(const char* words) {
        m_out += words;
        return *this;
    }

    Text& operator<<(unsigned long number) {
        char digits[24];
        std::snprintf(digits, sizeof(digits), "%lu", number);
        m_out += digits;
        return *this;
    }

    // A text from outside (a path, the configured address, a reply, a system text) with its control bytes
    // and, with `asciiOnly`, its bytes past ASCII and its quotes shown as \xNN: one readable line each.
    Text& Printable(const char* text, std::size_t length, bool asciiOnly) {
        for (std::size_t i = 0; i < length; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c == 0x7F || (asciiOnly && (c >= 0x80 || c == '"' || c == '\\'))) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
                m_out += escaped;
            } else {
                m_out += static_cast<char>(c);
            }
        }
        return *this;
    }

    Text& Printable(const char* text) { return Printable(text, std::strlen(text), false); }

    // "error N" with the system's text for N, where it has one: WinINet's codes from its own module.
    Text& Error(DWORD code) {
        char said[256] = {};
        const bool internet = code >= 12000 && code < 13000;
        HMODULE module = internet ? platform::WinInetModule() : nullptr;
        const DWORD flags = (module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : 0) |
                            FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                            FORMAT_MESSAGE_MAX_WIDTH_MASK;
        DWORD length = platform::FormatMessageA(flags, module, code, 0, said, sizeof(said), nullptr);
        length = length < sizeof(said) ? length : 0;
        while (length > 0 &&
               (said[length - 1] == ' ' || said[length - 1] == '\r' || said[length - 1] == '\n')) {
            --length;
        }
        *this << (internet ? "WinINet error " : "error ") << static_cast<unsigned long>(code);
        if (length > 0) {
            *this << " (";
            Printable(said, length, false) << ")";
        }
        return *this;
    }

  private:
    std::string& m_out;
};

}  // namespace

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

namespace {

// Why RemoveService could not look at the service: its manager would not open, or the look failed.
void WhyNotLookedAt(const RunRecord& record, Text& text) {
    if (record.removeResult != ERROR_INVALID_HANDLE) {
        text.Error(record.removeResult);
    } else if (record.managerError == ERROR_SUCCESS) {
        text << "the Service Control Manager could not be opened (error 6)";
    } else {
        text << "the Service Control Manager could not be opened: ";
        text.Error(record.managerError);
    }
}

void ServicePhase(const RunRecord& record, Text& text) {
    text << "The service " << ServiceIdentity::kName;
    if (ServiceMarkedForDeletion(record)) {
        if (record.foundState != 0) {
            text << " was " << StateName(record.foundState) << "; it";
        }
        text << " was already marked for deletion: ";
        text.Error(record.removeResult)
            << ". The Service Control Manager deletes it once no program holds it open, at the latest at the "
               "next restart.";
        return;
    }
    if (record.foundState == 0) {
        if (record.removeResult == ERROR_SUCCESS) {
            text << " was not installed.";
        } else {
            text << " could not be looked at: ";
            WhyNotLookedAt(record, text);
            text << ".";
        }
        return;
    }
    text << " was " << StateName(record.foundState) << "; it was ";
    if (record.removeResult != ERROR_SUCCESS) {
        text << "left installed: ";
        text.Error(record.removeResult) << ".";
    } else {
        text << (record.foundState == SERVICE_STOPPED ? "deleted." : "stopped and deleted.");
    }
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
        case AddressRefusal::kNeverResolves:
            return "its host is a name under .invalid, which never resolves";
        case AddressRefusal::kTextAfterHost:
            return "no host name holds it; a comment belongs on a line of its own";
        case AddressRefusal::kNone:
            break;
    }
    return "";
}

// Why the configuration names no server.
void NoServer(const RunRecord& record, Text& text) {
    if (record.configurationError != ERROR_SUCCESS) {
        text << "qrvxconfig.ini is there but could not be read: ";
        text.Error(record.configurationError);
    } else if (!record.configurationFound) {
        text
            << "qrvxconfig.ini was not found, and without it the address is the default 0.0.0.0, which names "
               "none";
    } else if (record.hostAddressTooLong) {
        text << "HostAddress is longer than 511 bytes, and is refused whole";
    } else if (record.hostAddress[0] == '\0') {
        text << "HostAddress is empty";
    } else if (record.refusal == AddressRefusal::kNeverResolves) {
        text << "qrvxconfig.ini still holds the sample's address, HostAddress \"";
        text.Printable(record.hostAddress) << "\", a name under .invalid, which never resolves";
    } else if (record.refusal == AddressRefusal::kTextAfterHost) {
        const char* after = FindTextAfterHost(record.hostAddress);
        text << "HostAddress \"";
        text.Printable(record.hostAddress) << "\" is refused whole: \"";
        text.Printable(after != nullptr ? after : "")
            << "\" follows the host, and " << Refusal(record.refusal);
    } else if (record.refusal != AddressRefusal::kNone) {
        text << "HostAddress \"";
        text.Printable(record.hostAddress) << "\" is refused whole: " << Refusal(record.refusal);
    } else {
        text << "HostAddress is missing, or 0.0.0.0, which names none";
    }
}

void Server(const RunRecord& record, Text& text) {
    if (NamesNoServer(record)) {
        text << "No server: ";
        NoServer(record, text);
        text << ".";
        return;
    }
    text << "Server: \"";
    text.Printable(record.hostAddress) << "\", port " << static_cast<unsigned long>(record.port)
                                       << (record.secure ? ", over TLS." : ", over plain HTTP.");
    if (record.sessionError != ERROR_SUCCESS) {
        text << " WinINet could not be made ready for it: ";
        text.Error(record.sessionError) << ".";
    }
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

// What the reply's status says, where it is more than a plain success.
void Status(const ExchangeResult& result, Text& text) {
    const DWORD status = result.status;
    if (status == 0) {
        text << ", with no HTTP status";
        return;
    }
    text << ", HTTP " << static_cast<unsigned long>(status);
    if (status == 407) {
        text << ": a proxy asks for credentials, which SYSTEM cannot give it";
    } else if (IsRedirect(status)) {
        if (result.locationBytes == 0) {
            text << ", a redirect to no Location";
            return;
        }
        const std::size_t shown = std::strlen(result.location);
        text << ", a redirect to \"";
        text.Printable(result.location, shown, true) << "\"";
        if (result.locationBytes > shown) {
            text << " (the first of " << static_cast<unsigned long>(result.locationBytes) << " bytes)";
        }
        text << ", which is not followed";
    }
}

void Result(const RecordedExchange& exchange, Text& text) {
    switch (exchange.result.outcome) {
        case ExchangeOutcome::kAnswered: {
            const std::size_t shown = std::strlen(exchange.reply);
            text << "answered \"";
            text.Printable(exchange.reply, shown, true) << "\"";
            if (exchange.replyBytes > shown) {
                text << " (the first of " << static_cast<unsigned long>(exchange.replyBytes) << " bytes)";
            }
            Status(exchange.result, text);
            return;
        }
        case ExchangeOutcome::kNotSent:
            text << "not sent: no connection to the server";
            return;
        case ExchangeOutcome::kReportOver:
            text << "not sent: the report's 120 s were over";
            return;
        case ExchangeOutcome::kFailed:
            text << "failed: ";
            text.Error(exchange.result.error);
            return;
        case ExchangeOutcome::kCutShort:
            text << "cut short after " << static_cast<unsigned long>(exchange.result.bodyBytes)
                 << " bytes of its reply";
            Status(exchange.result, text);
            text << ", which is no answer: ";
            text.Error(exchange.result.error);
            return;
        case ExchangeOutcome::kTooLong:
            text << "answered with more than 64 KiB, which is no reply";
            return;
        case ExchangeOutcome::kPastExchangeDeadline:
            text << "had no answer within 80 s";
            return;
        case ExchangeOutcome::kPastReportDeadline:
            break;
    }
    text << "was cut off at the end of the report's 120 s";
}

// What was asked, of which adapter, and what came of it.
void Exchange(const RecordedExchange& exchange, Text& text) {
    text << Path(exchange.kind);
    if (exchange.kind != ExchangeKind::kConnect) {
        text << ", adapter " << exchange.adapterAddress;
    }
    text << ": ";
    Result(exchange, text);
}

void Exchanges(const RunRecord& record, Text& text) {
    if (record.exchangeCount == 0) {
        text << "No exchange with the server.";
        return;
    }
    text << "Exchanges with the server:";
    const std::size_t listed = std::min(record.exchangeCount, kListedExchanges);
    for (std::size_t i = 0; i < listed; ++i) {
        text << "\r\n  ";
        Exchange(record.exchanges[i], text);
        text << ".";
    }
    if (record.exchangeCount > listed) {
        text << "\r\n  and " << static_cast<unsigned long>(record.exchangeCount - listed)
             << " more, not listed.";
    }
}

// Why the adapters cannot be known: no IPv4 adapter listed, or a list that could not be read.
void NoAdapterList(const RunRecord& record, Text& text) {
    if (record.adapterListError == ERROR_NO_DATA || record.adapterListError == ERROR_SUCCESS) {
        text << "this machine lists no IPv4 network adapter for the server to know it by";
    } else {
        text << "this machine's network adapters could not be listed: ";
        text.Error(record.adapterListError);
    }
}

// Why the server was not told: the first thing that did not go as it should.
void FirstFailure(const RunRecord& record, Text& text) {
    if (ConfigurationUnreadableForNow(record)) {
        text << "qrvxconfig.ini could not be read now: ";
        text.Error(record.configurationError)
            << "; another program holds it, or its share could not be reached";
        return;
    }
    if (record.sessionError != ERROR_SUCCESS) {
        text << "WinINet could not be made ready: ";
        text.Error(record.sessionError);
        return;
    }
    const std::size_t listed = std::min(record.exchangeCount, kListedExchanges);
    for (std::size_t i = 0; i < listed; ++i) {
        const RecordedExchange& exchange = record.exchanges[i];
        const bool failed =
            exchange.kind == ExchangeKind::kRegister ? !IsServersAnswer(exchange.result) : !exchange.yes;
        if (failed) {
            if (exchange.kind == ExchangeKind::kConnect) {
                text << "the connect check ";
            } else if (exchange.kind == ExchangeKind::kRegister) {
                text << "the check of adapter " << exchange.adapterAddress << " ";
            } else {
                text << "the message ";
            }
            Result(exchange, text);
            return;
        }
    }
    if (record.adapterCount == 0) {
        text << "the server answered, but ";
        NoAdapterList(record, text);
    } else if (record.adaptersChanged) {
        text << "this machine's network adapters changed while the server was asked about them ("
             << static_cast<unsigned long>(record.adapterCount) << " listed before";
        if (record.adapterCountAfter >= 0) {
            text << ", " << static_cast<unsigned long>(record.adapterCountAfter) << " after";
        }
        text << "), so not every one of them was asked about";
    } else {
        text << "the exchanges ended early";
    }
}

void ConfigurationFile(const RunRecord& record, Text& text) {
    text << "Configuration file: ";
    text.Printable(record.configurationPath) << (record.configurationFound ? ", found" : ", not found");
    if (record.configurationError != ERROR_SUCCESS) {
        text << ", but it could not be read: ";
        text.Error(record.configurationError);
    }
    text << ".";
}

// The outcome in two sentences, first of all, where a list of events shows it: the service, then the
// server, each with the reason when it is not what it should be.
void Headline(const RunRecord& record, Text& text) {
    if (ServiceMarkedForDeletion(record)) {
        text << "The Quorvex service goes from this machine at the next restart: it is marked for deletion, "
                "and "
                "another program still holds it open.";
    } else if (!ServiceLeftInstalled(record)) {
        text << "The Quorvex service is gone from this machine.";
    } else if (record.foundState == 0) {
        text << "The Quorvex service may still be installed: it could not be looked at, ";
        WhyNotLookedAt(record, text);
        text << ".";
    } else {
        text << "The Quorvex service is still installed: it was " << StateName(record.foundState)
             << " and was left installed, ";
        text.Error(record.removeResult) << ".";
    }
    switch (GetReportOutcome(record)) {
        case ReportOutcome::kTold:
            text << " The management server was told, for network adapter " << record.reportedAdapterAddress
                 << ".";
            return;
        case ReportOutcome::kNotRegistered:
            text << " The management server knows none of this machine's network adapters: there was nothing "
                    "to "
                    "tell it.";
            return;
        case ReportOutcome::kNotTold:
            text << " The management server was not told this time: ";
            FirstFailure(record, text);
            text << (record.adapterCount == 0 ? ". A rerun tells it once one is listed."
                                              : ". Running qrvxSuninstall again tells it.");
            return;
        case ReportOutcome::kNoServer:
            break;
    }
    text << " The management server was not told: ";
    NoServer(record, text);
    text << ". Put a qrvxconfig.ini that names the server beside the program, then run it again.";
}

}  // namespace

std::string DescribeRun(const RunRecord& record) {
    std::string described;
    Text text(described);
    Headline(record, text);
    text << "\r\n\r\n";
    ServicePhase(record, text);
    text << "\r\n";
    ConfigurationFile(record, text);
    text << "\r\n";
    Server(record, text);
    text << "\r\n";
    Exchanges(record, text);
    if (record.adapterCount == 0) {
        text << "\r\nNetwork adapters: none, ";
        NoAdapterList(record, text);
        text << ".";
    } else if (record.adapterCount > 0) {
        text << "\r\nNetwork adapters: " << static_cast<unsigned long>(record.adapterCount);
        if (record.adaptersChanged) {
            text << ", and they changed while they were asked about";
            if (record.adapterCountAfter >= 0) {
                text << " (" << static_cast<unsigned long>(record.adapterCountAfter) << " after)";
            }
        }
        text << ".";
    }
    // ReportEvent takes up to 31,839 characters a string. Thirty-two exchanges listed, each well under 300
    // bytes however the server answers, the path and the address stay far below that.
    return described;
}

std::string DescribeConfiguration(const RunRecord& record) {
    std::string described;
    Text text(described);
    ConfigurationFile(record, text);
    text << " ";
    Server(record, text);
    return described;
}

std::string DescribeClientAddress(const CHttpRequest& client) {
    std::string described;
    Text text(described);
    const char* scheme = client.m_bSecure ? "https" : "http";
    const unsigned long port = client.m_nPort;
    const std::size_t hostBytes = std::strlen(client.m_szHost);
    const std::size_t pathBytes = std::strlen(client.m_szBasePath);
    text << "Each exchange is posted under " << scheme << "://";
    text.Printable(client.m_szHost, hostBytes, true) << ":" << port << "/";
    text.Printable(client.m_szBasePath, pathBytes, true) << ": scheme " << scheme << ", host \"";
    text.Printable(client.m_szHost, hostBytes, true) << "\", port " << port << ", base path \"/";
    text.Printable(client.m_szBasePath, pathBytes, true) << "\".";
    return described;
}

std::string DescribeExchange(const RecordedExchange& exchange) {
    std::string described;
    Text text(described);
    Exchange(exchange, text);
    return described;
}

std::string DescribeWhyNotTold(const RunRecord& record) {
    std::string described;
    Text text(described);
    if (GetReportOutcome(record) == ReportOutcome::kNoServer) {
        NoServer(record, text);
    } else {
        FirstFailure(record, text);
    }
    return described;
}

std::string DescribeError(DWORD code) {
    std::string described;
    Text(described).Error(code);
    return described;
}
