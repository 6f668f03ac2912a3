#include "transport/BomLength.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

struct Signature {
    const char* bytes;
    std::size_t length;
};

bool StartsWith(const std::string& text, const Signature& signature) {
    return text.size() >= signature.length &&
           std::memcmp(text.data(), signature.bytes, signature.length) == 0;
}

}  // namespace

std::size_t GetBomLength(std::string text) {
    if (text.empty() || text[0] == '\0') {
        return 0;
    }
    // First match wins. FF FE alone (UTF-16 LE) is deliberately not among them: only with 00 00 after it.
    static const Signature kSignatures[] = {
        {"\xFE\xFF", 2},          // UTF-16 BE
        {"\xEF\xBB\xBF", 3},      // UTF-8
        {"\xF7\x64\x4C", 3},      // UTF-1
        {"\x0E\xFE\xFF", 3},      // SCSU
        {"\xFB\xEE\x28\xFF", 4},  // BOCU-1, with the FF that may follow
        {"\xFB\xEE\x28", 3},      // BOCU-1
        {"\xFF\xFE\x00\x00", 4},  // UTF-32 LE
        {"\x2B\x2F\x76\x38", 4},  // UTF-7
        {"\x2B\x2F\x76\x39", 4},  //
        {"\x2B\x2F\x76\x2B", 4},  //
        {"\x2B\x2F\x76\x2F", 4},  //
        {"\xDD\x73\x66\x73", 4},  // UTF-EBCDIC
        {"\x84\x31\x95\x33", 4},  // GB 18030
    };
    const Signature* match =
        std::find_if(std::begin(kSignatures), std::end(kSignatures),
                     [&text](const Signature& signature) { return StartsWith(text, signature); });
    return match != std::end(kSignatures) ? match->length : 0;
}
