// GetBomLength over any bytes: a length it may return, no read past the text, and an answer that only the
// first four bytes decide.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Check.h"
#include "transport/BomLength.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t length = GetBomLength(text);

    FUZZ_CHECK(length == 0 || length == 2 || length == 3 || length == 4);
    FUZZ_CHECK(length <= text.size());
    // No mark is longer than four bytes, so nothing after them can change the answer.
    FUZZ_CHECK(GetBomLength(text.substr(0, 4)) == length);
    // A mark is recognised on its own, as the whole text.
    FUZZ_CHECK(length == 0 || GetBomLength(text.substr(0, length)) == length);
    return 0;
}
