// SendPost's reply read loop against a server script of fuzz-chosen chunks and failures. The reply must be
// what the chunks say: each cut at its first NUL, joined, nothing at all past kMaxReplyBytes or for a body
// cut short, and then without a leading mark of GetBomLength's table. No read may ask for more than one byte
// past the bound.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Check.h"
#include "fakes/FakeWinInet.h"
#include "transport/BomLength.h"
#include "transport/HttpRequest.h"

namespace {

using fake::ReplyStep;

class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_offset == m_size; }
    unsigned Byte() { return m_offset < m_size ? m_data[m_offset++] : 0u; }
    std::string Bytes(std::size_t count) {
        count = std::min(count, m_size - m_offset);
        std::string bytes(reinterpret_cast<const char*>(m_data + m_offset), count);
        m_offset += count;
        return bytes;
    }

  private:
    const uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

// Each step is an operation byte and its arguments; large bodies come from repeats and fills, so that
// inputs of a few bytes reach the bound. Nothing past the bound is read, so the script stops there.
std::vector<ReplyStep> Script(Input& input) {
    std::vector<ReplyStep> steps;
    std::size_t offered = 0;
    while (!input.Empty() && offered <= kMaxReplyBytes) {
        const unsigned op = input.Byte() % 8;
        ReplyStep step;
        if (op <= 3) {
            step.bytes = input.Bytes(input.Byte());
        } else if (op == 4) {
            step.bytes = input.Bytes(input.Byte());
            step.times = static_cast<int>(input.Byte()) + 1;
        } else if (op == 5) {
            const unsigned low = input.Byte();
            const std::size_t length = (low | input.Byte() << 8) * 2u;
            step.bytes.assign(length, static_cast<char>(input.Byte()));
        } else if (op == 6) {
            step.kind = ReplyStep::ReadFails;
            step.times = static_cast<int>(input.Byte() % 10) + 1;
        } else {
            step.kind = ReplyStep::QueryFails;
        }
        offered += step.bytes.size() * static_cast<std::size_t>(step.times);
        steps.push_back(step);
    }
    return steps;
}

// The reply as the server script lays it out.
std::string Expected(const std::vector<ReplyStep>& steps) {
    std::string joined;
    std::size_t received = 0;
    std::size_t lastRead = 0;
    int failedReads = 0;
    for (const ReplyStep& step : steps) {
        for (int i = 0; i < step.times; ++i) {
            // A body that stops before its end is no reply at all.
            if (step.kind == ReplyStep::QueryFails) {
                return "";
            }
            if (step.kind == ReplyStep::ReadFails) {
                // Asked again only after data, and only so many times in a row.
                if (lastRead == 0 || ++failedReads >= kMaxFailedReads) {
                    return "";
                }
                continue;
            }
            if (step.bytes.empty()) {
                return joined.substr(GetBomLength(joined));  // a read of nothing is the end of the body
            }
            received += step.bytes.size();
            if (received > kMaxReplyBytes) {
                return "";
            }
            joined += step.bytes.substr(0, step.bytes.find('\0'));
            lastRead = step.bytes.size();
            failedReads = 0;
        }
    }
    return joined.substr(GetBomLength(joined));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Input input(data, size);
    fake::HttpReply script;
    script.steps = Script(input);
    fake::ResetWinInet();
    fake::Serve(script);

    CHttpRequest request("127.0.0.1");
    std::string reply;
    request.SendPost("Quorvex/connect_check.php", reply, "");

    FUZZ_CHECK(reply.size() <= kMaxReplyBytes);
    FUZZ_CHECK(reply == Expected(script.steps));
    FUZZ_CHECK(fake::winInet.requests.size() == 1);
    for (DWORD asked : fake::winInet.requests[0].readSizes) {
        FUZZ_CHECK(asked <= kMaxReplyBytes + 1);
    }
    return 0;
}
