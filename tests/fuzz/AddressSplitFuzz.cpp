// The configured address split into host and base path, over any text: either refused whole (no connection,
// both fields empty) or split whole: the host the "/"-free start of the address, the base path all that
// follows its "/", ending in "/", and every request path the base path and the relative path, uncut.
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

// No "/" in the host, except as the trail byte of a double-byte character.
bool HasNoSeparator(const std::string& host) {
    for (std::size_t i = 0; i < host.size(); ++i) {
        if (host[i] == '/') {
            return false;
        }
        if (platform::IsDBCSLeadByteEx(CP_ACP, static_cast<unsigned char>(host[i])) && i + 1 < host.size()) {
            ++i;
        }
    }
    return true;
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
    if (StartsWith(rest, "http://")) {
        rest.erase(0, 7);
    }
    if (!request.m_bConnected) {
        FUZZ_CHECK(host.empty() && basePath.empty());
        FUZZ_CHECK(fake::winInet.connects.empty());
        // Refused only when the host is empty or too long, or the base path with its "/" too long.
        std::size_t end = 0;
        while (end < rest.size() && rest[end] != '/') {
            end += platform::IsDBCSLeadByteEx(CP_ACP, static_cast<unsigned char>(rest[end])) &&
                           end + 1 < rest.size()
                       ? 2
                       : 1;
        }
        const bool hostFits = end != 0 && end < kHostCapacity;
        const std::string base = end < rest.size() ? rest.substr(end + 1) : std::string();
        const bool baseFits = end >= rest.size() ||
                              base.size() + (base.empty() || base.back() != '/' ? 1 : 0) < kBasePathCapacity;
        FUZZ_CHECK(!hostFits || !baseFits);
        return 0;
    }
    FUZZ_CHECK(!host.empty() && HasNoSeparator(host));
    if (basePath.empty()) {
        FUZZ_CHECK(host == rest);
    } else {
        FUZZ_CHECK(StartsWith(rest, host + "/"));
        FUZZ_CHECK(basePath.back() == '/');
        const std::string given = rest.substr(host.size() + 1);
        FUZZ_CHECK(basePath == given || basePath == given + "/");
    }
    FUZZ_CHECK(fake::winInet.connects.size() == 1);
    FUZZ_CHECK(fake::winInet.connects[0].host == host);

    const char relativePath[] = "/Quorvex/connect_check.php";
    std::string reply;
    request.SendPost(relativePath, reply, "");
    FUZZ_CHECK(fake::winInet.requests.size() == 1);
    FUZZ_CHECK(fake::winInet.requests[0].path == basePath + (relativePath + 1));
    return 0;
}
