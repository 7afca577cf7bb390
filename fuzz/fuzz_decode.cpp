// Feeds arbitrary bytes to the wire decoder, as the queue's receiving thread meets them.
// Whatever the input, the header look (peek_message) and decode_frame agree, a control
// message parses or throws DecodeError, decode() either returns items or throws
// DecodeError, and what it returns must encode and decode to itself.
#include <tellurix/lumenfold/transport.h>

#include "flow.h"
#include "wire.h"

#include <cstdlib>

namespace transport = tellurix::lumenfold::transport;
using tellurix::lumenfold::host::Value;

namespace {

// NaN differs from itself, so compare kinds and encodings instead of values.
bool same(const std::vector<Value>& a, const std::vector<Value>& b) {
    return transport::encode(a) == transport::encode(b);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Small limits so that the fuzzer reaches every one of them quickly.
    transport::Limits limits;
    limits.max_message_bytes = 1 << 16;
    limits.max_depth = 12;
    limits.max_array_elements = 300;
    limits.max_total_values = 2000;
    namespace detail = transport::detail;
    const char* bytes = reinterpret_cast<const char*>(data);
    const detail::Peek peek = detail::peek_message(bytes, size);
    std::vector<Value> items;
    try {
        const detail::Frame frame = detail::decode_frame(bytes, size, limits, items);
        if (frame.control) {
            if (peek.kind != detail::Peek::Control)
                std::abort();
            detail::parse_control(items); // the consumer's and the producer's reading
            return 0;
        }
        // A data message the decoder takes was seen as such by its header.
        if (peek.kind != detail::Peek::Data || peek.seq != frame.seq || peek.items != items.size())
            std::abort();
    } catch (const transport::DecodeError&) {
        return 0;
    }
    items = transport::decode(bytes, size, limits);
    if (items.empty())
        std::abort(); // a message without items must have been rejected
    // Re-encoding may take more bytes (float 32 widens, any ext becomes the shortest
    // form), never more depth or values.
    transport::Limits relaxed = limits;
    relaxed.max_message_bytes = 1 << 20;
    if (!same(transport::decode(transport::encode(items), relaxed), items))
        std::abort();
    return 0;
}
