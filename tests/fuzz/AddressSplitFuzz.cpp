// The configured address split into scheme, host, port and base path, over any text: either refused whole
// (no connection, host and base path empty; a host under .invalid, or text after the host, among them) or
// split whole: the host the "/"- and ":"-free start of the address, the port the decimal number after its
// ":" (1 to 65535) or the scheme's own, the base path all that follows its "/", ending in "/", and every
// request path the base path and the relative path, uncut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "Check.h"
#include "fakes/FakeWinInet.h"
#include "transport/HttpRequest.h"

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Where the first `wanted` of `text` is, skipping the trail bytes of double-byte characters; its size if
// none.
std::size_t Find(const std::string& text, char wanted) {
    std::size_t i = 0;
    while (i < text.size() && text[i] != wanted) {
        i += platform::IsDBCSLeadByteEx(CP_ACP, static_cast<unsigned char>(text[i])) && i + 1 < text.size()
                 ? 2
                 : 1;
    }
    return i;
}

// The port the text names, or 0 when it names none: decimal digits alone, 1 to 65535.
unsigned long Port(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    unsigned long value = 0;
    for (char digit : text) {
        value = std::min(value * 10 + static_cast<unsigned long>(digit - '0'), 65536ul);
    }
    return value <= 65535 ? value : 0;
}

// Whether the text holds a byte no host name holds: a space, ";", "#", a quote or a control byte, skipping
// the trail bytes of double-byte characters.
bool HoldsTextNoHostHolds(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (platform::IsDBCSLeadByteEx(CP_ACP, c) && i + 1 < text.size()) {
            ++i;
        } else if (c <= ' ' || c == 0x7F || std::strchr(";#\"'", c) != nullptr) {
            return true;
        }
    }
    return false;
}

// Whether the host is a name under .invalid, in any case, with or without a final dot.
bool UnderInvalid(std::string host) {
    if (!host.empty() && host.back() == '.') {
        host.pop_back();
    }
    std::transform(host.begin(), host.end(), host.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return host == "invalid" || (host.size() >= 8 && host.compare(host.size() - 8, 8, ".invalid") == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const char* address = input.c_str();  // the text up to its first NUL, as the configuration gives it
    fake::ResetWinInet();

    CHttpRequest request(address);

    FUZZ_CHECK(std::memchr(request.m_szHost, '\0', sizeof(request.m_szHost)) != nullptr);
    FUZZ_CHECK(std::memchr(request.m_szBasePath, '\0', sizeof(request.m_szBasePath)) != nullptr);
    const std::string host = request.m_szHost;
    const std::string basePath = request.m_szBasePath;

    std::string rest = address;
    bool secure = false;
    unsigned long port = 80;
    if (StartsWith(rest, "https://")) {
        rest.erase(0, 8);
        secure = true;
        port = 443;
    } else if (StartsWith(rest, "http://")) {
        rest.erase(0, 7);
    }
    const std::size_t end = Find(rest, '/');
    const std::size_t colon = Find(rest.substr(0, end), ':');
    const std::string hostPart = rest.substr(0, colon);
    if (colon < end) {
        port = Port(rest.substr(colon + 1, end - colon - 1));
    }
    const std::string given = end < rest.size() ? rest.substr(end + 1) : std::string();
    const std::string base =
        end < rest.size() ? given + (given.empty() || given.back() != '/' ? "/" : "") : std::string();
    const bool fits = !HoldsTextNoHostHolds(rest.substr(0, end)) && !hostPart.empty() &&
                      hostPart.size() < kHostCapacity && !UnderInvalid(hostPart) && port != 0 &&
                      base.size() < kBasePathCapacity;

    FUZZ_CHECK(request.m_bConnected == fits);
    FUZZ_CHECK(request.m_bSecure == secure);
    if (!fits) {
        FUZZ_CHECK(host.empty() && basePath.empty());
        FUZZ_CHECK(request.m_refusal != AddressRefusal::kNone);
        FUZZ_CHECK(fake::winInet.connects.empty());
        return 0;
    }
    FUZZ_CHECK(request.m_refusal == AddressRefusal::kNone);
    FUZZ_CHECK(host == hostPart);
    FUZZ_CHECK(basePath == base);
    FUZZ_CHECK(request.m_nPort == port);
    FUZZ_CHECK(fake::winInet.connects.size() == 1);
    FUZZ_CHECK(fake::winInet.connects[0].host == host);
    FUZZ_CHECK(fake::winInet.connects[0].port == port);

    const char relativePath[] = "/Quorvex/connect_check.php";
    std::string reply;
    request.SendPost(relativePath, reply, "");
    FUZZ_CHECK(fake::winInet.requests.size() == 1);
    FUZZ_CHECK(fake::winInet.requests[0].path == basePath + (relativePath + 1));
    FUZZ_CHECK(((fake::winInet.requests[0].flags & INTERNET_FLAG_SECURE) != 0) == secure);
    return 0;
}
