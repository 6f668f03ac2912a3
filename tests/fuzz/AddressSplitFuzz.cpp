// The configured address split into host and base path, over any text: both fields terminated within their
// capacity, the host a "/"-free prefix of the address, the base path empty or ending in "/", and every
// request path the base path and the relative path, cut to its buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "Check.h"
#include "fakes/FakeWinInet.h"
#include "transport/HttpRequest.h"

namespace {

const std::size_t kRequestPathCapacity = 64;

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
    FUZZ_CHECK(StartsWith(rest, host));
    FUZZ_CHECK(HasNoSeparator(host));
    if (basePath.empty()) {
        FUZZ_CHECK(host == rest.substr(0, sizeof(request.m_szHost) - 1));
    } else {
        FUZZ_CHECK(host.size() < rest.size() && rest[host.size()] == '/');
        FUZZ_CHECK(basePath.back() == '/');
        // Without its last "/", the base path is the start of what follows the separator, cut at most.
        const std::string given = basePath.substr(0, basePath.size() - 1);
        FUZZ_CHECK(StartsWith(rest.substr(host.size() + 1), given));
    }

    FUZZ_CHECK(request.m_bConnected);
    FUZZ_CHECK(fake::winInet.connects.size() == 1);
    FUZZ_CHECK(fake::winInet.connects[0].host == host);

    const char relativePath[] = "/Quorvex/connect_check.php";
    std::string reply;
    request.SendPost(relativePath, reply, "");
    FUZZ_CHECK(fake::winInet.requests.size() == 1);
    const std::string path = basePath + (relativePath + 1);
    FUZZ_CHECK(fake::winInet.requests[0].path == path.substr(0, kRequestPathCapacity - 1));
    return 0;
}
