// Feeds arbitrary bytes to the wire decoder, as the queue's receiving thread meets them.
// Whatever the input, the header look (peek_message) and decode_frame agree, a control
// message parses or throws DecodeError, decode() either returns items or throws
// DecodeError, and what it returns must encode and decode to itself. The check a queue
// makes before building a message's items in slices (check_frame) refuses exactly what
// decode_frame refuses, and the slices hold the items decode_frame builds.
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
    std::vector<Value> checked;
    detail::ItemCursor cursor;
    bool check_passed = false;
    try {
        detail::check_frame(bytes, size, limits, checked, cursor);
        check_passed = true;
    } catch (const transport::DecodeError&) {
    }
    detail::Frame frame;
    bool decoded = false;
    try {
        frame = detail::decode_frame(bytes, size, limits, items);
        decoded = true;
    } catch (const transport::DecodeError&) {
    }
    if (decoded != check_passed)
        std::abort();
    if (!decoded)
        return 0;
    if (frame.control) {
        if (peek.kind != detail::Peek::Control)
            std::abort();
        try {
            detail::parse_control(items); // the consumer's and the producer's reading
        } catch (const transport::DecodeError&) {
        }
        return 0;
    }
    // A data message the decoder takes was seen as such by its header.
    if (peek.kind != detail::Peek::Data || peek.seq != frame.seq || peek.items != items.size())
        std::abort();
    // Slices of a few items or bytes, as small as they come, add up to the message; they
    // never fail once the message was checked.
    std::vector<Value> sliced, slice;
    while (cursor.left > 0) {
        try {
            detail::decode_items(bytes, size, limits, cursor, 3, 16, slice);
        } catch (const transport::DecodeError&) {
            std::abort();
        }
        if (slice.empty())
            std::abort();
        sliced.insert(sliced.end(), slice.begin(), slice.end());
    }
    if (!same(sliced, items))
        std::abort();
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
