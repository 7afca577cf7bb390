// Feeds arbitrary bytes to the wire decoder. Whatever the input, decode() either returns
// items or throws DecodeError; and what it returns must encode and decode to itself.
#include <tellurix/lumenfold/transport.h>

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
    std::vector<Value> items;
    try {
        items = transport::decode(reinterpret_cast<const char*>(data), size, limits);
    } catch (const transport::DecodeError&) {
        return 0;
    }
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
